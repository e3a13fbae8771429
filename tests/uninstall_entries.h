#pragma once
// Uninstall entries written by the tests, as installers write them, under scratch names that
// are removed from all three places the program reads before the case and after it.

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "install/installed_programs.h"

struct UninstallPlace {
    const char* name;
    HKEY root;
    REGSAM view;
};
const UninstallPlace kHklm64 = {"HKLM 64-bit view", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY};
const UninstallPlace kHklm32 = {"HKLM 32-bit view", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};
const UninstallPlace kHkcu = {"HKCU", HKEY_CURRENT_USER, 0};
const UninstallPlace kUninstallPlaces[] = {kHklm64, kHklm32, kHkcu};

inline std::wstring UninstallEntryPath(const std::wstring& name)
{
    return std::wstring(kUninstallKey) + L"\\" + name;
}

inline bool UninstallEntryExists(const UninstallPlace& place, const std::wstring& name)
{
    RegKey key;
    return RegOpenKeyExW(place.root, UninstallEntryPath(name).c_str(), 0, KEY_READ | place.view, key.put()) ==
           ERROR_SUCCESS;
}

class ScratchUninstallEntries {
public:
    explicit ScratchUninstallEntries(std::vector<std::wstring> names) : m_names(std::move(names)) { RemoveAll(); }
    ~ScratchUninstallEntries() { RemoveAll(); }
    ScratchUninstallEntries(const ScratchUninstallEntries&) = delete;
    ScratchUninstallEntries& operator=(const ScratchUninstallEntries&) = delete;

    // The entry `name` (one of the case's) with its DisplayName and DisplayVersion, each left
    // out when empty.
    bool Write(const std::wstring& name, const std::wstring& displayVersion, const std::wstring& displayName = L"",
               const UninstallPlace& place = kHkcu) const
    {
        RegKey key;
        if (RegCreateKeyExW(place.root, UninstallEntryPath(name).c_str(), 0, nullptr, 0, KEY_WRITE | place.view,
                            nullptr, key.put(), nullptr) != ERROR_SUCCESS)
            return false;
        return (displayName.empty() || SetText(key.get(), L"DisplayName", displayName)) &&
               (displayVersion.empty() || SetText(key.get(), L"DisplayVersion", displayVersion));
    }

private:
    static bool SetText(HKEY key, const wchar_t* name, const std::wstring& text)
    {
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    void RemoveAll() const
    {
        for (const UninstallPlace& place : kUninstallPlaces) {
            for (const std::wstring& name : m_names)
                RegDeleteKeyExW(place.root, UninstallEntryPath(name).c_str(), place.view, 0);
        }
    }

    std::vector<std::wstring> m_names;
};
