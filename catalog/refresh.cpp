#include "catalog/refresh.h"

#include <cstring>
#include <vector>

#include "base/folders.h"
#include "base/unique_handle.h"
#include "catalog/catalogue.h"
#include "net/download.h"
#include "net/servers.h"

std::atomic<LONG> g_catalogueRefreshState{RefreshIdle};

namespace {

constexpr wchar_t kCandidateSuffix[] = L".temp";

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
    // Nearly every start fetches the very file it has: replacing it would make the window
    // reload and drop the group and marks the user has chosen meanwhile.
    if (HoldSameBytes(candidatePath, localPath)) {
        DeleteFileW(candidatePath.c_str());
        return RefreshUnchanged;
    }
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
