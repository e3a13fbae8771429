// Install values: the downloaded name, the started file and its parameters, which programs
// an install run refuses, and the elevated start; then the pipeline of a run, tick by tick,
// against fake downloads and installers (table rows: add a row for a new case).

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "install/install_run.h"
#include "tests/installer_log.h"
#include "tests/test_files.h"
#include "tests/wine_differences.h"

namespace {

struct InstallCase {
    const wchar_t* install;
    const wchar_t* downloadName;
    bool startable;  // holds ".exe"
    const wchar_t* file;
    const wchar_t* parameters;
    bool accepted;
};

const InstallCase kInstallCases[] = {
    {L"setup.exe /S", L"setup.exe", true, L"setup.exe", L"/S", true},
    {L"  setup.exe   /S /D=C:\\Program Files\\x  ", L"setup.exe", true, L"setup.exe", L"/S /D=C:\\Program Files\\x",
     true},
    {L"Setup.EXE", L"Setup.EXE", true, L"Setup.EXE", L"", true},
    {L"\t SETUP.Exe \r\n", L"SETUP.Exe", true, L"SETUP.Exe", L"", true},
    // Downloaded, never started.
    {L"tool.zip", L"tool.zip", false, L"", L"", true},
    {L"readme.txt --help", L"readme.txt", false, L"", L"", true},
    // No file at all.
    {L"", L"", false, L"", L"", false},
    {L" \t\r\n", L"", false, L"", L"", false},
    // Names that leave the installers folder.
    {L"..\\x.exe", L"..\\x.exe", true, L"..\\x.exe", L"", false},
    {L"..\\..\\Windows\\x.exe /S", L"..\\..\\Windows\\x.exe", true, L"..\\..\\Windows\\x.exe", L"/S", false},
    {L"a/b.exe", L"a/b.exe", true, L"a/b.exe", L"", false},
    {L"C:x.exe", L"C:x.exe", true, L"C:x.exe", L"", false},
    {L"x.exe:stream", L"x.exe:stream", true, L"x.exe", L":stream", false},
    {L".", L".", false, L"", L"", false},
    {L"..", L"..", false, L"", L"", false},
    // Started part fine, downloaded part not: a tab does not end the downloaded name.
    {L"setup.exe\t/S", L"setup.exe\t/S", true, L"setup.exe", L"/S", false},
    // Parameters may name any path: they are the installer's business.
    {L"setup.exe ..\\..\\y /D=C:\\z", L"setup.exe", true, L"setup.exe", L"..\\..\\y /D=C:\\z", true},
    // The downloaded name ends at the first space, the started file at ".exe".
    {L"my setup.exe /S", L"my", true, L"my setup.exe", L"/S", true},
    {L"setup.exe.bak", L"setup.exe.bak", true, L"setup.exe", L".bak", true},
    {L"a.exe b.exe /S", L"a.exe", true, L"a.exe", L"b.exe /S", true},
    {L"a.exeb.exe /S", L"a.exeb.exe", true, L"a.exeb.exe", L"/S", true},
};

std::string AsciiForTrace(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

// The name and arguments of the one start the log holds.
std::string OnlyStart(const std::wstring& logPath)
{
    const std::vector<LoggedInstall> log = ReadInstallerLog(logPath);
    return log.size() == 1 ? log[0].name + "\t" + log[0].arguments : std::to_string(log.size()) + " starts";
}

}  // namespace

TEST(InstallValue, NamesSplitsAndRefuses)
{
    for (const InstallCase& c : kInstallCases) {
        SCOPED_TRACE("install value \"" + AsciiForTrace(c.install) + "\"");
        EXPECT_EQ(InstallerFileName(c.install), c.downloadName);
        std::wstring file = L"poison";
        std::wstring parameters = L"poison";
        EXPECT_EQ(SplitInstallCommand(c.install, file, parameters), c.startable);
        EXPECT_EQ(file, c.file);
        EXPECT_EQ(parameters, c.parameters);
        EXPECT_EQ(IsAcceptedInstall(c.install, L"C:\\AppLib\\Soft"), c.accepted);
    }
}

TEST(InstallValue, PathAndParametersMustFitTheElevatedStart)
{
    const std::wstring folder = L"C:\\Soft";  // 7 characters, then "\"
    const std::wstring longestFile = std::wstring(511 - 8 - 4, L'a') + L".exe";
    ASSERT_EQ(InstallerPath(folder, longestFile).size(), 511u);
    const std::wstring longestParameters(511, L'p');
    struct Case {
        const char* what;
        std::wstring install;
        bool accepted;
    } cases[] = {
        {"path of 511", longestFile, true},
        {"path of 512", L"b" + longestFile, false},
        {"parameters of 511", L"setup.exe " + longestParameters, true},
        {"parameters of 512", L"setup.exe p" + longestParameters, false},
        {"parameters of 512 after trimming only", L"setup.exe " + longestParameters + L"   ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IsAcceptedInstall(c.install, folder), c.accepted);
    }
}

TEST(InstallerPlaces, ANameSharedByOtherUrlsMovesEachOfItsInstallersIntoASubfolder)
{
    auto program = [](const wchar_t* url, const wchar_t* install) {
        CatalogueProgram p;
        p.url = url;
        p.install = install;
        return p;
    };
    const CatalogueProgram a = program(L"http://one.invalid/setup.exe", L"setup.exe /S");
    const CatalogueProgram b = program(L"http://two.invalid/setup.exe", L"Setup.EXE");
    const CatalogueProgram aAgain = program(L"http://one.invalid/setup.exe", L"setup.exe");  // a in another group
    const CatalogueProgram c = program(L"http://one.invalid/c.exe", L"c.exe");
    const CatalogueProgram d = program(L"http://two.invalid/d.exe", L"d.exe /q");
    const CatalogueProgram dAgain = program(L"http://two.invalid/d.exe", L"D.exe");
    const InstallerPlaces places(L"C:\\Soft", {&a, &b, &aAgain, &c, &d, &dAgain});

    EXPECT_EQ(places.FolderOf(a), L"C:\\Soft\\" + InstallerSubfolder(a));
    EXPECT_EQ(places.FolderOf(b), L"C:\\Soft\\" + InstallerSubfolder(b));
    EXPECT_EQ(places.FolderOf(aAgain), places.FolderOf(a)) << "one URL, one installer";
    EXPECT_NE(places.FolderOf(a), places.FolderOf(b));
    EXPECT_EQ(places.FolderOf(c), L"C:\\Soft") << "a name of one URL stays where it always stood";
    EXPECT_EQ(places.FolderOf(d), L"C:\\Soft");
    EXPECT_EQ(places.FolderOf(dAgain), L"C:\\Soft");

    EXPECT_EQ(InstallerSubfolder(a).size(), 16u);
    EXPECT_EQ(InstallerSubfolder(a).find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    EXPECT_EQ(InstallerSubfolder(a), InstallerSubfolder(aAgain)) << "the same in every run";
    // The run's own programs alone would not know that a shares its name with b.
    EXPECT_EQ(InstallerPlaces(L"C:\\Soft", {&a}).FolderOf(a), L"C:\\Soft");
}

// The test installer stands beside this program; its log tells what it was started with.
class ElevatedStart : public testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableW(L"TEST_INSTALLER_LOG", m_log.c_str());
        SetEnvironmentVariableW(L"TEST_INSTALLER_DELAY_MS", L"0");
        DeleteFileW(m_log.c_str());
    }
    void TearDown() override { DeleteFileW(m_log.c_str()); }

    const std::wstring m_installer = GetModuleDir() + L"\\test_installer.exe";
    const std::wstring m_log = GetModuleDir() + L"\\elevated_start.log";
};

TEST_F(ElevatedStart, StartsTheFileWithItsParametersAndHandsOverTheProcess)
{
    NoteWineDifference(WineDifference::ElevationPrompt);
    const std::wstring parameters = L"/S --dir \"C:\\Program Files\\x\"";
    KernelHandle process = RunElevated(m_installer, parameters);
    ASSERT_TRUE(process);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(OnlyStart(m_log), "test_installer.exe\t/S --dir \"C:\\Program Files\\x\"");
}

// The run asks whether the process has ended, never what its exit code reads: an installer
// that really ends with 259 (STILL_ACTIVE's value) must still count as exited.
TEST_F(ElevatedStart, AnInstallerThatExitsWith259CountsAsExited)
{
    SetEnvironmentVariableW(L"TEST_INSTALLER_EXIT_CODE", L"259");
    std::unique_ptr<StartedInstaller> installer = SystemInstallPlatform().StartElevated(m_installer, L"");
    SetEnvironmentVariableW(L"TEST_INSTALLER_EXIT_CODE", nullptr);
    ASSERT_NE(installer, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return installer->HasExited(); }, 10000));
    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(GetExitCodeProcess(installer->handle(), &exitCode));
    EXPECT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));
}

