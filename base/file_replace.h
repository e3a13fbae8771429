#pragma once
// Putting a finished file in place of an older one. Every file the program keeps (installers,
// icons, the catalogue and its signature, the update description, the install log) is
// written under another name first and then takes the final name in one step, so a failure
// at any point leaves either the old file or the new one, never neither and never a part.

#include <windows.h>

#include <string>

// The temporary name of this process's own beside `path`: path + "." + process id in hex +
// ".new". A file written under it and not yet moved is found by that form after a crash.
std::wstring OwnTemporaryName(const std::wstring& path);

// Moves `source` over `destination` in one step (MoveFileExW with MOVEFILE_REPLACE_EXISTING
// and MOVEFILE_WRITE_THROUGH). When that fails, for example while another program holds
// `destination` open, `destination` is left as it was and `source` stays where it is: false,
// with the system's error code in *error.
bool ReplaceFileInOneStep(const std::wstring& source, const std::wstring& destination, DWORD* error = nullptr);

// Creates `path` anew, writes all of `bytes` and flushes them to the disk before closing it,
// so that a power cut after a later rename cannot leave a file of the right size that holds
// zeros. False, with the system's error code, when any step fails.
bool WriteFileFlushed(const std::wstring& path, const std::string& bytes, DWORD* error = nullptr);

// Puts `bytes` in place as `path`: written flushed under a temporary name of this process's
// own beside it (path + "." + process id in hex + ".new"), then ReplaceFileInOneStep. On
// failure the temporary file is removed and `path` is left as it was.
bool ReplaceFileContents(const std::wstring& path, const std::string& bytes, DWORD* error = nullptr);
