#pragma once
// Where the program keeps what it remembers for each user between starts: values under
// HKEY_CURRENT_USER in this one key, each named where it is used.

constexpr wchar_t kUserSettingsKey[] = L"Software\\Tovarin\\SoftwareInstaller";
