#pragma once
// The install run, without any window: what it makes of a program's install value (the name
// its installer is downloaded under, the file and parameters it is started with, whether the
// program takes part at all), the elevated start, and InstallRun, the pipeline that
// downloads each installer and starts it, the next download overlapping the running one.
//
// White space, wherever a value is trimmed here, means the ASCII white-space characters:
// space, tab, line feed, vertical tab, form feed and carriage return.

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "catalog/catalogue.h"

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

// Why IsAcceptedInstall refuses a value, or None when it accepts it.
enum class InstallRefusal {
    None,
    NoFileName,         // the value is empty or white space
    UnsafeFileName,     // the downloaded or the started name is no plain file name
    PathTooLong,        // the started path does not fit FitsElevatedArgument
    ParametersTooLong,  // nor do the parameters
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

// An installer the run started. Destroying it closes the run's handle; the installer runs on.
class StartedInstaller {
public:
    virtual ~StartedInstaller() = default;
    // The process has ended. A handle that cannot be waited on never counts as ended: the
    // run then waits until it is stopped.
    virtual bool HasExited() const = 0;
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
};

// The program's own: background downloads (CAsyncDownload) and RunElevated.
InstallPlatform& SystemInstallPlatform();

// The pipeline of one install run. Program k is installed once its installer is on disk and
// the installer of program k - 1 has been seen to exit; program k + 1 downloads meanwhile.
// The owner calls Tick every 200 ms on one thread, and nothing here blocks or waits.
class InstallRun {
public:
    enum class Step {
        Going,
        Finished,        // every installer started has exited
        DownloadFailed,  // FailedProgram's download failed; the run is over
    };

    // The programs are borrowed and must outlive the run; `places` says where each one's
    // installer is downloaded to and started from. With `hashRequired` (a keyed build), an
    // installer starts only when its bytes match the program's hash: a program without one
    // fails the run as a download whose hash differs does.
    InstallRun(std::vector<const CatalogueProgram*> programs, InstallerPlaces places, InstallPlatform& platform,
               bool hashRequired = false);

    // Makes sure the installers folder exists and starts the first missing download.
    void Start();
    // The three phases of a tick, in this order: collect a finished download and start the
    // next one, watch the running installer, then start the next installer (once no Windows
    // Installer installation is in progress) or show the download's progress. Not to be
    // called again once it answered other than Going.
    Step Tick();
    // The user gives up: the download is cancelled and the installer left running.
    void Stop();

    const std::wstring& StatusText() const { return m_statusText; }
    int Percent() const { return m_percent; }  // 0..100
    size_t InstallIndex() const { return m_installIndex; }
    HANDLE InstallerProcess() const;  // borrowed; null when no installer is watched
    const CatalogueProgram* FailedProgram() const { return m_failed; }

private:
    bool CollectFinishedDownload();  // false when the download failed
    void WatchInstaller();
    Step TakeNextStep();
    void ShowDownloadProgress(const CatalogueProgram& program);
    void StartNextDownload();
    bool IsStartable(const CatalogueProgram& program) const;  // accepted, with an ".exe" to start
    void RunInstaller(const CatalogueProgram& program);

    const std::vector<const CatalogueProgram*> m_programs;  // borrowed, never empty
    const InstallerPlaces m_places;
    InstallPlatform& m_platform;
    const bool m_hashRequired;
    std::wstring m_statusText = L"正在下载...";
    int m_percent = 0;
    std::unique_ptr<InstallerDownload> m_download;  // the download in progress, or none
    std::unique_ptr<StartedInstaller> m_installer;  // until it is seen to exit
    bool m_installerRunning = false;                // an installer of this run has not been seen to exit
    size_t m_downloadIndex = 0;                     // programs before it have their installer on disk
    size_t m_installIndex = 0;                      // next to install; only while below m_downloadIndex
    const CatalogueProgram* m_failed = nullptr;
};
