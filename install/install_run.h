#pragma once
// What an install run makes of a program's install value: the name its installer is
// downloaded under, the file and parameters it is started with, whether the program takes
// part in the run at all, and the elevated start itself. No window is involved.
//
// White space, wherever a value is trimmed here, means the ASCII white-space characters:
// space, tab, line feed, vertical tab, form feed and carriage return.

#include <windows.h>

#include <string>

#include "app/unique_handle.h"

// The install value trimmed at both ends, up to its first space (U+0020), or the whole
// trimmed value when it has none. The installer is downloaded and looked for under this
// name in the installers folder.
std::wstring InstallerFileName(const std::wstring& install);

// Splits the trimmed install value after its first ".exe " or, failing that, its first
// ".exe" (either in any letter case): `file` is the part up to and including ".exe", and
// `parameters` the trimmed rest. False, with both emptied, when the value holds no ".exe":
// such an installer is downloaded but never started.
bool SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters);

// The installer's path in the installers folder: folder + "\" + name.
std::wstring InstallerPath(const std::wstring& folder, const std::wstring& name);

// An elevated start takes at most 511 characters of the file path and of the parameters (a
// buffer of 512 with its terminator). A longer text is refused, never cut short: a cut one
// would start something the catalogue does not say.
bool FitsElevatedArgument(const std::wstring& text);

// Whether a program takes part in an install run whose installers folder is `folder`.
// Install values come from a catalogue fetched over plain HTTP, so the downloaded name and
// the started file must be plain file names (IsPlainFileName), and the started path and the
// parameters must fit FitsElevatedArgument. An empty value fails too: it names no file. A
// refused program is neither downloaded nor started; the run goes on with the next one.
bool IsAcceptedInstall(const std::wstring& install, const std::wstring& folder);

// Starts the file elevated (verb "runas") with the parameters, shown, without an owner
// window, working directory or error box. The process handle, or none when the start failed,
// the elevation was refused, or either text does not fit FitsElevatedArgument.
KernelHandle RunElevated(const std::wstring& file, const std::wstring& parameters);
