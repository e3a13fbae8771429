#include "install/install_run.h"

#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "base/folders.h"
#include "install/install_log.h"
#include "install/process_tree.h"
#include "net/download.h"

namespace {

constexpr DWORD kExitRestartNeeded = 3010;      // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr DWORD kExitRestartStarted = 1641;     // ERROR_SUCCESS_REBOOT_INITIATED
constexpr DWORD kExitUserCancelled = 1602;      // ERROR_INSTALL_USEREXIT
constexpr DWORD kExitOperationCancelled = 1223;  // ERROR_CANCELLED

// Replaces a plain file standing where the folder belongs.
void MakeSureFolderExists(const std::wstring& folder)
{
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    DeleteFileW(folder.c_str());
    CreateDirectoryW(folder.c_str(), nullptr);
}

class BackgroundDownload : public InstallerDownload {
public:
    BackgroundDownload(const std::wstring& url, const std::wstring& path, const InstallerPin& pin)
    {
        m_download.Start(url, path, pin);
    }
    bool IsFinished() const override { return m_download.IsFinished(); }
    bool Succeeded() const override { return m_download.Succeeded(); }
    int GetPercent() const override { return m_download.GetPercent(); }
    FailureReason Failure() const override { return ReasonOf(m_download.Report()); }
    unsigned SecondsToWait() const override { return m_download.SecondsToWait(); }

private:
    CAsyncDownload m_download;  // cancels on destruction a download still going
};

class ElevatedProcess : public StartedInstaller {
public:
    explicit ElevatedProcess(KernelHandle process) : m_tree(std::move(process)) {}
    // Whether the processes have ended, not what the exit code reads: an installer may really
    // end with 259, STILL_ACTIVE's value.
    bool HasExited() override { return m_tree.Poll(); }
    std::wstring WaitingFor() const override { return m_tree.RemainingName(); }
    std::vector<std::wstring> LeftRunning() const override { return m_tree.LeftRunning(); }
    DWORD ExitCode() const override
    {
        DWORD code = 0;
        return GetExitCodeProcess(m_tree.root(), &code) ? code : static_cast<DWORD>(-1);
    }
    HANDLE handle() const override { return m_tree.root(); }

private:
    ProcessTree m_tree;
};

class SystemPlatform : public InstallPlatform {
public:
    std::unique_ptr<InstallerDownload> StartDownload(const std::wstring& url, const std::wstring& path,
                                                     const InstallerPin& pin) override
    {
        return std::make_unique<BackgroundDownload>(url, path, pin);
    }
    std::unique_ptr<StartedInstaller> StartElevated(const std::wstring& file, const std::wstring& parameters) override
    {
        KernelHandle process = RunElevated(file, parameters);
        if (!process)
            return nullptr;
        return std::make_unique<ElevatedProcess>(std::move(process));
    }
    // The mutex exists only while an installation holds it. One this user may not open
    // (made by another account, or by an elevated process that denies us even SYNCHRONIZE) is
    // there all the same and counts as busy: that is what a real installation under another
    // account looks like. It cannot hold a run for ever: after kWindowsInstallerPatienceMs
    // the user chooses between waiting on and skipping the installer.
    bool IsWindowsInstallerBusy() override
    {
        const KernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kWindowsInstallerMutex));
        return mutex || GetLastError() == ERROR_ACCESS_DENIED;
    }
};

}  // namespace

KernelHandle RunElevated(const std::wstring& file, const std::wstring& parameters)
{
    if (!FitsElevatedArgument(file) || !FitsElevatedArgument(parameters))
        return KernelHandle();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // No error box: an installer that cannot be started is passed over silently, where a box
    // would hold the run up until someone pressed it. The elevation prompt still shows.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info))
        return KernelHandle();
    return KernelHandle(info.hProcess);
}

InstallPlatform& SystemInstallPlatform()
{
    static SystemPlatform platform;
    return platform;
}

