#pragma once
// The program's folder tree, computed from the executable's location on every call.
// No path ends with a backslash; callers append file names as L"\\name".

#include <string>

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
