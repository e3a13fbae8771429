#include "install/install_run.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "base/folders.h"
#include "base/text.h"
#include "net/download.h"

namespace {

constexpr size_t kElevatedArgumentBuffer = 512;  // characters, terminator included
constexpr wchar_t kWhiteSpace[] = L" \t\n\v\f\r";
constexpr wchar_t kExeThenSpace[] = L".exe ";
constexpr wchar_t kExe[] = L".exe";
constexpr size_t kExeLength = 4;

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
    explicit ElevatedProcess(KernelHandle process) : m_process(std::move(process)) {}
    // Whether the process has ended, not what its exit code reads: an installer may really
    // end with 259, STILL_ACTIVE's value.
    bool HasExited() const override { return WaitForSingleObject(m_process.get(), 0) == WAIT_OBJECT_0; }
    HANDLE handle() const override { return m_process.get(); }

private:
    KernelHandle m_process;
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
    bool IsWindowsInstallerBusy() override
    {
        const KernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kWindowsInstallerMutex));
        // A mutex made by an elevated msiexec may deny this user even SYNCHRONIZE: it is there.
        return mutex || GetLastError() == ERROR_ACCESS_DENIED;
    }
};

}  // namespace

std::wstring InstallerFileName(const std::wstring& install)
{
    const std::wstring trimmed = Trim(install);
    return trimmed.substr(0, trimmed.find(L' '));
}

bool SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters)
{
    file.clear();
    parameters.clear();
    const std::wstring command = Trim(install);
    const std::wstring lower = AsciiLowerCopy(command);
    size_t exe = lower.find(kExeThenSpace);
    if (exe == std::wstring::npos)
        exe = lower.find(kExe);
    if (exe == std::wstring::npos)
        return false;
    const size_t fileLength = exe + kExeLength;
    file = Trim(command.substr(0, fileLength));
    parameters = Trim(command.substr(fileLength));
    return true;
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
    if (!SplitInstallCommand(install, file, parameters))
        return InstallRefusal::None;  // downloaded, never started
    if (!IsPlainFileName(file))
        return InstallRefusal::UnsafeFileName;
    if (!FitsElevatedArgument(InstallerPath(folder, file)))
        return InstallRefusal::PathTooLong;
    if (!FitsElevatedArgument(parameters))
        return InstallRefusal::ParametersTooLong;
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

InstallRun::InstallRun(std::vector<const CatalogueProgram*> programs, InstallerPlaces places,
                       InstallPlatform& platform, bool hashRequired)
    : m_programs(std::move(programs)), m_places(std::move(places)), m_platform(platform), m_hashRequired(hashRequired)
{
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
}

HANDLE InstallRun::InstallerProcess() const
{
    return m_installer ? m_installer->handle() : nullptr;
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
    if (!m_installerRunning || !m_installer)
        return;
    if (m_installer->HasExited()) {
        m_installerRunning = false;
        m_installer.reset();  // nothing needs it any more; one handle per program would leak
    }
}

InstallRun::Step InstallRun::TakeNextStep()
{
    if (m_installerRunning)
        return Step::Going;
    if (m_installIndex >= m_programs.size())
        return Step::Finished;
    const CatalogueProgram& program = *m_programs[m_installIndex];
    if (m_installIndex < m_downloadIndex) {
        // An installer started now would fail with 1618 while another Windows Installer
        // installation is in progress, even after the last wrapper we started has exited.
        if (IsStartable(program) && m_platform.IsWindowsInstallerBusy())
            return Step::Going;
        m_statusText = L"正在安装 - " + program.name;
        const double share = static_cast<double>(m_installIndex) / static_cast<double>(m_programs.size());
        m_percent = static_cast<int>(share * 100);
        ++m_installIndex;
        RunInstaller(program);
    } else {
        ShowDownloadProgress(program);
    }
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
        const std::wstring folder = m_places.FolderOf(program);
        if (!IsAcceptedInstall(program.install, folder))
            continue;  // refused: never downloaded, never started
        if (m_hashRequired && program.sha256.empty())
            return;  // no download: the next tick fails the run on this program
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

bool InstallRun::IsStartable(const CatalogueProgram& program) const
{
    std::wstring file;
    std::wstring parameters;
    return IsAcceptedInstall(program.install, m_places.FolderOf(program)) &&
           SplitInstallCommand(program.install, file, parameters);
}

void InstallRun::RunInstaller(const CatalogueProgram& program)
{
    m_installer.reset();
    std::wstring file;
    std::wstring parameters;
    const std::wstring folder = m_places.FolderOf(program);
    if (!IsAcceptedInstall(program.install, folder) || !SplitInstallCommand(program.install, file, parameters))
        return;  // nothing started; the next tick moves on
    m_installerRunning = true;
    m_installer = m_platform.StartElevated(InstallerPath(folder, file), parameters);
    if (!m_installer)
        m_installerRunning = false;
}
