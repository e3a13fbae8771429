#pragma once
// The install run, without any window: the elevated start, and InstallRun, the pipeline that
// downloads each installer and starts it, the next download overlapping the running one,
// and keeps what became of each program. What an install value names and starts, and
// whether a program may start at all, is catalog/start_rule.h's.

#include <windows.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "catalog/catalogue.h"
#include "catalog/start_rule.h"
#include "install/staged_installer.h"
#include "net/failure_reason.h"

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
    virtual FailureReason Failure() const { return {FailureKind::Network, 0}; }  // once finished and failed
    virtual unsigned SecondsToWait() const { return 0; }  // while a busy host asked the download to wait
};

// An installer the run started. Destroying it closes the run's handles; the installer and
// whatever it started run on.
class StartedInstaller {
public:
    virtual ~StartedInstaller() = default;
    // The installer's process has ended, and so has every process it started, directly or
    // through processes that have already ended, that is still installing (ProcessTree). A
    // handle that cannot be waited on never counts as ended: the run then waits until it is
    // stopped.
    virtual bool HasExited() = 0;
    // While the installer itself has ended and a process it started that is still installing
    // runs on: that process's file name, which the run shows it is waiting for. Otherwise empty.
    virtual std::wstring WaitingFor() const = 0;
    // The file names of the processes it started that run on and are not waited for: the
    // program it installed, a tray helper, an updater.
    virtual std::vector<std::wstring> LeftRunning() const = 0;
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
    // Starts fetching `url` into `path` in the background; an empty pin takes any body.
    virtual std::unique_ptr<InstallerDownload> StartDownload(const std::wstring& url, const std::wstring& path,
                                                             const InstallerPin& pin) = 0;
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
        DownloadFailed,  // FailureOfRun()'s download failed; the run is over
        Refused,         // the start rule refused FailureOfRun() for want of the key's vouching; the run is over
        // The next installer has waited kWindowsInstallerPatienceMs for another Windows
        // Installer installation: the owner asks the user and calls KeepWaiting or
        // SkipWaitingProgram; the run then goes on with the next Tick.
        WindowsInstallerStuck,
        // The installer has ended and a process it started, still installing, has run on for
        // kStillInstallingPatienceMs: the owner asks the user about StillRunningName() and
        // calls KeepWaiting or StartNextProgram; the run then goes on with the next Tick.
        StillInstallingStuck,
    };
    static constexpr ULONGLONG kWindowsInstallerPatienceMs = 2 * 60 * 1000;
    static constexpr ULONGLONG kStillInstallingPatienceMs = 10 * 60 * 1000;

    // What ended the run early: the program, and the start rule's verdict on it (Accepted
    // when its download failed).
    struct Failure {
        const CatalogueProgram* program;  // borrowed like the run's programs
        StartVerdict verdict;
        FailureReason reason;  // why the download failed; None for a refusal
    };

    // The programs are borrowed and must outlive the run; `places` says where each one's
    // installer is downloaded to and started from. Each program takes part as DecideStart
    // says, for a keyed build with `keyedBuild`: an installer then starts only when its bytes
    // match the program's hash, and a program refused for want of the key's vouching ends
    // the run as a failed download does, with its own reason.
    InstallRun(std::vector<const CatalogueProgram*> programs, InstallerPlaces places, InstallPlatform& platform,
               bool keyedBuild = false);

    // Before Start: the program is installed and up to date. It is neither downloaded nor
    // started, and its outcome is UpToDate.
    void MarkUpToDate(const CatalogueProgram& program);
    // Before Start: each program's line goes into this log as its installer ends.
    void WriteLogTo(std::wstring logFile) { m_logFile = std::move(logFile); }

    // Makes sure the installers folder exists and starts the first missing download.
    void Start();
    // The three phases of a tick, in this order: collect a finished download and start the
    // next one, watch the running installer, then start the next installer (once no Windows
    // Installer installation is in progress) or show the download's progress. Once it has
    // answered Finished, DownloadFailed or Refused the run is over and is not ticked again.
    Step Tick();
    // The user gives up: the download is cancelled and the installer left running.
    void Stop();
    // The answers to WindowsInstallerStuck and StillInstallingStuck: wait another while; or
    // pass over the program waiting for Windows Installer; or stop waiting for the running
    // installer's processes, which then run on, and go on with the next program.
    void KeepWaiting();
    void SkipWaitingProgram();
    void StartNextProgram();

    const std::wstring& StatusText() const { return m_statusText; }
    int Percent() const { return m_percent; }  // 0..100
    HANDLE InstallerProcess() const;            // borrowed; null when no installer is watched
    // Once Tick has answered DownloadFailed or Refused.
    const Failure& FailureOfRun() const { return *m_failure; }
    // What became of each program so far, in the order they ended.
    const std::vector<ProgramResult>& Results() const { return m_results; }
    // The program whose installer is waiting for Windows Installer; null when none is.
    const CatalogueProgram* WaitingProgram() const;
    // The process still installing that the run waits for, once the installer itself ended.
    std::wstring StillRunningName() const;

private:
    // The installer the run started, from its staged copy, until it is seen to exit.
    struct RunningInstaller {
        const CatalogueProgram* program;  // borrowed
        std::unique_ptr<StartedInstaller> process;
        StagedInstaller staged;  // held until the installer and all it waits for have ended
        ULONGLONG startMs;
        std::optional<ULONGLONG> stillInstallingSinceMs;  // since the installer itself ended
    };

    bool CollectFinishedDownload();  // false once the run has failed
    bool WatchInstaller();
    Step TakeNextStep();
    void ShowDownloadProgress(const CatalogueProgram& program);
    void StartNextDownload();
    StartVerdict VerdictOn(const CatalogueProgram& program) const;
    void RunInstaller(const CatalogueProgram& program);
    void EndRunningInstaller(const std::vector<std::wstring>& alsoLeft = {});
    void Record(const CatalogueProgram& program, InstallOutcome outcome, std::optional<DWORD> exitCode = {},
                ULONGLONG milliseconds = 0, const std::vector<std::wstring>& leftRunning = {});
    void Log(const CatalogueProgram& program, const std::wstring& outcome, std::optional<DWORD> exitCode,
             ULONGLONG milliseconds, const std::vector<std::wstring>& leftRunning = {});

    const std::vector<const CatalogueProgram*> m_programs;  // borrowed, never empty
    const InstallerPlaces m_places;
    InstallPlatform& m_platform;
    const bool m_keyedBuild;
    std::set<const CatalogueProgram*> m_upToDate;  // borrowed
    std::wstring m_logFile;                         // none when empty
    std::wstring m_statusText = L"正在下载...";
    int m_percent = 0;

    // The pipeline's two positions: every program before m_downloadIndex has its installer on
    // disk or takes no part, and m_installIndex is the next to install, never past it.
    size_t m_downloadIndex = 0;
    size_t m_installIndex = 0;
    // Each of these exists only while it is true: the download of the program at
    // m_downloadIndex, the installer running, since when the program at m_installIndex waits
    // for another Windows Installer installation, and what ended the run.
    std::unique_ptr<InstallerDownload> m_download;
    std::optional<RunningInstaller> m_running;
    std::optional<ULONGLONG> m_windowsInstallerWaitSinceMs;
    std::optional<Failure> m_failure;

    std::vector<ProgramResult> m_results;
};
