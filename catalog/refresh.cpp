#include "catalog/refresh.h"

#include "base/folders.h"
#include "catalog/catalogue.h"
#include "net/download.h"
#include "net/servers.h"

std::atomic<LONG> g_catalogueRefreshState{RefreshIdle};

namespace {

constexpr wchar_t kCandidateSuffix[] = L".temp";

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

CatalogueRefreshState RefreshCatalogue()
{
    const std::wstring localPath = GetCatalogueFile();
    const std::wstring candidatePath = localPath + kCandidateSuffix;
    if (!DownloadToFile(CatalogueUrl(), candidatePath))
        return RefreshFailed;

    Catalogue catalogue;
    LoadCatalogue(catalogue, candidatePath);  // only the check decides
    std::wstring message;
    if (!CheckCatalogue(catalogue, message))
        return RefreshFailed;  // the candidate stays on disk

    // Icons first, so the main window's reload finds them.
    FetchMissingIcons(catalogue);
    DeleteFileW(localPath.c_str());
    MoveFileW(candidatePath.c_str(), localPath.c_str());
    return RefreshUpdated;
}

}  // namespace

unsigned __stdcall CatalogueRefreshThread(void*)
{
    g_catalogueRefreshState = RefreshCatalogue();
    return 0;
}
