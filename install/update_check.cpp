#include "install/update_check.h"

#include <shellapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <cwchar>

#include "base/text.h"
#include "net/servers.h"

namespace {

constexpr wchar_t kCurrentVersion[] = L"1.1.0";
constexpr wchar_t kLocalCopyName[] = L"tovarinup.txt";
constexpr wchar_t kSection[] = L"Update";
constexpr wchar_t kVersionKey[] = L"Version";
constexpr wchar_t kUpdateFileKey[] = L"UpdateFile";
constexpr wchar_t kInfoKey[] = L"Info";
constexpr wchar_t kBuiltInPrompt[] = L"系统检测到有更新的版本，是否立即体验！";
constexpr wchar_t kPromptTitle[] = L"Tovarin升级提示";
constexpr UINT kPromptStyle = MB_YESNO | MB_ICONINFORMATION;
constexpr DWORD kPathChars = 260;
constexpr DWORD kValueChars = 260;

std::wstring ReadUpdateValue(const std::wstring& path, const wchar_t* key, const std::wstring& fallback)
{
    wchar_t value[kValueChars] = {};
    GetPrivateProfileStringW(kSection, key, fallback.c_str(), value, kValueChars, path.c_str());
    return value;
}

bool AskToOpenUpdatePage(HWND owner, const std::wstring& prompt)
{
    return MessageBoxW(owner, prompt.c_str(), kPromptTitle, kPromptStyle) == IDYES;
}

void OpenUpdatePage(const std::wstring& address)
{
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

void CheckForUpdate(HWND owner)
{
    const std::wstring localPath = UpdateDescriptionPath();
    if (localPath.empty())
        return;
    const std::wstring url = UpdateDescriptionUrl();
    DeleteUrlCacheEntryW(url.c_str());
    DeleteFileW(localPath.c_str());
    if (FAILED(URLDownloadToFileW(nullptr, url.c_str(), localPath.c_str(), 0, nullptr)))
        return;
    const UpdateDescription description = ReadUpdateDescription(localPath);
    if (!IsNewerThanCurrentVersion(description.version))
        return;
    if (AskToOpenUpdatePage(owner, UpdatePromptText(description.info)))
        OpenUpdatePage(UpdatePageToOpen(description.updateFile));
}

}  // namespace

std::wstring UpdateDescriptionPath()
{
    wchar_t folder[kPathChars] = {};
    const DWORD length = GetTempPathW(kPathChars, folder);
    // Without this the copy would land in whatever the current folder is.
    if (length == 0 || length >= kPathChars)
        return std::wstring();
    wchar_t path[kPathChars + 16] = {};
    // %ls, not %s: MinGW's standard swprintf reads %s as a narrow string.
    swprintf(path, sizeof(path) / sizeof(path[0]), L"%ls%ls", folder, kLocalCopyName);
    return path;
}

UpdateDescription ReadUpdateDescription(const std::wstring& path)
{
    UpdateDescription description;
    description.version = ReadUpdateValue(path, kVersionKey, kCurrentVersion);
    description.updateFile = ReadUpdateValue(path, kUpdateFileKey, UpdatePageUrl());
    description.info = ReadUpdateValue(path, kInfoKey, L"");
    return description;
}

int CompareVersionText(const std::wstring& left, const std::wstring& right)
{
    const size_t common = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < common; ++i) {
        const wchar_t l = AsciiLower(left[i]);
        const wchar_t r = AsciiLower(right[i]);
        if (l != r)
            return l < r ? -1 : 1;
    }
    if (left.size() == right.size())
        return 0;
    return left.size() < right.size() ? -1 : 1;
}

bool IsNewerThanCurrentVersion(const std::wstring& version)
{
    return CompareVersionText(version, kCurrentVersion) > 0;
}

std::wstring UpdatePromptText(const std::wstring& info)
{
    return info.empty() ? kBuiltInPrompt : info;
}

std::wstring UpdatePageToOpen(const std::wstring& updateFile)
{
    if (StartsWithIgnoringAsciiCase(updateFile, L"http://") || StartsWithIgnoringAsciiCase(updateFile, L"https://"))
        return updateFile;
    return UpdatePageUrl();
}

DWORD WINAPI UpdateCheckThread(LPVOID mainWindow)
{
    const HRESULT com = CoInitialize(nullptr);
    CheckForUpdate(static_cast<HWND>(mainWindow));
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}
