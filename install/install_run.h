#pragma once
// The install run, without any window: what it makes of a program's install value (the name
// its installer is downloaded under, the file and parameters it is started with, whether the
// program takes part at all), the elevated start, and InstallRun, the pipeline that
// downloads each installer and starts it, the next download overlapping the running one,
// and keeps what became of each program.
//
// White space, wherever a value is trimmed here, means the ASCII white-space characters:
// space, tab, line feed, vertical tab, form feed and carriage return.

#include <windows.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "catalog/catalogue.h"
#include "install/staged_installer.h"

// The install value trimmed at both ends, up to its first space (U+0020), or the whole
// trimmed value when it has none. The installer is downloaded and looked for under this
// name in the installers folder.
std::wstring InstallerFileName(const std::wstring& install);

// What an install value starts: an installer program (".exe") or a Windows Installer
// package (".msi"), which msiexec installs.
enum class InstallerKind { None, Program, Package };

// Splits the trimmed install value after its first ".exe " or, failing that, its first
// ".exe" (either in any letter case): `file` is the part up to and including ".exe", and
// `parameters` the trimmed rest. A value with no ".exe" is looked at for ".msi " and ".msi"
// the same way. None, with both emptied, when it holds neither: nothing is started for it.
InstallerKind SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters);

// Whether the file the value starts is another than the one it downloads: "my setup.exe /S"
// downloads "my" and starts "my setup.exe"; "setup.exe.bak" downloads itself and starts
// "setup.exe". A keyed build refuses such a value: the bytes checked would not be the ones
// started. False for a value that starts nothing.
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

// The installer's path in the installers folder: folder + "\" + name.
std::wstring InstallerPath(const std::wstring& folder, const std::wstring& name);

// An elevated start takes at most 511 characters of the file path and of the parameters (a
// buffer of 512 with its terminator). A longer text is refused, never cut short: a cut one
// would start something the catalogue does not say.
bool FitsElevatedArgument(const std::wstring& text);

// Whether a program takes part in an install run whose installers folder is `folder`.
// Install values come from a catalogue fetched over plain HTTP, so the downloaded name and
// the started file must be plain file names (IsPlainFileName), and the started command (from
// a staging folder, StagedPathLength) must fit FitsElevatedArgument. An empty value fails
// too, and so does one that starts nothing. A refused program is neither downloaded nor
// started; the run goes on with the next one.
bool IsAcceptedInstall(const std::wstring& install, const std::wstring& folder);

// Why IsAcceptedInstall refuses a value, or None when it accepts it.
enum class InstallRefusal {
    None,
    NoFileName,         // the value is empty or white space
    UnsafeFileName,     // the downloaded or the started name is no plain file name
    PathTooLong,        // the started path does not fit FitsElevatedArgument
    ParametersTooLong,  // nor do the parameters
    NothingToStart,     // neither ".exe" nor ".msi"
};
InstallRefusal WhyRefused(const std::wstring& install, const std::wstring& folder);

// Starts the file elevated (verb "runas") with the parameters, shown, without an owner
// window, working directory or error box. The process handle, or none when the start failed,
// the elevation was refused, or either text does not fit FitsElevatedArgument.
KernelHandle RunElevated(const std::wstring& file, const std::wstring& parameters);

// A download the run started. Destroying it lets go of the download, cancelling one that is
// still going (its thread removes its temporary file by itself).
class InstallerDownload {
public:
    virtual ~InstallerDownload() = default;
    virtual bool IsFinished() const = 0;
    virtual bool Succeeded() const = 0;  // once finished
    virtual int GetPercent() const = 0;  // may pass 100 when the size announced was short
};

// Where each program's installer stands. Its file is named InstallerFileName(install) and
// stands directly in the installers folder, unless programs with another URL use that name
// too, in any letter case, as many a "setup.exe" does. Each of those keeps its installer in a subfolder of its own, named by
// InstallerSubfolder, so that no program starts another's installer and no file is replaced
// while an earlier installer may still start from it. The programs given are all the
// installers whose names count: a catalogue's every program.
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

