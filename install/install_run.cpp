#include "install/install_run.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "base/folders.h"
#include "base/text.h"
#include "install/install_log.h"
#include "install/process_tree.h"
#include "net/download.h"

namespace {

constexpr size_t kElevatedArgumentBuffer = 512;  // characters, terminator included
constexpr wchar_t kWhiteSpace[] = L" \t\n\v\f\r";
constexpr wchar_t kExeThenSpace[] = L".exe ";
constexpr wchar_t kExe[] = L".exe";
constexpr wchar_t kMsiThenSpace[] = L".msi ";
constexpr wchar_t kMsi[] = L".msi";
constexpr size_t kExtensionLength = 4;
constexpr wchar_t kMsiexec[] = L"msiexec.exe";

constexpr DWORD kExitRestartNeeded = 3010;      // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr DWORD kExitRestartStarted = 1641;     // ERROR_SUCCESS_REBOOT_INITIATED
constexpr DWORD kExitUserCancelled = 1602;      // ERROR_INSTALL_USEREXIT
constexpr DWORD kExitOperationCancelled = 1223;  // ERROR_CANCELLED

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// ".exe" holds only ASCII letters, so an ASCII lower-case copy finds it wherever any
// lower-casing would, and keeps every position of the original.
std::wstring AsciiLowerCopy(const std::wstring& text)
{
    std::wstring lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    return lower;
}

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
    BackgroundDownload(const std::wstring& url, const std::wstring& path, const std::wstring& sha256)
    {
        m_download.Start(url, path, sha256);
    }
    bool IsFinished() const override { return m_download.IsFinished(); }
    bool Succeeded() const override { return m_download.Succeeded(); }
    int GetPercent() const override { return m_download.GetPercent(); }

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
                                                     const std::wstring& sha256) override
    {
        return std::make_unique<BackgroundDownload>(url, path, sha256);
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

std::wstring InstallerFileName(const std::wstring& install)
{
    const std::wstring trimmed = Trim(install);
    return trimmed.substr(0, trimmed.find(L' '));
}

namespace {

// The position just past the first "<extension> " or, failing that, the first "<extension>"
// in the lower-case copy; npos when neither is there.
size_t EndOfExtension(const std::wstring& lower, const wchar_t* thenSpace, const wchar_t* alone)
{
    size_t found = lower.find(thenSpace);
    if (found == std::wstring::npos)
        found = lower.find(alone);
    return found == std::wstring::npos ? found : found + kExtensionLength;
}

}  // namespace

InstallerKind SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters)
{
    file.clear();
    parameters.clear();
    const std::wstring command = Trim(install);
    const std::wstring lower = AsciiLowerCopy(command);
    InstallerKind kind = InstallerKind::Program;
    size_t fileLength = EndOfExtension(lower, kExeThenSpace, kExe);
    if (fileLength == std::wstring::npos) {
        kind = InstallerKind::Package;
        fileLength = EndOfExtension(lower, kMsiThenSpace, kMsi);
    }
    if (fileLength == std::wstring::npos)
        return InstallerKind::None;
    file = Trim(command.substr(0, fileLength));
    parameters = Trim(command.substr(fileLength));
    return kind;
}

bool StartsAnotherFile(const std::wstring& install)
{
    std::wstring file;
    std::wstring parameters;
    return SplitInstallCommand(install, file, parameters) != InstallerKind::None && file != InstallerFileName(install);
}

std::wstring SystemMsiexecPath()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length > 0 && length < MAX_PATH ? length : 0) + L"\\" + kMsiexec;
}

StartCommand StartCommandFor(InstallerKind kind, const std::wstring& path, const std::wstring& parameters)
{
    if (kind != InstallerKind::Package)
        return {path, parameters};
    return {SystemMsiexecPath(), L"/i \"" + path + L"\"" + (parameters.empty() ? L"" : L" " + parameters)};
}

std::wstring InstallerPath(const std::wstring& folder, const std::wstring& name)
{
    return folder + L"\\" + name;
}

bool FitsElevatedArgument(const std::wstring& text)
{
    return text.size() < kElevatedArgumentBuffer;
}

bool IsAcceptedInstall(const std::wstring& install, const std::wstring& folder)
{
    return WhyRefused(install, folder) == InstallRefusal::None;
}

