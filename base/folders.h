#pragma once
// The program's folder tree, computed from the executable's location on every call.
// No path ends with a backslash; callers append file names as L"\\name".

#include <string>

// The folders of an AppLib tree, by name: the program's own beside its executable, and the
// one a publisher's tool fills beside a catalogue.
constexpr wchar_t kGroupIconsFolderName[] = L"GroupIcons";
constexpr wchar_t kAppIconsFolderName[] = L"AppIcons";
constexpr wchar_t kSoftFolderName[] = L"Soft";

std::wstring GetModuleDir();
std::wstring GetAppLibDir();
std::wstring GetGroupIconsDir();
std::wstring GetAppIconsDir();
std::wstring GetSkinDir();
std::wstring GetSoftDir();

// The local catalogue: "AppLib.xml" in the AppLib folder.
std::wstring GetCatalogueFile();

// Anything stands at `path`: a file or a folder.
bool PathExists(const std::wstring& path);

// A file name or path as Windows compares it, without regard to letter case: upper-cased.
std::wstring FileNameKey(const std::wstring& name);