// An installer the run started. Destroying it closes the run's handles; the installer and
// whatever it started run on.
class StartedInstaller {
public:
    virtual ~StartedInstaller() = default;
    // The installer's process has ended, and so has every process it started, directly or
    // through processes that have already ended (ProcessTree). A handle that cannot be waited
    // on never counts as ended: the run then waits until it is stopped.
    virtual bool HasExited() = 0;
    // While the installer itself has ended and a process it started runs on: that process's
    // file name, which the run shows it is waiting for. Otherwise empty.
    virtual std::wstring WaitingFor() const = 0;
    // The installer's own exit code, once HasExited.
    virtual DWORD ExitCode() const = 0;
    virtual HANDLE handle() const = 0;  // borrowed; null where there is no real process
};

// msiexec holds this mutex while a Windows Installer installation is in progress.
constexpr wchar_t kWindowsInstallerMutex[] = L"Global\\_MSIExecute";

// The ways an install run reaches the platform. Tests put fakes in their place.
class InstallPlatform {
public:
    virtual ~InstallPlatform() = default;
    // Starts fetching `url` into `path` in the background; an empty hash takes any body.
    virtual std::unique_ptr<InstallerDownload> StartDownload(const std::wstring& url, const std::wstring& path,
                                                             const std::wstring& sha256) = 0;
    // RunElevated's start; null when nothing started.
    virtual std::unique_ptr<StartedInstaller> StartElevated(const std::wstring& file,
                                                            const std::wstring& parameters) = 0;
    // Whether a Windows Installer installation is in progress: Windows runs one at a time.
    virtual bool IsWindowsInstallerBusy() = 0;
    // A steady clock in milliseconds: how long installers take, how long the run has waited.
    virtual ULONGLONG NowMs() { return GetTickCount64(); }
    // Called once a staged installer has passed its check and is held, right before it is
    // started from `stagedFile`. Nothing to do for the program; tests try to swap it here.
    virtual void BeforeStart(const std::wstring& stagedFile) { (void)stagedFile; }
};

// The program's own: background downloads (CAsyncDownload) and RunElevated.
InstallPlatform& SystemInstallPlatform();

// What became of a program in a run.
enum class InstallOutcome {
    Succeeded,               // exit code 0
    SucceededRestartNeeded,  // 3010 or 1641
    Cancelled,               // 1602 or 1223: the user cancelled it
    Failed,                  // any other exit code
    NotStarted,              // the start failed or its elevation was refused
    Skipped,                 // refused, or nothing to start, or left waiting for Windows Installer
    UpToDate,                // installed already and up to date: neither downloaded nor started
};

// The outcome of an installer that exited with `exitCode`.
InstallOutcome OutcomeOfExitCode(DWORD exitCode);
// The outcome in words, as the report and the log say it.
const wchar_t* OutcomeWords(InstallOutcome outcome);

struct ProgramResult {
    const CatalogueProgram* program;  // borrowed like the run's programs
    InstallOutcome outcome;
    std::optional<DWORD> exitCode;  // only from an installer that exited
    ULONGLONG milliseconds;         // from its start to the end of its last process
};

// The text of the report at the end of a run: one line per program that did not end in plain
// success ("name：outcome（退出代码 N）"), then "需要重新启动计算机" once when any needs a
// restart. Empty when there is nothing to tell.
std::wstring InstallReport(const std::vector<ProgramResult>& results);

