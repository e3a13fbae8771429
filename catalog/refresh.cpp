#include "catalog/refresh.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/folders.h"
#include "base/unique_handle.h"
#include "catalog/catalogue.h"
#include "net/download.h"
#include "net/public_key.h"
#include "net/servers.h"
#include "net/signature.h"

std::atomic<LONG> g_catalogueRefreshState{RefreshIdle};

namespace {

constexpr wchar_t kCandidateSuffix[] = L".temp";
constexpr wchar_t kSignatureSuffix[] = L".sig";

constexpr DWORD kCompareBlock = 64 * 1024;

// True when both files hold the same bytes; false too when either cannot be read.
bool HoldSameBytes(const std::wstring& first, const std::wstring& second)
{
    const FileHandle a(CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    const FileHandle b(CreateFileW(second.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER sizeA = {};
    LARGE_INTEGER sizeB = {};
    if (!a || !b || !GetFileSizeEx(a.get(), &sizeA) || !GetFileSizeEx(b.get(), &sizeB) ||
        sizeA.QuadPart != sizeB.QuadPart)
        return false;
    std::vector<char> blockA(kCompareBlock);
    std::vector<char> blockB(kCompareBlock);
    for (;;) {
        DWORD readA = 0;
        DWORD readB = 0;
        if (!ReadFile(a.get(), blockA.data(), kCompareBlock, &readA, nullptr) ||
            !ReadFile(b.get(), blockB.data(), kCompareBlock, &readB, nullptr) || readA != readB)
            return false;
        if (readA == 0)
            return true;
        if (std::memcmp(blockA.data(), blockB.data(), readA) != 0)
            return false;
    }
}

// Fetches an icon unless a file of its name is already there; a failure is ignored.
void FetchMissingIcon(const std::wstring& folder, const std::wstring& url)
{
    const std::wstring name = FileNameFromUrl(url);
    if (!IsPlainFileName(name))
        return;
    const std::wstring path = folder + L"\\" + name;
    if (!PathExists(path))
        DownloadToFile(url, path);
}

void FetchMissingIcons(const Catalogue& catalogue)
{
    const std::wstring groupIcons = GetGroupIconsDir();
    const std::wstring programIcons = GetAppIconsDir();
    for (const auto& group : catalogue) {
        if (StartsWithHttp(group->icon))
            FetchMissingIcon(groupIcons, group->icon);
        // The check has already made every program icon an http URL.
        for (const auto& program : group->applications)
            FetchMissingIcon(programIcons, program->icon);
    }
}

// Downloads the publisher's signature of the candidate to `signaturePath` and verifies it
// over the candidate's exact bytes.
bool CandidateIsSigned(const std::wstring& candidatePath, const std::wstring& signaturePath,
                       const P256PublicKey& key)
{
    std::string bytes;
    std::string signature;
    return DownloadToFile(CatalogueUrl() + kSignatureSuffix, signaturePath) && ReadFileBytes(candidatePath, bytes) &&
           ReadFileBytes(signaturePath, signature) && VerifySignature(bytes, signature, key) == SignatureVerdict::Good;
}

// Moves `from` over `to`, which need not exist.
void MoveOver(const std::wstring& from, const std::wstring& to)
{
    DeleteFileW(to.c_str());
    MoveFileW(from.c_str(), to.c_str());
}

CatalogueRefreshState RefreshCatalogue(const P256PublicKey* publisherKey)
{
    const std::wstring localPath = GetCatalogueFile();
    const std::wstring candidatePath = localPath + kCandidateSuffix;
    const std::wstring signaturePath = localPath + kSignatureSuffix;
    const std::wstring candidateSignaturePath = signaturePath + kCandidateSuffix;
    if (!DownloadToFile(CatalogueUrl(), candidatePath))
        return RefreshFailed;
    if (publisherKey && !CandidateIsSigned(candidatePath, candidateSignaturePath, *publisherKey)) {
        // Bytes nobody vouches for are not kept, not even as a candidate.
        DeleteFileW(candidatePath.c_str());
        DeleteFileW(candidateSignaturePath.c_str());
        return RefreshFailed;
    }

    Catalogue catalogue;
    LoadCatalogue(catalogue, candidatePath);  // only the check decides
    std::wstring message;
    if (!CheckCatalogue(catalogue, message) || (publisherKey && !EveryProgramHasSha256(catalogue))) {
        DeleteFileW(candidateSignaturePath.c_str());
        return RefreshFailed;  // the candidate stays on disk
    }

    // Icons first, so the main window's reload finds them.
    FetchMissingIcons(catalogue);
    if (publisherKey)
        MoveOver(candidateSignaturePath, signaturePath);
    // Nearly every start fetches the very file it has: replacing it would make the window
    // reload and drop the group and marks the user has chosen meanwhile.
    if (HoldSameBytes(candidatePath, localPath)) {
        DeleteFileW(candidatePath.c_str());
        return RefreshUnchanged;
    }
    MoveOver(candidatePath, localPath);
    return RefreshUpdated;
}

}  // namespace

unsigned __stdcall CatalogueRefreshThread(void* publisherKey)
{
    g_catalogueRefreshState = RefreshCatalogue(static_cast<const P256PublicKey*>(publisherKey));
    return 0;
}
