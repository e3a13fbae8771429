#include "base/folders.h"

#include <windows.h>

std::wstring GetModuleDir()
{
    wchar_t path[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0)
        return std::wstring();
    const std::wstring full(path);
    const size_t lastSlash = full.rfind(L'\\');
    if (lastSlash == std::wstring::npos)
        return std::wstring();
    return full.substr(0, lastSlash);
}

std::wstring GetAppLibDir()
{
    return GetModuleDir() + L"\\AppLib";
}

std::wstring GetGroupIconsDir()
{
    return GetAppLibDir() + L"\\" + kGroupIconsFolderName;
}

std::wstring GetAppIconsDir()
{
    return GetAppLibDir() + L"\\" + kAppIconsFolderName;
}

std::wstring GetSkinDir()
{
    return GetAppLibDir() + L"\\Skin";
}

std::wstring GetSoftDir()
{
    return GetAppLibDir() + L"\\" + kSoftFolderName;
}

std::wstring GetCatalogueFile()
{
    return GetAppLibDir() + L"\\AppLib.xml";
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring FileNameKey(const std::wstring& name)
{
    std::wstring key(name);
    if (!key.empty())
        CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    return key;
}