InstallRefusal WhyRefused(const std::wstring& install, const std::wstring& folder)
{
    const std::wstring name = InstallerFileName(install);
    if (name.empty())
        return InstallRefusal::NoFileName;
    if (!IsPlainFileName(name))
        return InstallRefusal::UnsafeFileName;
    std::wstring file;
    std::wstring parameters;
    const InstallerKind kind = SplitInstallCommand(install, file, parameters);
    if (kind == InstallerKind::None)
        return InstallRefusal::NothingToStart;
    if (!IsPlainFileName(file))
        return InstallRefusal::UnsafeFileName;
    // Measured on a staged path of the longest kind: every staging folder's name has one length.
    const std::wstring staged(StagedPathLength(folder, file), L'x');
    const StartCommand command = StartCommandFor(kind, staged, parameters);
    if (!FitsElevatedArgument(command.file))
        return InstallRefusal::PathTooLong;
    if (!FitsElevatedArgument(command.parameters))
        return kind == InstallerKind::Package && FitsElevatedArgument(parameters) ? InstallRefusal::PathTooLong
                                                                                  : InstallRefusal::ParametersTooLong;
    return InstallRefusal::None;
}

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

InstallerPlaces::InstallerPlaces(std::wstring installersFolder,
                                 const std::vector<const CatalogueProgram*>& everyProgram)
    : m_installersFolder(std::move(installersFolder))
{
    std::map<std::wstring, std::wstring> firstSubfolder;  // by name: the first installer's subfolder
    for (const CatalogueProgram* program : everyProgram) {
        const std::wstring name = FileNameKey(InstallerFileName(program->install));
        const std::wstring subfolder = InstallerSubfolder(*program);
        const auto [first, added] = firstSubfolder.emplace(name, subfolder);
        if (!added && first->second != subfolder)
            m_sharedNames.insert(name);
    }
}

std::wstring InstallerPlaces::FolderOf(const CatalogueProgram& program) const
{
    if (m_sharedNames.count(FileNameKey(InstallerFileName(program.install))) == 0)
        return m_installersFolder;
    return m_installersFolder + L"\\" + InstallerSubfolder(program);
}

std::wstring InstallerSubfolder(const CatalogueProgram& program)
{
    uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a, 64 bits, over the UTF-16 code units' bytes
    for (const wchar_t c : program.url) {
        for (const unsigned octet : {static_cast<unsigned>(c) & 0xFFu, (static_cast<unsigned>(c) >> 8) & 0xFFu}) {
            hash ^= octet;
            hash *= 0x100000001b3u;
        }
    }
    wchar_t digits[17] = {};
    for (int i = 15; i >= 0; --i, hash >>= 4)
        digits[i] = L"0123456789abcdef"[hash & 0xF];
    return digits;
}

std::vector<const CatalogueProgram*> EveryProgram(const Catalogue& catalogue)
{
    std::vector<const CatalogueProgram*> programs;
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications)
            programs.push_back(program.get());
    }
    return programs;
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
                       InstallPlatform& platform, bool hashRequired)
    : m_programs(std::move(programs)), m_places(std::move(places)), m_platform(platform), m_hashRequired(hashRequired)
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
        return Step::DownloadFailed;
    WatchInstaller();
    return TakeNextStep();
}

void InstallRun::Stop()
{
    m_download.reset();   // cancelled; its thread removes the temporary file itself
    m_installer.reset();  // the installer keeps running
    m_staged.reset();     // its copy stays while it runs; the next staging beside it removes it
}

void InstallRun::KeepWaiting()
{
    m_windowsInstallerWaitMs = m_platform.NowMs();
}

void InstallRun::SkipWaitingProgram()
{
    if (!m_windowsInstallerWaitMs || m_installIndex >= m_programs.size())
        return;
    m_windowsInstallerWaitMs.reset();
    Record(*m_programs[m_installIndex++], InstallOutcome::Skipped);
}

HANDLE InstallRun::InstallerProcess() const
{
    return m_installer ? m_installer->handle() : nullptr;
}

const CatalogueProgram* InstallRun::WaitingProgram() const
{
    return m_windowsInstallerWaitMs && m_installIndex < m_programs.size() ? m_programs[m_installIndex] : nullptr;
}

// No download, or one that failed to start its thread, reads as finished and failed.
bool InstallRun::CollectFinishedDownload()
{
    if (m_download && !m_download->IsFinished())
        return true;
    const bool succeeded = m_download && m_download->Succeeded();
    m_download.reset();
    if (m_downloadIndex >= m_programs.size())
        return true;
    if (!succeeded) {
        m_failed = m_programs[m_downloadIndex];
        return false;
    }
    ++m_downloadIndex;
    StartNextDownload();
    return true;
}

