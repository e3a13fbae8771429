#pragma once
// What a program's install value means, where its installer lives, and the one rule for
// whether that installer may be downloaded and started. The install run, the publisher's
// tool (check and fetch) and the catalogue refresh all ask DecideStart, so a program is
// refused for the same reason wherever it is looked at.
//
// White space, wherever a value is trimmed here, means the ASCII white-space characters:
// space, tab, line feed, vertical tab, form feed and carriage return.

#include <set>
#include <string>
#include <vector>

#include "catalog/catalogue.h"
#include "net/installer_signature.h"

// An install value's words are separated by spaces (U+0020); a word that opens with a double
// quote runs to the next one ("my setup.exe" /S), which must end it, and is the text between
// them. A quote left open makes the rest of the value one word, quote and all.

// The trimmed install value's first word. The installer is downloaded and looked for under
// this name in the installers folder.
std::wstring InstallerFileName(const std::wstring& install);

// What an install value starts: an installer program (".exe") or a Windows Installer
// package (".msi"), which msiexec installs.
enum class InstallerKind { None, Program, Package };

// Splits the trimmed install value at its first word that ends in ".exe" or ".msi" (in any
// letter case): `file` is that word, or, when other words come before it, the value up to
// its end; `parameters` is the trimmed rest. So "pkg.msi /qn TARGET=app.exe" starts the
// package pkg.msi. None, with both emptied, when no word ends so: nothing is started for it.
InstallerKind SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters);

// Whether the file the value starts is another than the one it downloads: "my setup.exe /S"
// downloads "my" and starts "my setup.exe". False for a value that starts nothing.
bool StartsAnotherFile(const std::wstring& install);

// Windows Installer's own msiexec.exe, from the system folder: never from the installers
// folder, the current folder or the search path.
std::wstring SystemMsiexecPath();

// The program and parameters that start an installer at `path` (a staged copy): the file
// itself, or msiexec.exe /i "<path>" and the parameters for a package.
struct StartCommand {
    std::wstring file;
    std::wstring parameters;
};
StartCommand StartCommandFor(InstallerKind kind, const std::wstring& path, const std::wstring& parameters);

// The installer's path in its folder: folder + "\" + name.
std::wstring InstallerPath(const std::wstring& folder, const std::wstring& name);

// An elevated start takes at most 511 characters of the file path and of the parameters (a
// buffer of 512 with its terminator). A longer text is refused, never cut short: a cut one
// would start something the catalogue does not say.
bool FitsElevatedArgument(const std::wstring& text);

// An installer starts from a copy in a staging folder of its own under StagingRoot(), whose
// name is "start-", 8 hexadecimal digits of the process id, "-" and 8 of a counter.
constexpr size_t kStagingFolderNameLength = 23;

// The user's temporary folder (GetTempPathW), without its final backslash: on the system's
// own volume, where only the user, the Administrators and SYSTEM may write, whatever volume
// the installers are kept on. A stick's FAT or exFAT keeps no permissions at all.
std::wstring StagingRoot();

// The path an installer named `file` is started from when staged; any staging folder's name
// has this length.
size_t StagedPathLength(const std::wstring& file);

// Whether a program's installer may be downloaded and started, and if not, why.
enum class StartVerdict {
    Accepted,
    UpToDate,           // installed already and up to date: neither downloaded nor started
    NoFileName,         // the install value is empty or white space
    UnsafeFileName,     // the downloaded or the started name is no plain file name
    PathTooLong,        // the started path does not fit FitsElevatedArgument
    ParametersTooLong,  // nor do the parameters
    NothingToStart,     // neither ".exe" nor ".msi"
    // Only a keyed build refuses these two: its publisher's signature over the catalogue has
    // to vouch for what starts, by its hash or its signer.
    NoPin,              // neither a well-formed hash nor a signer to check the installer against
    StartsAnotherFile,  // the hash would vouch for another file than the one started
};

// The rule. Install values come from a catalogue fetched over the network, so the downloaded
// name and the started file must be plain file names (IsPlainFileName), and the command
// started from a staging folder of this machine's must fit an elevated start. A keyed build
// (`keyedBuild`) also needs the catalogue to vouch for the installer started: by its hash
// (these very bytes) or its signer (a file signed by that publisher). `upToDate` says the
// program is installed and up to date, which comes first; a missing pin in a keyed build
// comes next.
StartVerdict DecideStart(const CatalogueProgram& program, bool keyedBuild, bool upToDate = false);

// What the catalogue vouches for in the program's installer: its hash, its signer, or both.
InstallerPin PinOf(const CatalogueProgram& program);

// Refused: neither Accepted nor UpToDate.
bool IsRefusal(StartVerdict verdict);
// Refused only because the build carries a publisher's key: a catalogue with such a program
// is no catalogue for that build.
bool IsKeyRefusal(StartVerdict verdict);

// Where each program's installer stands. Its file is named InstallerFileName(install) and
// stands directly in the installers folder, unless programs with another URL use that name
// too, in any letter case, as many a "setup.exe" does. Each of those keeps its installer in
// a subfolder of its own, named by InstallerSubfolder, so that no program starts another's
// installer and no file is replaced while an earlier installer may still start from it.
// The programs given are all the installers whose names count: a catalogue's every program.
class InstallerPlaces {
public:
    InstallerPlaces(std::wstring installersFolder, const std::vector<const CatalogueProgram*>& everyProgram);

    const std::wstring& installersFolder() const { return m_installersFolder; }
    // The folder holding the program's installer: the installers folder or a subfolder of it.
    std::wstring FolderOf(const CatalogueProgram& program) const;

private:
    std::wstring m_installersFolder;
    std::set<std::wstring> m_sharedNames;  // upper-cased InstallerFileName values
};

// A shared installer name's subfolder: 16 hexadecimal digits, the 64-bit FNV-1a hash of the
// program's URL, so it stays the same from run to run.
std::wstring InstallerSubfolder(const CatalogueProgram& program);

// Every program of the catalogue, in order; borrowed from it.
std::vector<const CatalogueProgram*> EveryProgram(const Catalogue& catalogue);

// Whether a keyed build may take the catalogue: the rule refuses none of its programs for
// want of the key's vouching.
bool KeyedBuildTakes(const Catalogue& catalogue);
