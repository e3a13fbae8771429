#include "catalog/refresh.h"

#include <string>

#include "base/file_replace.h"
#include "base/folders.h"
#include "catalog/catalogue.h"
#include "catalog/catalogue_file.h"
#include "catalog/catalogue_serial.h"
#include "catalog/start_rule.h"
#include "net/download.h"
#include "net/public_key.h"
#include "net/servers.h"
#include "net/signature.h"

std::atomic<LONG> g_catalogueRefreshState{RefreshIdle};

namespace {

constexpr wchar_t kSignatureSuffix[] = L".sig";
// Held in memory while checked: a hostile answer must not exhaust a 32-bit process. A
// catalogue of a few hundred programs is well under 1 MiB; a signature is under a hundred bytes.
constexpr size_t kLargestCatalogueBytes = 16 * 1024 * 1024;
constexpr size_t kLargestSignatureBytes = 4 * 1024;

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

// The local file already holds these bytes and, with a key, its signature vouches for them.
bool LocalCatalogueIsCurrent(const std::wstring& localPath, const std::string& bytes, const P256PublicKey* key)
{
    std::string local;
    if (!ReadFileBytes(localPath, local) || local != bytes)
        return false;
    std::string signature;
    return !key || (ReadFileBytes(SignaturePathOf(localPath), signature) &&
                    VerifySignature(local, signature, *key) == SignatureVerdict::Good);
}

// Both files are written whole and flushed under pending names first. The signature then
// replaces the old one, and the catalogue replaces the old one last: cut off between the two,
// the disk holds the new signature beside the old catalogue, with the new catalogue still
// under its pending name, which LoadCatalogueFile then puts in place. Cut off earlier, the
// old pair is untouched. A failed catalogue replace keeps its pending file for that reason.
bool PutSignedPairInPlace(const std::wstring& localPath, const std::string& bytes, const std::string& signature,
                          const RefreshStepObserver& afterStep)
{
    const std::wstring signaturePath = SignaturePathOf(localPath);
    const std::wstring pendingCatalogue = OwnTemporaryName(localPath);
    const std::wstring pendingSignature = OwnTemporaryName(signaturePath);
    const auto discard = [&] {
        DeleteFileW(pendingCatalogue.c_str());
        DeleteFileW(pendingSignature.c_str());
        return false;
    };
    if (!WriteFileFlushed(pendingCatalogue, bytes))
        return discard();
    afterStep(RefreshStep::CatalogueWritten);
    if (!WriteFileFlushed(pendingSignature, signature))
        return discard();
    afterStep(RefreshStep::SignatureWritten);
    if (!ReplaceFileInOneStep(pendingSignature, signaturePath))
        return discard();
    afterStep(RefreshStep::SignatureReplaced);
    return ReplaceFileInOneStep(pendingCatalogue, localPath);
}

// Writes the checked bytes in place unless the local file is their very copy.
CatalogueRefreshState PutCatalogueInPlace(const std::string& bytes, const std::string& signature,
                                          const P256PublicKey* publisherKey, const RefreshStepObserver& afterStep)
{
    const std::wstring localPath = GetCatalogueFile();
    // Nearly every start fetches the very file it has: replacing it would make the window
    // reload and drop the group and marks the user has chosen meanwhile.
    if (LocalCatalogueIsCurrent(localPath, bytes, publisherKey))
        return RefreshUnchanged;
    const bool replaced = publisherKey ? PutSignedPairInPlace(localPath, bytes, signature, afterStep)
                                       : ReplaceFileContents(localPath, bytes);
    return replaced ? RefreshUpdated : RefreshFailed;
}

}  // namespace

CatalogueRefreshState RefreshCatalogue(const P256PublicKey* publisherKey, const RefreshStepObserver& afterStep)
{
    // One buffer from the download to the disk: what is verified is what is parsed and
    // checked, and what is written.
    std::string bytes;
    if (!DownloadToMemory(CatalogueUrl(), bytes, kLargestCatalogueBytes))
        return RefreshFailed;
    afterStep(RefreshStep::CatalogueDownloaded);
    std::string signature;
    if (publisherKey) {
        if (!DownloadToMemory(CatalogueUrl() + kSignatureSuffix, signature, kLargestSignatureBytes) ||
            VerifySignature(bytes, signature, *publisherKey) != SignatureVerdict::Good)
            return RefreshFailed;
        afterStep(RefreshStep::SignatureVerified);
    }

    Catalogue catalogue;
    LoadCatalogueFromBytes(catalogue, bytes);  // only the check decides
    std::wstring message;
    if (!CheckCatalogue(catalogue, message))
        return RefreshFailed;
    if (publisherKey && (!KeyedBuildTakes(catalogue) || !TakesCatalogueSerial(catalogue.serial, HighestTakenSerial())))
        return RefreshFailed;
    afterStep(RefreshStep::CatalogueChecked);

    // Icons first, so the main window's reload finds them.
    FetchMissingIcons(catalogue);
    afterStep(RefreshStep::IconsFetched);
    const CatalogueRefreshState state = PutCatalogueInPlace(bytes, signature, publisherKey, afterStep);
    // Kept only once the catalogue is in place: a serial kept for one that never arrived
    // would refuse the catalogue still on disk.
    if (publisherKey && state != RefreshFailed)
        RecordTakenSerial(catalogue.serial);
    return state;
}

unsigned __stdcall CatalogueRefreshThread(void* publisherKey)
{
    g_catalogueRefreshState = RefreshCatalogue(static_cast<const P256PublicKey*>(publisherKey), [](RefreshStep) {});
    return 0;
}