void InstallRun::WatchInstaller()
{
    if (!m_installer)
        return;
    if (!m_installer->HasExited()) {
        const std::wstring waitingFor = m_installer->WaitingFor();
        if (!waitingFor.empty())
            m_statusText = L"正在等待 - " + waitingFor;
        return;
    }
    const DWORD exitCode = m_installer->ExitCode();
    m_installer.reset();  // nothing needs it any more; one handle per program would leak
    m_staged.reset();
    Record(*m_installing, OutcomeOfExitCode(exitCode), exitCode);
    m_installing = nullptr;
}

InstallRun::Step InstallRun::TakeNextStep()
{
    if (m_installer)
        return Step::Going;
    // Programs that take no part end at once, each with its line.
    for (; m_installIndex < m_programs.size() && !TakesPart(*m_programs[m_installIndex]); ++m_installIndex) {
        const CatalogueProgram& program = *m_programs[m_installIndex];
        Record(program, m_upToDate.count(&program) ? InstallOutcome::UpToDate : InstallOutcome::Skipped);
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
        if (!m_windowsInstallerWaitMs)
            m_windowsInstallerWaitMs = now;
        m_statusText = L"正在等待其他安装程序完成";
        return now - *m_windowsInstallerWaitMs >= kWindowsInstallerPatienceMs ? Step::WindowsInstallerStuck
                                                                                : Step::Going;
    }
    m_windowsInstallerWaitMs.reset();
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
    m_percent = std::clamp(m_download->GetPercent(), 0, 100);
    m_statusText = L"正在下载(" + std::to_wstring(m_percent) + L"%) - " + program.name;
}

void InstallRun::StartNextDownload()
{
    if (m_downloadIndex >= m_programs.size())
        return;
    MakeSureFolderExists(m_places.installersFolder());
    for (; m_downloadIndex < m_programs.size(); ++m_downloadIndex) {
        const CatalogueProgram& program = *m_programs[m_downloadIndex];
        if (!TakesPart(program))
            continue;  // never downloaded, never started
        if (m_hashRequired && program.sha256.empty())
            return;  // no download: the next tick fails the run on this program
        const std::wstring folder = m_places.FolderOf(program);
        MakeSureFolderExists(folder);
        const std::wstring path = InstallerPath(folder, InstallerFileName(program.install));
        // With a hash, the download's thread checks a file already there and fetches it again
        // when it differs.
        if (!PathExists(path) || !program.sha256.empty()) {
            m_download = m_platform.StartDownload(program.url, path, program.sha256);
            return;
        }
        // On disk from an earlier run and no hash to check it against: used as it is.
    }
}

// A keyed build also refuses a value whose downloaded file is not the one it starts: the
// download's hash would vouch for other bytes than those started.
bool InstallRun::TakesPart(const CatalogueProgram& program) const
{
    return m_upToDate.count(&program) == 0 && IsAcceptedInstall(program.install, m_places.FolderOf(program)) &&
           !(m_hashRequired && StartsAnotherFile(program.install));
}

// The installer starts from a copy of its own in a fresh folder, checked against its hash
// through a hold that lets others only read it, and held until the start has returned.
void InstallRun::RunInstaller(const CatalogueProgram& program)
{
    std::wstring file;
    std::wstring parameters;
    const InstallerKind kind = SplitInstallCommand(program.install, file, parameters);
    const std::wstring folder = m_places.FolderOf(program);
    auto staged = std::make_unique<StagedInstaller>();
    if (!staged->Stage(InstallerPath(folder, file), folder, program.sha256)) {
        Record(program, InstallOutcome::NotStarted);
        return;
    }
    m_platform.BeforeStart(staged->file());
    const StartCommand command = StartCommandFor(kind, staged->file(), parameters);
    m_installStartMs = m_platform.NowMs();
    m_installer = m_platform.StartElevated(command.file, command.parameters);
    staged->Release();
    if (!m_installer) {
        Record(program, InstallOutcome::NotStarted);
        return;
    }
    m_staged = std::move(staged);
    m_installing = &program;
}

void InstallRun::Record(const CatalogueProgram& program, InstallOutcome outcome, std::optional<DWORD> exitCode)
{
    const ULONGLONG milliseconds = exitCode ? m_platform.NowMs() - m_installStartMs : 0;
    m_results.push_back({&program, outcome, exitCode, milliseconds});
    if (m_logFile.empty())
        return;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const std::wstring code = exitCode ? std::to_wstring(*exitCode) : std::wstring(L"-");
    AppendInstallLogLine(m_logFile,
                         InstallLogLine(now, ComputerName(), program.name, OutcomeWords(outcome), code,
                                        (milliseconds + 500) / 1000));
}