InstallOutcome OutcomeOfExitCode(DWORD exitCode)
{
    switch (exitCode) {
    case 0: return InstallOutcome::Succeeded;
    case kExitRestartNeeded:
    case kExitRestartStarted: return InstallOutcome::SucceededRestartNeeded;
    case kExitUserCancelled:
    case kExitOperationCancelled: return InstallOutcome::Cancelled;
    default: return InstallOutcome::Failed;
    }
}

const wchar_t* OutcomeWords(InstallOutcome outcome)
{
    switch (outcome) {
    case InstallOutcome::Succeeded: return L"安装成功";
    case InstallOutcome::SucceededRestartNeeded: return L"安装成功，需要重新启动";
    case InstallOutcome::Cancelled: return L"安装已取消";
    case InstallOutcome::Failed: return L"安装失败";
    case InstallOutcome::NotStarted: return L"未能启动";
    case InstallOutcome::Skipped: return L"已跳过";
    case InstallOutcome::UpToDate: return L"已是最新版本，跳过";
    }
    return L"";
}

std::wstring InstallReport(const std::vector<ProgramResult>& results)
{
    std::wstring report;
    bool restartNeeded = false;
    for (const ProgramResult& result : results) {
        if (result.outcome == InstallOutcome::Succeeded)
            continue;
        restartNeeded = restartNeeded || result.outcome == InstallOutcome::SucceededRestartNeeded;
        report += result.program->name + L"：" + OutcomeWords(result.outcome);
        if (result.exitCode)
            report += L"（退出代码 " + std::to_wstring(*result.exitCode) + L"）";
        report += L"\r\n";
    }
    if (restartNeeded)
        report += L"\r\n需要重新启动计算机\r\n";
    return report.empty() ? report : report.substr(0, report.size() - 2);
}

InstallRun::InstallRun(std::vector<const CatalogueProgram*> programs, InstallerPlaces places,
                       InstallPlatform& platform, bool keyedBuild)
    : m_programs(std::move(programs)), m_places(std::move(places)), m_platform(platform), m_keyedBuild(keyedBuild)
{
}

void InstallRun::MarkUpToDate(const CatalogueProgram& program)
{
    m_upToDate.insert(&program);
}

void InstallRun::Start()
{
    StartNextDownload();
}

InstallRun::Step InstallRun::Tick()
{
    if (!CollectFinishedDownload())
        return m_failure->verdict == StartVerdict::Accepted ? Step::DownloadFailed : Step::Refused;
    if (WatchInstaller())
        return Step::StillInstallingStuck;
    return TakeNextStep();
}

void InstallRun::Stop()
{
    m_download.reset();  // cancelled; its thread removes the temporary file itself
    // The installer keeps running, and so its staged copy stays; the next staging beside it
    // removes it.
    m_running.reset();
}

void InstallRun::KeepWaiting()
{
    const ULONGLONG now = m_platform.NowMs();
    if (m_windowsInstallerWaitSinceMs)
        m_windowsInstallerWaitSinceMs = now;
    if (m_running && m_running->stillInstallingSinceMs)
        m_running->stillInstallingSinceMs = now;
}

void InstallRun::SkipWaitingProgram()
{
    if (!m_windowsInstallerWaitSinceMs || m_installIndex >= m_programs.size())
        return;
    m_windowsInstallerWaitSinceMs.reset();
    Record(*m_programs[m_installIndex++], InstallOutcome::Skipped);
}

// What still installs runs on, unwatched, beside the program it installed.
void InstallRun::StartNextProgram()
{
    if (m_running && m_running->stillInstallingSinceMs)
        EndRunningInstaller({m_running->process->WaitingFor()});
}

std::wstring InstallRun::StillRunningName() const
{
    return m_running ? m_running->process->WaitingFor() : std::wstring();
}

HANDLE InstallRun::InstallerProcess() const
{
    return m_running ? m_running->process->handle() : nullptr;
}

const CatalogueProgram* InstallRun::WaitingProgram() const
{
    return m_windowsInstallerWaitSinceMs && m_installIndex < m_programs.size() ? m_programs[m_installIndex] : nullptr;
}