// The pipeline of one install run. Program k is installed once its installer is on disk and
// the installer of program k - 1 has been seen to exit; program k + 1 downloads meanwhile.
// The owner calls Tick every 200 ms on one thread, and nothing here blocks or waits.
class InstallRun {
public:
    enum class Step {
        Going,
        Finished,        // every installer started has exited
        DownloadFailed,  // FailedProgram's download failed; the run is over
        // The next installer has waited kWindowsInstallerPatienceMs for another Windows
        // Installer installation: the owner asks the user, then calls KeepWaiting or
        // SkipWaitingProgram before the next Tick.
        WindowsInstallerStuck,
    };
    static constexpr ULONGLONG kWindowsInstallerPatienceMs = 2 * 60 * 1000;

    // The programs are borrowed and must outlive the run; `places` says where each one's
    // installer is downloaded to and started from. With `hashRequired` (a keyed build), an
    // installer starts only when its bytes match the program's hash: a program without one
    // fails the run as a download whose hash differs does.
    InstallRun(std::vector<const CatalogueProgram*> programs, InstallerPlaces places, InstallPlatform& platform,
               bool hashRequired = false);

    // Before Start: the program is installed and up to date. It is neither downloaded nor
    // started, and its outcome is UpToDate.
    void MarkUpToDate(const CatalogueProgram& program);
    // Before Start: each program's line goes into this log as its installer ends.
    void WriteLogTo(std::wstring logFile) { m_logFile = std::move(logFile); }

    // Makes sure the installers folder exists and starts the first missing download.
    void Start();
    // The three phases of a tick, in this order: collect a finished download and start the
    // next one, watch the running installer, then start the next installer (once no Windows
    // Installer installation is in progress) or show the download's progress. Not to be
    // called again once it answered other than Going.
    Step Tick();
    // The user gives up: the download is cancelled and the installer left running.
    void Stop();
    // The answers to WindowsInstallerStuck: wait another while, or pass over the program.
    void KeepWaiting();
    void SkipWaitingProgram();

    const std::wstring& StatusText() const { return m_statusText; }
    int Percent() const { return m_percent; }  // 0..100
    size_t InstallIndex() const { return m_installIndex; }
    HANDLE InstallerProcess() const;  // borrowed; null when no installer is watched
    const CatalogueProgram* FailedProgram() const { return m_failed; }
    // What became of each program so far, in the order they ended.
    const std::vector<ProgramResult>& Results() const { return m_results; }
    // The program whose installer is waiting for Windows Installer; null when none is.
    const CatalogueProgram* WaitingProgram() const;

private:
    bool CollectFinishedDownload();  // false when the download failed
    void WatchInstaller();
    Step TakeNextStep();
    bool WaitForWindowsInstaller();  // true while the next installer has to wait
    void ShowDownloadProgress(const CatalogueProgram& program);
    void StartNextDownload();
    bool TakesPart(const CatalogueProgram& program) const;  // accepted and not up to date
    void RunInstaller(const CatalogueProgram& program);
    void Record(const CatalogueProgram& program, InstallOutcome outcome, std::optional<DWORD> exitCode = {});

    const std::vector<const CatalogueProgram*> m_programs;  // borrowed, never empty
    const InstallerPlaces m_places;
    InstallPlatform& m_platform;
    const bool m_hashRequired;
    std::set<const CatalogueProgram*> m_upToDate;  // borrowed
    std::wstring m_logFile;                         // none when empty
    std::wstring m_statusText = L"正在下载...";
    int m_percent = 0;
    std::unique_ptr<InstallerDownload> m_download;  // the download in progress, or none
    std::unique_ptr<StartedInstaller> m_installer;  // until it is seen to exit
    std::unique_ptr<StagedInstaller> m_staged;      // the copy it was started from
    const CatalogueProgram* m_installing = nullptr;  // whose installer runs; borrowed
    ULONGLONG m_installStartMs = 0;
    std::optional<ULONGLONG> m_windowsInstallerWaitMs;  // since when the next installer waits
    size_t m_downloadIndex = 0;                         // programs before it have their installer on disk
    size_t m_installIndex = 0;                          // next to install; only while below m_downloadIndex
    const CatalogueProgram* m_failed = nullptr;
    std::vector<ProgramResult> m_results;
};
