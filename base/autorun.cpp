#include "base/autorun.h"

#include <windows.h>

#include <cwchar>

#include "base/unique_handle.h"

bool g_autorunMode = false;

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kValueName[] = L"TovarinSoftwareInstaller";
constexpr wchar_t kAutorunSwitch[] = L"/autorun";
constexpr DWORD kValueChars = 261;  // 260 characters and a terminator

}  // namespace

bool IsAutorunRegistered()
{
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    // Zeroed, so data stored without a terminator never runs into stale stack contents.
    wchar_t text[kValueChars] = {};
    DWORD type = 0;
    DWORD size = sizeof(text);
    if (RegQueryValueExW(key.get(), kValueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    key.reset();
    text[kValueChars - 1] = L'\0';
    return wcsstr(text, kAutorunSwitch) != nullptr;
}

void RemoveAutorunRegistration()
{
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key.get(), kValueName);
}