// A download whose thread could not start reads as finished and failed. A refusal met while
// starting the next download ends the run at the next tick, as a failed download would.
bool InstallRun::CollectFinishedDownload()
{
    if (m_failure)
        return false;
    if (!m_download || !m_download->IsFinished())
        return true;
    const bool succeeded = m_download->Succeeded();
    const FailureReason reason = m_download->Failure();
    m_download.reset();
    if (!succeeded) {
        m_failure = Failure{m_programs[m_downloadIndex], StartVerdict::Accepted, reason};
        Log(*m_failure->program, L"下载失败：" + FailureWords(reason), std::nullopt, 0);
        return false;
    }
    ++m_downloadIndex;
    StartNextDownload();
    return true;
}

// True once the installer has ended and a process it started, still installing, has run on
// for kStillInstallingPatienceMs since.
bool InstallRun::WatchInstaller()
{
    if (!m_running)
        return false;
    if (m_running->process->HasExited()) {
        EndRunningInstaller();
        return false;
    }
    const std::wstring waitingFor = m_running->process->WaitingFor();
    if (waitingFor.empty()) {
        m_running->stillInstallingSinceMs.reset();
        return false;
    }
    m_statusText = L"正在等待 - " + waitingFor;
    const ULONGLONG now = m_platform.NowMs();
    if (!m_running->stillInstallingSinceMs)
        m_running->stillInstallingSinceMs = now;
    return now - *m_running->stillInstallingSinceMs >= kStillInstallingPatienceMs;
}

// Its line names what it left running, and `alsoLeft` besides.
void InstallRun::EndRunningInstaller(const std::vector<std::wstring>& alsoLeft)
{
    const DWORD exitCode = m_running->process->ExitCode();
    const CatalogueProgram& program = *m_running->program;
    const ULONGLONG milliseconds = m_platform.NowMs() - m_running->startMs;
    std::vector<std::wstring> leftRunning = m_running->process->LeftRunning();
    for (const std::wstring& name : alsoLeft) {
        if (std::find(leftRunning.begin(), leftRunning.end(), name) == leftRunning.end())
            leftRunning.push_back(name);
    }
    m_running.reset();  // nothing needs its handles or its copy any more
    Record(program, OutcomeOfExitCode(exitCode), exitCode, milliseconds, leftRunning);
}

InstallRun::Step InstallRun::TakeNextStep()
{
    if (m_running)
        return Step::Going;
    // Programs that take no part end at once, each with its line.
    for (; m_installIndex < m_programs.size(); ++m_installIndex) {
        const CatalogueProgram& program = *m_programs[m_installIndex];
        const StartVerdict verdict = VerdictOn(program);
        if (verdict == StartVerdict::Accepted)
            break;
        Record(program, verdict == StartVerdict::UpToDate ? InstallOutcome::UpToDate : InstallOutcome::Skipped);
    }
    if (m_installIndex >= m_programs.size())
        return Step::Finished;
    const CatalogueProgram& program = *m_programs[m_installIndex];
    if (m_installIndex >= m_downloadIndex) {
        ShowDownloadProgress(program);
        return Step::Going;
    }
    // An installer started now would fail with 1618 while another Windows Installer
    // installation is in progress, even after the last process we started has exited.
    if (m_platform.IsWindowsInstallerBusy()) {
        const ULONGLONG now = m_platform.NowMs();
        if (!m_windowsInstallerWaitSinceMs)
            m_windowsInstallerWaitSinceMs = now;
        m_statusText = L"正在等待其他安装程序完成";
        return now - *m_windowsInstallerWaitSinceMs >= kWindowsInstallerPatienceMs ? Step::WindowsInstallerStuck
                                                                                     : Step::Going;
    }
    m_windowsInstallerWaitSinceMs.reset();
    m_statusText = L"正在安装 - " + program.name;
    const double share = static_cast<double>(m_installIndex) / static_cast<double>(m_programs.size());
    m_percent = static_cast<int>(share * 100);
    ++m_installIndex;
    RunInstaller(program);
    return Step::Going;
}