// A helper process holds the mutex msiexec holds during an installation; the run sees
// Windows Installer busy exactly while it stands.
TEST_F(ElevatedStart, WindowsInstallerIsBusyWhileAnotherProcessHoldsItsMutex)
{
    EXPECT_FALSE(SystemInstallPlatform().IsWindowsInstallerBusy());
    SetEnvironmentVariableW(L"TEST_INSTALLER_MUTEX", kWindowsInstallerMutex);
    SetEnvironmentVariableW(L"TEST_INSTALLER_DELAY_MS", L"1500");
    KernelHandle holder = RunElevated(m_installer, L"");
    SetEnvironmentVariableW(L"TEST_INSTALLER_MUTEX", nullptr);
    ASSERT_TRUE(holder);
    EXPECT_TRUE(WaitUntil([] { return SystemInstallPlatform().IsWindowsInstallerBusy(); }, 10000));
    ASSERT_EQ(WaitForSingleObject(holder.get(), 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(SystemInstallPlatform().IsWindowsInstallerBusy()) << "the mutex went with its process";
}

// An install run goes on silently past an installer that cannot be started. The shell shows
// an error box for a missing file unless told not to; that box would hold the run up until
// someone pressed it. The start runs on a thread of its own here, and a box that shows is
// pressed after a while and reported.
struct WatchedStart {
    bool started = false;
    std::vector<std::wstring> boxes;  // captions of the windows that had to be pressed
};

BOOL CALLBACK PressVisibleWindow(HWND hwnd, LPARAM boxes)
{
    if (!IsWindowVisible(hwnd))
        return TRUE;
    wchar_t caption[256] = {};
    GetWindowTextW(hwnd, caption, 256);
    reinterpret_cast<std::vector<std::wstring>*>(boxes)->push_back(caption);
    PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    return TRUE;
}

WatchedStart StartWatched(const std::wstring& file, const std::wstring& parameters)
{
    WatchedStart outcome;
    std::atomic<DWORD> threadId{0};
    std::atomic<bool> returned{false};
    KernelHandle process;
    std::thread starter([&] {
        threadId = GetCurrentThreadId();
        process = RunElevated(file, parameters);
        returned = true;
    });
    while (!WaitUntil([&] { return returned.load(); }, 3000))
        EnumThreadWindows(threadId, PressVisibleWindow, reinterpret_cast<LPARAM>(&outcome.boxes));
    starter.join();
    outcome.started = static_cast<bool>(process);
    if (process)
        WaitForSingleObject(process.get(), 10000);
    return outcome;
}

TEST_F(ElevatedStart, StartsNothingTooLongAndNothingMissingAndShowsNoError)
{
    struct Case {
        const char* what;
        std::wstring file;
        std::wstring parameters;
    } cases[] = {
        {"parameters of 512", m_installer, std::wstring(512, L'p')},
        {"path of 512", GetModuleDir() + L"\\" + std::wstring(512 - GetModuleDir().size() - 5, L'a') + L".exe", L""},
        {"missing file", GetModuleDir() + L"\\no_such_installer.exe", L""},
        {"not a program", GetModuleDir() + L"\\AppLib\\AppLib.xml", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const WatchedStart outcome = StartWatched(c.file, c.parameters);
        EXPECT_FALSE(outcome.started);
        EXPECT_TRUE(outcome.boxes.empty()) << "an error box showed";
    }
    // Parameters of 511 still go through whole.
    KernelHandle process = RunElevated(m_installer, std::wstring(511, L'p'));
    ASSERT_TRUE(process);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(OnlyStart(m_log), "test_installer.exe\t" + std::string(511, 'p'))
        << "only the last start may have written a line";
}

// --- The pipeline, against fakes ------------------------------------------------------------

// The run's two ways to the platform, each start written down as "get NAME" or "run NAME
// PARAMETERS" (file names, not paths). The test finishes downloads and ends installers.
namespace {

struct FakeDownloadState {
    std::wstring path;
    bool finished = false;
    bool succeeded = false;
    int percent = 0;
    bool dropped = false;  // the run let go of it
};

struct FakeInstallerState {
    std::wstring file;
    bool exited = false;
    bool dropped = false;
};

class FakeDownload : public InstallerDownload {
public:
    explicit FakeDownload(std::shared_ptr<FakeDownloadState> state) : m_state(std::move(state)) {}
    ~FakeDownload() override { m_state->dropped = true; }
    bool IsFinished() const override { return m_state->finished; }
    bool Succeeded() const override { return m_state->succeeded; }
    int GetPercent() const override { return m_state->percent; }

private:
    std::shared_ptr<FakeDownloadState> m_state;
};

class FakeInstaller : public StartedInstaller {
public:
    explicit FakeInstaller(std::shared_ptr<FakeInstallerState> state) : m_state(std::move(state)) {}
    ~FakeInstaller() override { m_state->dropped = true; }
    bool HasExited() const override { return m_state->exited; }
    HANDLE handle() const override { return nullptr; }

private:
    std::shared_ptr<FakeInstallerState> m_state;
};

std::wstring FileNameOf(const std::wstring& path)
{
    return path.substr(path.rfind(L'\\') + 1);
}

class FakePlatform : public InstallPlatform {
public:
    static constexpr wchar_t kRefusedFile[] = L"refused.exe";  // its elevation is refused

    explicit FakePlatform(std::wstring folder = L"") : m_folder(std::move(folder)) {}

    // Names a program's own subfolder in the calls: "NAME/file" instead of its hash.
    void NameSubfolder(const std::wstring& subfolder, const std::wstring& name) { m_subfolders[subfolder] = name; }

    std::unique_ptr<InstallerDownload> StartDownload(const std::wstring&, const std::wstring& path,
                                                     const std::wstring&) override
    {
        calls.push_back("get " + Shown(path));
        downloads.push_back(std::make_shared<FakeDownloadState>());
        downloads.back()->path = path;
        return std::make_unique<FakeDownload>(downloads.back());
    }

    std::unique_ptr<StartedInstaller> StartElevated(const std::wstring& file, const std::wstring& parameters) override
    {
        calls.push_back("run " + Shown(file) + (parameters.empty() ? "" : " " + AsciiForTrace(parameters)));
        if (FileNameOf(file) == kRefusedFile)
            return nullptr;
        installers.push_back(std::make_shared<FakeInstallerState>());
        installers.back()->file = file;
        return std::make_unique<FakeInstaller>(installers.back());
    }

    // A path as the calls show it: relative to the installers folder, a named subfolder by
    // its name; or the bare file name when no folder was given.
    std::string Shown(const std::wstring& path) const
    {
        if (m_folder.empty() || path.rfind(m_folder + L"\\", 0) != 0)
            return AsciiForTrace(FileNameOf(path));
        std::wstring relative = path.substr(m_folder.size() + 1);
        const size_t slash = relative.find(L'\\');
        if (slash != std::wstring::npos) {
            const auto named = m_subfolders.find(relative.substr(0, slash));
            relative = (named == m_subfolders.end() ? relative.substr(0, slash) : named->second) + L"/" +
                       relative.substr(slash + 1);
        }
        return AsciiForTrace(relative);
    }

    bool IsWindowsInstallerBusy() override { return windowsInstallerBusy; }

    // The calls since the last time, joined with ", ".
    std::string TakeCalls()
    {
        std::string joined;
        for (const std::string& call : calls)
            joined += (joined.empty() ? "" : ", ") + call;
        calls.clear();
        return joined;
    }

    FakeDownloadState* Download(const std::string& name)
    {
        for (const auto& download : downloads) {
            if (Shown(download->path) == name && !download->dropped)
                return download.get();
        }
        return nullptr;
    }

    FakeInstallerState* Installer(const std::string& name)
    {
        for (const auto& installer : installers) {
            if (Shown(installer->file) == name && !installer->dropped)
                return installer.get();
        }
        return nullptr;
    }

    bool windowsInstallerBusy = false;
    std::vector<std::string> calls;
    std::vector<std::shared_ptr<FakeDownloadState>> downloads;
    std::vector<std::shared_ptr<FakeInstallerState>> installers;

private:
    std::wstring m_folder;
    std::map<std::wstring, std::wstring> m_subfolders;
};

// One tick of a row: what happens before it, then what the run does and shows.
struct RunTick {
    // Before the tick, comma-separated: "done F" (the download of F arrives whole), "fail F",
    // "at N F" (N percent of F has arrived), "exit F" (the installer F exits), "msi busy" and
    // "msi idle" (a Windows Installer installation starts or ends).
    const char* before;
    const char* calls;  // the platform starts during the tick
    const wchar_t* status;
    int percent;
    InstallRun::Step step = InstallRun::Step::Going;
};

struct RunRow {
    const char* what;
    std::vector<std::pair<std::wstring, std::wstring>> programs;  // name, install value
    std::vector<std::wstring> onDisk;                             // installers there before the run
    const char* callsAtStart;
    std::vector<RunTick> ticks;
    const wchar_t* failed = nullptr;  // the program named by a failed download
    std::wstring sha256 = {};         // every program's
    bool hashRequired = false;        // a keyed build's run
    const wchar_t* unhashed = nullptr;  // the one program left without the hash
};

void PrintTo(const RunRow& row, std::ostream* out)
{
    *out << row.what;
}

constexpr auto kGoing = InstallRun::Step::Going;
constexpr auto kFinished = InstallRun::Step::Finished;
constexpr auto kFailed = InstallRun::Step::DownloadFailed;

const RunRow kRunRows[] = {
    {"one program: its download's percent, then 0 while it installs",
     {{L"A", L"a.exe /S"}},
     {},
     "get a.exe",
     {{"", "", L"正在下载(0%) - A", 0},
      {"at 40 a.exe", "", L"正在下载(40%) - A", 40},
      {"done a.exe", "run a.exe /S", L"正在安装 - A", 0},
      {"", "", L"正在安装 - A", 0},
      {"exit a.exe", "", L"正在安装 - A", 0, kFinished}}},
    {"the next download overlaps the running installer, which starts the next at once",
     {{L"A", L"a.exe"}, {L"B", L"b.exe /q"}},
     {},
     "get a.exe",
     {{"done a.exe", "get b.exe, run a.exe", L"正在安装 - A", 0},
      {"at 50 b.exe", "", L"正在安装 - A", 0},
      {"done b.exe", "", L"正在安装 - A", 0},
      {"exit a.exe", "run b.exe /q", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished}}},
    {"an installer that exits before the next download shows that download's percent",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}},
     {},
     "get a.exe",
     {{"done a.exe", "get b.exe, run a.exe", L"正在安装 - A", 0},
      {"at 30 b.exe, exit a.exe", "", L"正在下载(30%) - B", 30},
      {"done b.exe", "run b.exe", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished}}},
    {"installers on disk start at the first tick; nothing is downloaded",
     {{L"A", L"a.exe"}, {L"B", L"b.exe /x"}},
     {L"a.exe", L"b.exe"},
     "",
     {{"", "run a.exe", L"正在安装 - A", 0},
      {"", "", L"正在安装 - A", 0},
      {"exit a.exe", "run b.exe /x", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished}}},
    {"with a hash an installer on disk is fetched again, for its thread to check",
     {{L"A", L"a.exe"}},
     {L"a.exe"},
     "get a.exe",
     {{"done a.exe", "run a.exe", L"正在安装 - A", 0}, {"exit a.exe", "", L"正在安装 - A", 0, kFinished}},
     nullptr,
     std::wstring(64, L'a')},
    {"a failed download of the third of five ends the run while the second installs",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}, {L"C", L"c.exe"}, {L"D", L"d.exe"}, {L"E", L"e.exe"}},
     {},
     "get a.exe",
     {{"done a.exe", "get b.exe, run a.exe", L"正在安装 - A", 0},
      {"done b.exe", "get c.exe", L"正在安装 - A", 0},
      {"exit a.exe", "run b.exe", L"正在安装 - B", 20},
      {"fail c.exe", "", L"正在安装 - B", 20, kFailed}},
     L"C"},
    {"refused values and values without \".exe\" are passed over; the run goes on",
     {{L"A", L"..\\x.exe"}, {L"B", L"notes.txt"}, {L"C", L""}, {L"D", L"d.exe"}},
     {},
     "get notes.txt",
     {{"done notes.txt", "get d.exe", L"正在安装 - A", 0},
      {"", "", L"正在安装 - B", 25},
      {"", "", L"正在安装 - C", 50},
      {"at 10 d.exe", "", L"正在下载(10%) - D", 10},
      {"done d.exe", "run d.exe", L"正在安装 - D", 75},
      {"exit d.exe", "", L"正在安装 - D", 75, kFinished}}},
    {"a refused elevation skips the program",
     {{L"A", L"refused.exe"}, {L"B", L"b.exe"}},
     {L"refused.exe", L"b.exe"},
     "",
     {{"", "run refused.exe", L"正在安装 - A", 0},
      {"", "run b.exe", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished}}},
    {"a body longer than announced stops the bar at 100",
     {{L"A", L"a.exe"}},
     {},
     "get a.exe",
     {{"at 250 a.exe", "", L"正在下载(100%) - A", 100}}},
    {"a Windows Installer installation in progress holds each next installer back, not the run",
     {{L"A", L"a.exe"}, {L"B", L"b.exe /q"}, {L"C", L"c.zip"}},
     {L"a.exe", L"b.exe", L"c.zip"},
     "",
     {{"msi busy", "", L"正在下载...", 0},
      {"", "", L"正在下载...", 0},
      {"msi idle", "run a.exe", L"正在安装 - A", 0},
      {"msi busy, exit a.exe", "", L"正在安装 - A", 0},
      {"msi idle", "run b.exe /q", L"正在安装 - B", 33},
      {"msi busy, exit b.exe", "", L"正在安装 - C", 66},  // nothing to start: no wait
      {"", "", L"正在安装 - C", 66, kFinished}}},
    {"programs of other URLs sharing an installer name each get their own, in a subfolder",
     {{L"A", L"setup.exe /a"}, {L"B", L"SETUP.exe /b"}, {L"C", L"c.exe"}},
     {L"setup.exe", L"c.exe"},  // a setup.exe put there beforehand is nobody's for sure
     "get A/setup.exe",
     {{"done A/setup.exe", "get B/SETUP.exe, run A/setup.exe /a", L"正在安装 - A", 0},
      {"done B/SETUP.exe", "", L"正在安装 - A", 0},
      {"exit A/setup.exe", "run B/SETUP.exe /b", L"正在安装 - B", 33},
      {"exit B/SETUP.exe", "run c.exe", L"正在安装 - C", 66},
      {"exit c.exe", "", L"正在安装 - C", 66, kFinished}}},
    {"a keyed build starts no installer without a hash: its program fails the run, even on disk",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}, {L"C", L"c.exe"}},
     {L"b.exe"},
     "get a.exe",
     {{"done a.exe", "run a.exe", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0, kFailed}},
     L"B",
     std::wstring(64, L'a'),
     true,
     L"B"},
    {"an installer whose exit is never seen holds the run",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}},
     {L"a.exe", L"b.exe"},
     "",
     {{"", "run a.exe", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0}}},
};

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t begin = 0;
    for (size_t end; (end = text.find(separator, begin)) != std::string::npos; begin = end + 1)
        parts.push_back(text.substr(begin, end - begin));
    parts.push_back(text.substr(begin));
    return parts;
}

