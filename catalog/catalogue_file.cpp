#include "catalog/catalogue_file.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <vector>

#include "base/file_replace.h"
#include "base/unique_handle.h"
#include "catalog/catalogue_serial.h"

namespace {

constexpr wchar_t kSignatureSuffix[] = L".sig";
constexpr wchar_t kPendingSuffix[] = L".new";

bool IsHexNumber(const std::wstring& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) {
        return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
    });
}

// Files named as OwnTemporaryName(path) names them, by this process or any earlier one.
std::vector<std::wstring> PendingFilesOf(const std::wstring& path)
{
    const size_t folderEnd = path.find_last_of(L"\\/") + 1;  // 0 when there is no folder
    const std::wstring folder = path.substr(0, folderEnd);
    const std::wstring prefix = path.substr(folderEnd) + L".";
    const size_t suffixLength = std::wcslen(kPendingSuffix);
    std::vector<std::wstring> pending;
    WIN32_FIND_DATAW found = {};
    const FindHandle search(FindFirstFileW((path + L".*" + kPendingSuffix).c_str(), &found));
    if (!search)
        return pending;
    do {
        const std::wstring name = found.cFileName;
        // The pattern only narrows the search: "AppLib.xml.*.new" matches the signature's
        // pending names too, whose middle is no number.
        if (name.size() <= prefix.size() + suffixLength ||
            CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                 static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL)
            continue;
        if (IsHexNumber(name.substr(prefix.size(), name.size() - prefix.size() - suffixLength)))
            pending.push_back(folder + name);
    } while (FindNextFileW(search.get(), &found));
    return pending;
}

// The refresh replaces the signature before the catalogue. Cut off in between, it leaves the
// new signature beside the old catalogue, and the new catalogue under its pending name: the
// one pending catalogue the signature in place vouches for is put where it belongs. Its bytes
// are used even when that move fails (a scanner holding the old file); the next load tries
// again.
bool CompletePendingReplace(const std::wstring& path, const std::string& signature, const P256PublicKey& key,
                            std::string& bytes)
{
    for (const std::wstring& pending : PendingFilesOf(path)) {
        std::string candidate;
        if (!ReadFileBytes(pending, candidate) || VerifySignature(candidate, signature, key) != SignatureVerdict::Good)
            continue;
        ReplaceFileInOneStep(pending, path);
        bytes.swap(candidate);
        return true;
    }
    return false;
}

}  // namespace

std::wstring SignaturePathOf(const std::wstring& cataloguePath)
{
    return cataloguePath + kSignatureSuffix;
}

CatalogueFileLoad LoadCatalogueFile(Catalogue& catalogue, const std::wstring& path, const P256PublicKey* key,
                                    SignatureVerdict* verdict)
{
    std::string bytes;
    const bool readable = ReadFileBytes(path, bytes);
    if (key) {
        std::string signature;
        ReadFileBytes(SignaturePathOf(path), signature);  // a missing one reads as no signature
        SignatureVerdict found = readable ? VerifySignature(bytes, signature, *key) : SignatureVerdict::Mismatch;
        if (found != SignatureVerdict::Good && CompletePendingReplace(path, signature, *key, bytes))
            found = SignatureVerdict::Good;
        if (verdict)
            *verdict = found;
        if (found != SignatureVerdict::Good)
            return readable ? CatalogueFileLoad::NotVerified : CatalogueFileLoad::Unreadable;
    } else if (!readable) {
        return CatalogueFileLoad::Unreadable;
    }
    return LoadCatalogueFromBytes(catalogue, bytes) ? CatalogueFileLoad::Loaded : CatalogueFileLoad::Unreadable;
}

CatalogueFileLoad LoadCatalogueFileUnlessOlder(Catalogue& catalogue, const std::wstring& path,
                                               const P256PublicKey* key)
{
    Catalogue loaded;
    const CatalogueFileLoad load = LoadCatalogueFile(loaded, path, key);
    if (load != CatalogueFileLoad::Loaded)
        return load;
    if (key) {
        if (!TakesCatalogueSerial(loaded.serial, HighestTakenSerial()))
            return CatalogueFileLoad::Older;
        RecordTakenSerial(loaded.serial);
    }
    std::move(loaded.begin(), loaded.end(), std::back_inserter(catalogue));
    catalogue.serial = loaded.serial;
    return load;
}