// A GET longer than its HEAD announced counts past 100; the bar stops at its track's end.
void InstallRun::ShowDownloadProgress(const CatalogueProgram& program)
{
    m_statusText = L"正在下载 - " + program.name;
    if (!m_download || m_download->IsFinished())
        return;
    if (const unsigned seconds = m_download->SecondsToWait()) {
        m_statusText = L"服务器繁忙，" + std::to_wstring(seconds) + L"秒后重试 - " + program.name;
        return;
    }
    m_percent = std::clamp(m_download->GetPercent(), 0, 100);
    m_statusText = L"正在下载(" + std::to_wstring(m_percent) + L"%) - " + program.name;
}

// Starts the download of the first program from m_downloadIndex on that takes part and is
// not on disk yet. A program the rule refuses for want of the key's vouching fails the run.
void InstallRun::StartNextDownload()
{
    if (m_downloadIndex >= m_programs.size())
        return;
    MakeSureFolderExists(m_places.installersFolder());
    for (; m_downloadIndex < m_programs.size(); ++m_downloadIndex) {
        const CatalogueProgram& program = *m_programs[m_downloadIndex];
        const StartVerdict verdict = VerdictOn(program);
        if (IsKeyRefusal(verdict)) {
            m_failure = Failure{&program, verdict, {}};
            return;
        }
        if (verdict != StartVerdict::Accepted)
            continue;  // never downloaded, never started
        const std::wstring folder = m_places.FolderOf(program);
        MakeSureFolderExists(folder);
        const std::wstring path = InstallerPath(folder, InstallerFileName(program.install));
        // With a pin, the download's thread checks a file already there and fetches it again
        // when it does not hold. Without one, a file that is no installer (a login page an
        // earlier run met) is fetched again.
        const InstallerPin pin = PinOf(program);
        if (!PathExists(path) || !pin.empty() || !HoldsInstallerSignature(path)) {
            m_download = m_platform.StartDownload(program.url, path, pin);
            return;
        }
        // On disk from an earlier run and nothing to check it against: used as it is.
    }
}

StartVerdict InstallRun::VerdictOn(const CatalogueProgram& program) const
{
    return DecideStart(program, m_keyedBuild, m_upToDate.count(&program) != 0);
}

// The installer starts from a copy of its own in a fresh folder, checked against its pin
// through a hold that lets others only read it, and held until it has ended. A folder that
// holds anything else by the start is not started from.
void InstallRun::RunInstaller(const CatalogueProgram& program)
{
    std::wstring file;
    std::wstring parameters;
    const InstallerKind kind = SplitInstallCommand(program.install, file, parameters);
    StagedInstaller staged;
    if (!staged.Stage(InstallerPath(m_places.FolderOf(program), file), PinOf(program))) {
        Record(program, InstallOutcome::NotStarted);
        return;
    }
    m_platform.BeforeStart(staged.file());
    if (!staged.StandsAlone()) {
        Record(program, InstallOutcome::NotStarted);
        return;
    }
    const StartCommand command = StartCommandFor(kind, staged.file(), parameters);
    const ULONGLONG startMs = m_platform.NowMs();
    std::unique_ptr<StartedInstaller> process = m_platform.StartElevated(command.file, command.parameters);
    if (!process) {
        Record(program, InstallOutcome::NotStarted);
        return;
    }
    m_running.emplace(RunningInstaller{&program, std::move(process), std::move(staged), startMs, std::nullopt});
}

void InstallRun::Record(const CatalogueProgram& program, InstallOutcome outcome, std::optional<DWORD> exitCode,
                        ULONGLONG milliseconds, const std::vector<std::wstring>& leftRunning)
{
    m_results.push_back({&program, outcome, exitCode, milliseconds});
    Log(program, OutcomeWords(outcome), exitCode, milliseconds, leftRunning);
}

void InstallRun::Log(const CatalogueProgram& program, const std::wstring& outcome, std::optional<DWORD> exitCode,
                     ULONGLONG milliseconds, const std::vector<std::wstring>& leftRunning)
{
    if (m_logFile.empty())
        return;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const std::wstring code = exitCode ? std::to_wstring(*exitCode) : std::wstring(L"-");
    AppendInstallLogLine(m_logFile,
                         InstallLogLine(now, ComputerName(), program.name, outcome, code,
                                        (milliseconds + 500) / 1000, leftRunning));
}