class InstallRunTable : public testing::TestWithParam<RunRow> {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }

    void Clear() const { RemoveTree(m_folder); }

    // Applies one "before" action of a tick to the fakes.
    void Happen(const std::string& action)
    {
        const std::vector<std::string> words = Split(action, ' ');
        const std::string& name = words.back();
        if (words[0] == "msi") {
            m_platform.windowsInstallerBusy = name == "busy";
            return;
        }
        if (words[0] == "exit") {
            FakeInstallerState* installer = m_platform.Installer(name);
            ASSERT_NE(installer, nullptr) << "no running installer " << name;
            installer->exited = true;
            return;
        }
        FakeDownloadState* download = m_platform.Download(name);
        ASSERT_NE(download, nullptr) << "no download of " << name;
        if (words[0] == "at") {
            download->percent = std::stoi(words[1]);
        } else {
            download->finished = true;
            download->succeeded = words[0] == "done";
            if (download->succeeded) {
                ASSERT_TRUE(WriteWholeFile(download->path, "installer"));
            }
        }
    }

    const std::wstring m_folder = GetModuleDir() + L"\\run_table_soft";
    FakePlatform m_platform{m_folder};
};

}  // namespace

TEST_P(InstallRunTable, Ticks)
{
    const RunRow& row = GetParam();
    SCOPED_TRACE(row.what);
    std::deque<CatalogueProgram> programs;
    std::vector<const CatalogueProgram*> borrowed;
    for (const auto& [name, install] : row.programs) {
        programs.push_back({});
        programs.back().name = name;
        programs.back().url = L"http://installers.invalid/" + name + L"/" + install;
        programs.back().install = install;
        programs.back().sha256 = row.unhashed && name == row.unhashed ? L"" : row.sha256;
        borrowed.push_back(&programs.back());
    }
    if (!row.onDisk.empty()) {
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
    }
    for (const std::wstring& name : row.onDisk)
        ASSERT_TRUE(WriteWholeFile(m_folder + L"\\" + name, "installer"));

    for (const CatalogueProgram& program : programs)
        m_platform.NameSubfolder(InstallerSubfolder(program), program.name);
    InstallRun run(borrowed, InstallerPlaces(m_folder, borrowed), m_platform, row.hashRequired);
    EXPECT_EQ(run.StatusText(), L"正在下载...");
    EXPECT_EQ(run.Percent(), 0);
    run.Start();
    EXPECT_EQ(m_platform.TakeCalls(), row.callsAtStart);
    InstallRun::Step step = kGoing;
    for (size_t i = 0; i < row.ticks.size(); ++i) {
        const RunTick& tick = row.ticks[i];
        SCOPED_TRACE("tick " + std::to_string(i + 1) + " after \"" + tick.before + "\"");
        if (*tick.before) {
            for (const std::string& action : Split(tick.before, ','))
                Happen(action.substr(action.find_first_not_of(' ')));
        }
        step = run.Tick();
        EXPECT_EQ(m_platform.TakeCalls(), tick.calls);
        EXPECT_EQ(run.StatusText(), tick.status);
        EXPECT_EQ(run.Percent(), tick.percent);
        EXPECT_EQ(step, tick.step);
    }
    if (step == kFailed) {
        ASSERT_NE(run.FailedProgram(), nullptr);
        EXPECT_EQ(run.FailedProgram()->name, row.failed);
    } else {
        EXPECT_EQ(run.FailedProgram(), nullptr);
    }
    if (step == kFinished) {
        for (const auto& download : m_platform.downloads)
            EXPECT_TRUE(download->dropped) << "a finished download is let go";
        for (const auto& installer : m_platform.installers)
            EXPECT_TRUE(installer->dropped) << "an exited installer's handle is closed";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, InstallRunTable, testing::ValuesIn(kRunRows));

TEST(InstallRunStop, CancelsTheDownloadAndLetsTheInstallerRunOn)
{
    const std::wstring folder = GetModuleDir() + L"\\run_stop_soft";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(folder + L"\\a.exe", "installer"));
    CatalogueProgram a;
    a.name = L"A";
    a.install = L"a.exe";
    CatalogueProgram b;
    b.name = L"B";
    b.install = L"b.exe";
    FakePlatform platform;
    InstallRun run({&a, &b}, InstallerPlaces(folder, {&a, &b}), platform);
    run.Start();
    EXPECT_EQ(run.Tick(), kGoing);
    EXPECT_EQ(platform.TakeCalls(), "get b.exe, run a.exe");
    ASSERT_EQ(platform.downloads.size(), 1u);
    ASSERT_EQ(platform.installers.size(), 1u);

    run.Stop();
    EXPECT_TRUE(platform.downloads[0]->dropped) << "the download is cancelled";
    EXPECT_FALSE(platform.downloads[0]->finished);
    EXPECT_TRUE(platform.installers[0]->dropped) << "the run's handle is closed";
    EXPECT_FALSE(platform.installers[0]->exited) << "the installer itself runs on";
    DeleteFileW((folder + L"\\a.exe").c_str());
    RemoveDirectoryW(folder.c_str());
}
