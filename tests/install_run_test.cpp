// Install values: the downloaded name, the started file and its parameters, which programs
// an install run refuses, and the elevated start; then the pipeline of a run, tick by tick,
// against fake downloads and installers (table rows: add a row for a new case).

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "base/unique_handle.h"
#include "install/install_log.h"
#include "install/process_tree.h"
#include "install/install_run.h"
#include "tests/installer_log.h"
#include "tests/test_files.h"
#include "tests/wine_differences.h"

namespace {

constexpr auto kNone = InstallerKind::None;
constexpr auto kProgram = InstallerKind::Program;
constexpr auto kPackage = InstallerKind::Package;

struct InstallCase {
    const wchar_t* install;
    const wchar_t* downloadName;
    InstallerKind kind;
    const wchar_t* file;
    const wchar_t* parameters;
    bool accepted;
    bool startsAnotherFile = false;  // refused by a keyed build
};

const InstallCase kInstallCases[] = {
    {L"setup.exe /S", L"setup.exe", kProgram, L"setup.exe", L"/S", true},
    {L"  setup.exe   /S /D=C:\\Program Files\\x  ", L"setup.exe", kProgram, L"setup.exe",
     L"/S /D=C:\\Program Files\\x", true},
    {L"Setup.EXE", L"Setup.EXE", kProgram, L"Setup.EXE", L"", true},
    {L"\t SETUP.Exe \r\n", L"SETUP.Exe", kProgram, L"SETUP.Exe", L"", true},
    // Windows Installer packages.
    {L"realtool.msi /qn", L"realtool.msi", kPackage, L"realtool.msi", L"/qn", true},
    {L"Tool.MSI", L"Tool.MSI", kPackage, L"Tool.MSI", L"", true},
    {L"tool.msi /qn TARGETDIR=C:\\x", L"tool.msi", kPackage, L"tool.msi", L"/qn TARGETDIR=C:\\x", true},
    {L"setup.exe /i tool.msi", L"setup.exe", kProgram, L"setup.exe", L"/i tool.msi", true},
    {L"tool.msi.exe", L"tool.msi.exe", kProgram, L"tool.msi.exe", L"", true},
    {L"tool.msix", L"tool.msix", kNone, L"", L"", false},
    // The installer is the first word that ends in ".exe" or ".msi", quoted or not.
    {L"pkg.msi /qn TARGET=app.exe", L"pkg.msi", kPackage, L"pkg.msi", L"/qn TARGET=app.exe", true},
    {L"\"my setup.exe\" /S", L"my setup.exe", kProgram, L"my setup.exe", L"/S", true},
    {L"\"my setup.exe /S", L"\"my setup.exe /S", kNone, L"", L"", false},
    // Nothing to start: neither downloaded nor started.
    {L"tool.zip", L"tool.zip", kNone, L"", L"", false},
    {L"readme.txt --help", L"readme.txt", kNone, L"", L"", false},
    // No file at all.
    {L"", L"", kNone, L"", L"", false},
    {L" \t\r\n", L"", kNone, L"", L"", false},
    // Names that leave the installers folder.
    {L"..\\x.exe", L"..\\x.exe", kProgram, L"..\\x.exe", L"", false},
    {L"..\\..\\Windows\\x.exe /S", L"..\\..\\Windows\\x.exe", kProgram, L"..\\..\\Windows\\x.exe", L"/S", false},
    {L"a/b.exe", L"a/b.exe", kProgram, L"a/b.exe", L"", false},
    {L"C:x.exe", L"C:x.exe", kProgram, L"C:x.exe", L"", false},
    {L"x.exe:stream", L"x.exe:stream", kNone, L"", L"", false},
    {L"..\\x.msi /qn", L"..\\x.msi", kPackage, L"..\\x.msi", L"/qn", false},
    {L".", L".", kNone, L"", L"", false},
    {L"..", L"..", kNone, L"", L"", false},
    // A tab does not end a word.
    {L"setup.exe\t/S", L"setup.exe\t/S", kNone, L"", L"", false},
    // Parameters may name any path: they are the installer's business.
    {L"setup.exe ..\\..\\y /D=C:\\z", L"setup.exe", kProgram, L"setup.exe", L"..\\..\\y /D=C:\\z", true},
    // The downloaded name is the first word, the started file ends with the installer's.
    {L"my setup.exe /S", L"my", kProgram, L"my setup.exe", L"/S", true, true},
    {L"setup.exe.bak", L"setup.exe.bak", kNone, L"", L"", false},
    {L"a.exe b.exe /S", L"a.exe", kProgram, L"a.exe", L"b.exe /S", true},
    {L"a.exeb.exe /S", L"a.exeb.exe", kProgram, L"a.exeb.exe", L"/S", true},
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
        EXPECT_EQ(SplitInstallCommand(c.install, file, parameters), c.kind);
        EXPECT_EQ(file, c.file);
        EXPECT_EQ(parameters, c.parameters);
        CatalogueProgram program;
        program.install = c.install;
        EXPECT_EQ(DecideStart(program, false) == StartVerdict::Accepted, c.accepted);
        EXPECT_EQ(StartsAnotherFile(c.install), c.startsAnotherFile);
    }
}

// msiexec comes from the system folder, whatever stands in the installers folder, the
// current folder or the search path; the package's full path is quoted.
TEST(InstallValue, APackageStartsTheSystemsMsiexecWithItsFullPath)
{
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(SystemMsiexecPath(), std::wstring(system) + L"\\msiexec.exe");

    const std::wstring package = L"C:\\My Stick\\AppLib\\Soft\\start-1\\real tool.msi";
    StartCommand command = StartCommandFor(kPackage, package, L"/qn");
    EXPECT_EQ(command.file, SystemMsiexecPath());
    EXPECT_EQ(command.parameters, L"/i \"" + package + L"\" /qn");
    command = StartCommandFor(kPackage, package, L"");
    EXPECT_EQ(command.parameters, L"/i \"" + package + L"\"") << "no space after the path";
    command = StartCommandFor(kProgram, L"C:\\Soft\\setup.exe", L"/S");
    EXPECT_EQ(command.file, L"C:\\Soft\\setup.exe");
    EXPECT_EQ(command.parameters, L"/S");
}

// Installers start from a staging folder under the temporary folder (StagedPathLength), so
// that is the path that has to fit; a package's whole "/i "<path>" parameters" does.
TEST(InstallValue, PathAndParametersMustFitTheElevatedStart)
{
    const size_t stagedOverhead = StagedPathLength(L"");
    ASSERT_EQ(stagedOverhead, StagingRoot().size() + 1 + kStagingFolderNameLength + 1);
    const std::wstring longestFile = std::wstring(511 - stagedOverhead - 4, L'a') + L".exe";
    ASSERT_EQ(StagedPathLength(longestFile), 511u);
    const std::wstring longestParameters(511, L'p');
    // "/i "", then the package's staged path, then "" /qn".
    const std::wstring longestPackage = std::wstring(511 - 4 - stagedOverhead - 4 - 5, L'm') + L".msi";
    struct Case {
        const char* what;
        std::wstring install;
        StartVerdict verdict;
    } cases[] = {
        {"path of 511", longestFile, StartVerdict::Accepted},
        {"path of 512", L"b" + longestFile, StartVerdict::PathTooLong},
        {"parameters of 511", L"setup.exe " + longestParameters, StartVerdict::Accepted},
        {"parameters of 512", L"setup.exe p" + longestParameters, StartVerdict::ParametersTooLong},
        {"parameters of 512 after trimming only", L"setup.exe " + longestParameters + L"   ", StartVerdict::Accepted},
        {"package command of 511", longestPackage + L" /qn", StartVerdict::Accepted},
        {"package command of 512", L"m" + longestPackage + L" /qn", StartVerdict::PathTooLong},
        {"package parameters of 512", L"x.msi p" + longestParameters, StartVerdict::ParametersTooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CatalogueProgram program;
        program.install = c.install;
        EXPECT_EQ(DecideStart(program, false), c.verdict);
    }
}

TEST(InstallOutcomes, ExitCodesAndTheirWords)
{
    const struct {
        DWORD exitCode;
        InstallOutcome outcome;
        const wchar_t* words;
    } cases[] = {
        {0, InstallOutcome::Succeeded, L"安装成功"},
        {3010, InstallOutcome::SucceededRestartNeeded, L"安装成功，需要重新启动"},
        {1641, InstallOutcome::SucceededRestartNeeded, L"安装成功，需要重新启动"},
        {1602, InstallOutcome::Cancelled, L"安装已取消"},
        {1223, InstallOutcome::Cancelled, L"安装已取消"},
        {1603, InstallOutcome::Failed, L"安装失败"},
        {1618, InstallOutcome::Failed, L"安装失败"},
        {1, InstallOutcome::Failed, L"安装失败"},
        {259, InstallOutcome::Failed, L"安装失败"},
        {0xC0000005u, InstallOutcome::Failed, L"安装失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exitCode);
        EXPECT_EQ(OutcomeOfExitCode(c.exitCode), c.outcome);
        EXPECT_STREQ(OutcomeWords(c.outcome), c.words);
    }
    EXPECT_STREQ(OutcomeWords(InstallOutcome::NotStarted), L"未能启动");
    EXPECT_STREQ(OutcomeWords(InstallOutcome::Skipped), L"已跳过");
    EXPECT_STREQ(OutcomeWords(InstallOutcome::UpToDate), L"已是最新版本，跳过");
}

TEST(InstallOutcomes, TheReportNamesAllButPlainSuccessAndARestartOnce)
{
    CatalogueProgram a, b, c, d, e, f;
    a.name = L"甲";
    b.name = L"乙";
    c.name = L"丙";
    d.name = L"丁";
    e.name = L"戊";
    f.name = L"己";
    using O = InstallOutcome;
    const std::vector<ProgramResult> mixed = {
        {&a, O::Succeeded, 0u, 1000},         {&b, O::Failed, 1603u, 2000},
        {&c, O::SucceededRestartNeeded, 3010u, 3000}, {&d, O::NotStarted, std::nullopt, 0},
        {&e, O::SucceededRestartNeeded, 1641u, 1000}, {&f, O::UpToDate, std::nullopt, 0},
    };
    EXPECT_EQ(InstallReport(mixed), L"乙：安装失败（退出代码 1603）\r\n"
                                    L"丙：安装成功，需要重新启动（退出代码 3010）\r\n"
                                    L"丁：未能启动\r\n"
                                    L"戊：安装成功，需要重新启动（退出代码 1641）\r\n"
                                    L"己：已是最新版本，跳过\r\n"
                                    L"\r\n"
                                    L"需要重新启动计算机");
    EXPECT_EQ(InstallReport({{&a, O::Succeeded, 0u, 1}, {&b, O::Succeeded, 0u, 1}}), L"") << "all exited with 0";
    EXPECT_EQ(InstallReport({}), L"");
    EXPECT_EQ(InstallReport({{&a, O::Cancelled, 1602u, 1}, {&b, O::Skipped, std::nullopt, 0}}),
              L"甲：安装已取消（退出代码 1602）\r\n乙：已跳过");
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

// What an installer leaves behind once it has ended: waited for while it still installs, left
// running when it is the program it installed.
TEST(StillInstalling, ByItsNameOrTheTemporaryFolderItRunsFrom)
{
    const std::vector<std::wstring> temporary = {L"c:\\users\\tech\\appdata\\local\\temp", L"c:\\windows\\temp"};
    const struct {
        const wchar_t* name;
        const wchar_t* path;
        bool installing;
    } cases[] = {
        {L"msiexec.exe", L"C:\\Windows\\System32\\msiexec.exe", true},
        {L"x.exe", L"C:\\Users\\Tech\\AppData\\Local\\Temp\\7zS1A2B\\x.exe", true},
        {L"x.exe", L"C:\\Windows\\Temporary\\x.exe", false},  // a folder's name, not its start
        {L"is-4TQ1.tmp", L"C:\\Program Files\\App\\is-4TQ1.tmp", true},
        {L"RealChild-Setup.exe", L"C:\\Program Files\\App\\RealChild-Setup.exe", true},
        {L"unins000.exe", L"C:\\Program Files\\App\\unins000.exe", true},
        {L"Code.exe", L"C:\\Program Files\\Code\\Code.exe", false},
        {L"tray.exe", L"", false},
        {L"updater.exe", L"C:\\ProgramData\\App\\updater.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(AsciiForTrace(c.path) + " " + AsciiForTrace(c.name));
        EXPECT_EQ(IsStillInstalling(c.name, c.path, temporary), c.installing);
    }
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

// A launcher starts the real installer and exits at once; the run waits for both, and names
// the one it waits for once only the child remains.
TEST_F(ElevatedStart, AnInstallerThatHandsOverIsDoneWhenItsChildIs)
{
    SetEnvironmentVariableW(L"TEST_INSTALLER_HAND_OVER_MS", L"1500");
    std::unique_ptr<StartedInstaller> installer = SystemInstallPlatform().StartElevated(m_installer, L"");
    SetEnvironmentVariableW(L"TEST_INSTALLER_HAND_OVER_MS", nullptr);
    ASSERT_NE(installer, nullptr);
    std::wstring waitingFor;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const bool exited = installer->HasExited();
            if (!installer->WaitingFor().empty())
                waitingFor = installer->WaitingFor();
            return exited;
        },
        15000));
    const ULONGLONG seenExited = GetTickCount64();
    const std::vector<LoggedInstall> log = ReadInstallerLog(m_log);
    ASSERT_EQ(log.size(), 2u) << "the child had ended too";
    EXPECT_EQ(log[0].arguments, "") << "the launcher ended first";
    EXPECT_EQ(log[1].arguments, "child");
    EXPECT_GE(log[1].end - log[0].end, 1000u) << "the child ran on after the launcher";
    EXPECT_LE(log[1].end, seenExited);
    EXPECT_EQ(waitingFor, L"test_installer.exe");
    EXPECT_EQ(installer->ExitCode(), 0u);
}

// The process whose parent's id is `parentId`, opened to wait on; null when there is none.
KernelHandle ChildOf(DWORD parentId)
{
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parentId && entry.th32ProcessID != parentId)
            return KernelHandle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    }
    return KernelHandle();
}

// A process whose parent's id was given to the installer after that parent ended is a
// stranger: it is older than the installer. Wine hands a freed id out again after a while,
// so enough starts give the installer the id of the stranger's ended parent.
TEST_F(ElevatedStart, AStrangerWhoseParentsIdCameBackIsNotWaitedFor)
{
    SetEnvironmentVariableW(L"TEST_INSTALLER_HAND_OVER_MS", L"120000");
    KernelHandle parent = RunElevated(m_installer, L"");
    SetEnvironmentVariableW(L"TEST_INSTALLER_HAND_OVER_MS", nullptr);
    ASSERT_TRUE(parent);
    ASSERT_EQ(WaitForSingleObject(parent.get(), 10000), WAIT_OBJECT_0);
    const DWORD parentId = GetProcessId(parent.get());
    const KernelHandle stranger = ChildOf(parentId);
    ASSERT_TRUE(stranger);
    parent.reset();  // its id is free now; the stranger, its child, runs on

    SetEnvironmentVariableW(L"TEST_INSTALLER_DELAY_MS", L"1000");
    KernelHandle installer;
    for (int attempt = 0; attempt < 400 && !installer; ++attempt) {
        KernelHandle candidate = RunElevated(m_installer, L"");
        ASSERT_TRUE(candidate);
        if (GetProcessId(candidate.get()) == parentId)
            installer = std::move(candidate);
        else
            TerminateProcess(candidate.get(), 0);
    }
    if (!installer) {
        TerminateProcess(stranger.get(), 0);
        GTEST_SKIP() << "no started process got the id " << parentId << " again";
    }
    ProcessTree tree(std::move(installer));
    EXPECT_FALSE(tree.Poll());
    EXPECT_TRUE(WaitUntil([&] { return tree.Poll(); }, 5000)) << "ends without waiting for the stranger";
    EXPECT_EQ(WaitForSingleObject(stranger.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the stranger runs on";
    TerminateProcess(stranger.get(), 0);
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
    std::string bytes;       // of the file it was started from, read at the start
    bool alone = false;      // that file stood alone in a staging folder of its own
    bool heldDuringStart = false;  // nobody could write to it while it was started
    bool exited = false;     // it and every process it started
    std::wstring waitingFor;  // it has ended, this process it started runs on, installing
    std::vector<std::wstring> leftRunning;  // processes it started that run on, not waited for
    DWORD exitCode = 0;
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
    bool HasExited() override { return m_state->exited; }
    std::wstring WaitingFor() const override { return m_state->waitingFor; }
    std::vector<std::wstring> LeftRunning() const override { return m_state->leftRunning; }
    DWORD ExitCode() const override { return m_state->exitCode; }
    HANDLE handle() const override { return nullptr; }

private:
    std::shared_ptr<FakeInstallerState> m_state;
};

std::wstring FileNameOf(const std::wstring& path)
{
    return path.substr(path.rfind(L'\\') + 1);
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.rfind(L'\\'));
}

bool IsStagingFolderName(const std::wstring& name)
{
    return name.size() == kStagingFolderNameLength && name.rfind(L"start-", 0) == 0;
}

class FakePlatform : public InstallPlatform {
public:
    static constexpr wchar_t kRefusedFile[] = L"refused.exe";  // its elevation is refused

    explicit FakePlatform(std::wstring folder = L"") : m_folder(std::move(folder)) {}

    // Names a program's own subfolder in the calls: "NAME/file" instead of its hash.
    void NameSubfolder(const std::wstring& subfolder, const std::wstring& name) { m_subfolders[subfolder] = name; }

    std::unique_ptr<InstallerDownload> StartDownload(const std::wstring&, const std::wstring& path,
                                                     const InstallerPin&) override
    {
        calls.push_back("get " + Shown(path));
        downloads.push_back(std::make_shared<FakeDownloadState>());
        downloads.back()->path = path;
        return std::make_unique<FakeDownload>(downloads.back());
    }

    // A package shows as "msiexec.exe /i PACKAGE ..." when msiexec is the system's own.
    std::unique_ptr<StartedInstaller> StartElevated(const std::wstring& file, const std::wstring& parameters) override
    {
        std::wstring installer = file;
        std::string shown = Shown(file);
        std::string shownParameters = AsciiForTrace(parameters);
        if (file == SystemMsiexecPath() && parameters.rfind(L"/i \"", 0) == 0) {
            const size_t close = parameters.find(L'"', 4);
            installer = parameters.substr(4, close - 4);
            shown = "msiexec.exe";
            shownParameters = "/i " + Shown(installer) + AsciiForTrace(parameters.substr(close + 1));
        }
        calls.push_back("run " + shown + (shownParameters.empty() ? "" : " " + shownParameters));
        if (FileNameOf(installer) == kRefusedFile)
            return nullptr;
        installers.push_back(std::make_shared<FakeInstallerState>());
        FakeInstallerState& state = *installers.back();
        state.file = installer;
        state.bytes = ReadWholeFile(installer);
        const FileHandle writer(CreateFileW(installer.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        state.heldDuringStart = !writer;
        const std::vector<std::wstring> beside = FindFiles(FolderOf(installer) + L"\\*");
        state.alone = IsStagingFolderName(FileNameOf(FolderOf(installer))) && beside.size() == 1 &&
                      beside[0] == FileNameOf(installer);
        return std::make_unique<FakeInstaller>(installers.back());
    }

    // A path as the calls show it: relative to the installers folder, a named subfolder by
    // its name; or the bare file name of one outside it, a staged copy's.
    std::string Shown(const std::wstring& path) const
    {
        if (m_folder.empty() || path.rfind(m_folder + L"\\", 0) != 0)
            return AsciiForTrace(FileNameOf(path));
        std::wstring shown;
        const std::wstring relative = path.substr(m_folder.size() + 1);
        for (size_t begin = 0, end; begin <= relative.size(); begin = end + 1) {
            end = relative.find(L'\\', begin);
            if (end == std::wstring::npos)
                end = relative.size();
            std::wstring part = relative.substr(begin, end - begin);
            const auto named = m_subfolders.find(part);
            shown += (shown.empty() ? L"" : L"/") + (named == m_subfolders.end() ? part : named->second);
        }
        return AsciiForTrace(shown);
    }

    bool IsWindowsInstallerBusy() override { return windowsInstallerBusy; }
    ULONGLONG NowMs() override { return nowMs; }
    void BeforeStart(const std::wstring& stagedFile) override
    {
        if (beforeStart)
            beforeStart(stagedFile);
    }

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
    ULONGLONG nowMs = 1000000;
    std::function<void(const std::wstring&)> beforeStart;
    std::vector<std::string> calls;
    std::vector<std::shared_ptr<FakeDownloadState>> downloads;
    std::vector<std::shared_ptr<FakeInstallerState>> installers;

private:
    std::wstring m_folder;
    std::map<std::wstring, std::wstring> m_subfolders;
};

// The results so far, each as "NAME words [exit code] [seconds]s", joined with ", ".
std::string Summary(const std::vector<ProgramResult>& results)
{
    static const std::map<InstallOutcome, std::string> kWords = {
        {InstallOutcome::Succeeded, "ok"},          {InstallOutcome::SucceededRestartNeeded, "restart"},
        {InstallOutcome::Cancelled, "cancelled"},   {InstallOutcome::Failed, "failed"},
        {InstallOutcome::NotStarted, "not started"}, {InstallOutcome::Skipped, "skipped"},
        {InstallOutcome::UpToDate, "up to date"},
    };
    std::string joined;
    for (const ProgramResult& result : results) {
        joined += (joined.empty() ? "" : ", ") + AsciiForTrace(result.program->name) + " " + kWords.at(result.outcome);
        if (result.exitCode)
            joined += " " + std::to_string(*result.exitCode) + " " + std::to_string(result.milliseconds / 1000) + "s";
    }
    return joined;
}

// The bytes every fake download and every installer put there beforehand holds, and their hash.
constexpr char kInstallerBytes[] = "MZinstaller";
const std::wstring kInstallerHash = L"1ea44033b6afadea93f1d01bae4dfd5da3cfa0eda51eb78bfb2d121027bf8911";

// One tick of a row: what happens before it, then what the run does and shows.
struct RunTick {
    // Before the tick, comma-separated: "done F" (the download of F arrives whole), "fail F",
    // "at N F" (N percent of F has arrived), "exit F" (the installer F and all it started
    // end; "exit F N": with exit code N), "hand over F NAME" (F ends, its child NAME runs
    // on), "msi busy" and "msi idle" (a Windows Installer installation starts or ends),
    // "wait N" (N milliseconds pass), "keep waiting", "skip" and "start next" (the answers to
    // a stuck run).
    const char* before;
    const char* calls;  // the platform starts during the tick
    const wchar_t* status;
    int percent;
    InstallRun::Step step = InstallRun::Step::Going;
    const char* results = nullptr;  // Summary of the results after the tick, when given
};

struct RunRow {
    const char* what;
    std::vector<std::pair<std::wstring, std::wstring>> programs;  // name, install value
    std::vector<std::wstring> onDisk;                             // installers there before the run
    const char* callsAtStart;
    std::vector<RunTick> ticks;
    const wchar_t* failed = nullptr;  // the program named by a failed download
    std::wstring sha256 = {};         // every program's
    bool keyedBuild = false;          // a keyed build's run
    const wchar_t* unhashed = nullptr;  // the one program left without the hash
    std::vector<std::wstring> upToDate = {};  // marked installed and up to date
};

void PrintTo(const RunRow& row, std::ostream* out)
{
    *out << row.what;
}

constexpr auto kGoing = InstallRun::Step::Going;
constexpr auto kFinished = InstallRun::Step::Finished;
constexpr auto kFailed = InstallRun::Step::DownloadFailed;
constexpr auto kRefused = InstallRun::Step::Refused;
constexpr auto kStuck = InstallRun::Step::WindowsInstallerStuck;
constexpr auto kStillInstalling = InstallRun::Step::StillInstallingStuck;
constexpr ULONGLONG kPatience = InstallRun::kWindowsInstallerPatienceMs;

const RunRow kRunRows[] = {
    {"one program: its download's percent, then 0 while it installs",
     {{L"A", L"a.exe /S"}},
     {},
     "get a.exe",
     {{"", "", L"正在下载(0%) - A", 0},
      {"at 40 a.exe", "", L"正在下载(40%) - A", 40},
      {"done a.exe", "run a.exe /S", L"正在安装 - A", 0},
      {"wait 2400", "", L"正在安装 - A", 0, kGoing, ""},
      {"exit a.exe", "", L"正在安装 - A", 0, kFinished, "A ok 0 2s"}}},
    {"the next download overlaps the running installer, which starts the next at once",
     {{L"A", L"a.exe"}, {L"B", L"b.exe /q"}},
     {},
     "get a.exe",
     {{"done a.exe", "get b.exe, run a.exe", L"正在安装 - A", 0},
      {"at 50 b.exe", "", L"正在安装 - A", 0},
      {"done b.exe", "", L"正在安装 - A", 0},
      {"exit a.exe", "run b.exe /q", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished, "A ok 0 0s, B ok 0 0s"}}},
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
     kInstallerHash},
    {"a failed download of the third of five ends the run while the second installs",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}, {L"C", L"c.exe"}, {L"D", L"d.exe"}, {L"E", L"e.exe"}},
     {},
     "get a.exe",
     {{"done a.exe", "get b.exe, run a.exe", L"正在安装 - A", 0},
      {"done b.exe", "get c.exe", L"正在安装 - A", 0},
      {"exit a.exe", "run b.exe", L"正在安装 - B", 20},
      {"fail c.exe", "", L"正在安装 - B", 20, kFailed, "A ok 0 0s"}},
     L"C"},
    {"refused values and values that start nothing are skipped, neither downloaded nor started",
     {{L"A", L"..\\x.exe"}, {L"B", L"notes.txt"}, {L"C", L""}, {L"D", L"d.exe"}},
     {},
     "get d.exe",
     {{"at 10 d.exe", "", L"正在下载(10%) - D", 10, kGoing, "A skipped, B skipped, C skipped"},
      {"done d.exe", "run d.exe", L"正在安装 - D", 75},
      {"exit d.exe", "", L"正在安装 - D", 75, kFinished, "A skipped, B skipped, C skipped, D ok 0 0s"}}},
    {"a refused elevation is not started; the run goes on",
     {{L"A", L"refused.exe"}, {L"B", L"b.exe"}},
     {L"refused.exe", L"b.exe"},
     "",
     {{"", "run refused.exe", L"正在安装 - A", 0, kGoing, "A not started"},
      {"", "run b.exe", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished, "A not started, B ok 0 0s"}}},
    {"exit codes: restart, cancelled and failed",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}, {L"C", L"c.exe"}, {L"D", L"d.exe"}, {L"E", L"e.exe"}, {L"F", L"f.exe"}},
     {L"a.exe", L"b.exe", L"c.exe", L"d.exe", L"e.exe", L"f.exe"},
     "",
     {{"", "run a.exe", L"正在安装 - A", 0},
      {"exit a.exe 3010", "run b.exe", L"正在安装 - B", 16},
      {"exit b.exe 1641", "run c.exe", L"正在安装 - C", 33},
      {"exit c.exe 1602", "run d.exe", L"正在安装 - D", 50},
      {"exit d.exe 1223", "run e.exe", L"正在安装 - E", 66},
      {"exit e.exe 1603", "run f.exe", L"正在安装 - F", 83},
      {"wait 61000, exit f.exe 1618", "", L"正在安装 - F", 83, kFinished,
       "A restart 3010 0s, B restart 1641 0s, C cancelled 1602 0s, D cancelled 1223 0s, E failed 1603 0s, "
       "F failed 1618 61s"}}},
    {"an installer that hands over to a child is done when the child is",
     {{L"A", L"launcher.exe"}, {L"B", L"b.exe"}},
     {L"launcher.exe", L"b.exe"},
     "",
     {{"", "run launcher.exe", L"正在安装 - A", 0},
      {"hand over launcher.exe Real Setup.exe", "", L"正在等待 - Real Setup.exe", 0, kGoing, ""},
      {"wait 3000", "", L"正在等待 - Real Setup.exe", 0},
      {"exit launcher.exe", "run b.exe", L"正在安装 - B", 50, kGoing, "A ok 0 3s"},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished}}},
    {"Windows Installer packages start through the system's msiexec, each from its own folder",
     {{L"A", L"realtool.msi /qn"}, {L"B", L"Other.MSI"}, {L"C", L"c.exe /S"}},
     {},
     "get realtool.msi",
     {{"done realtool.msi", "get Other.MSI, run msiexec.exe /i realtool.msi /qn", L"正在安装 - A", 0},
      {"done Other.MSI", "get c.exe", L"正在安装 - A", 0},
      {"exit realtool.msi", "run msiexec.exe /i Other.MSI", L"正在安装 - B", 33},
      {"done c.exe, exit Other.MSI 1603", "run c.exe /S", L"正在安装 - C", 66},
      {"exit c.exe", "", L"正在安装 - C", 66, kFinished, "A ok 0 0s, B failed 1603 0s, C ok 0 0s"}}},
    {"a body longer than announced stops the bar at 100",
     {{L"A", L"a.exe"}},
     {},
     "get a.exe",
     {{"at 250 a.exe", "", L"正在下载(100%) - A", 100}}},
    {"a Windows Installer installation in progress holds each next installer back, not the run",
     {{L"A", L"a.exe"}, {L"B", L"b.exe /q"}, {L"C", L"c.zip"}},
     {L"a.exe", L"b.exe", L"c.zip"},
     "",
     {{"msi busy", "", L"正在等待其他安装程序完成", 0},
      {"", "", L"正在等待其他安装程序完成", 0},
      {"msi idle", "run a.exe", L"正在安装 - A", 0},
      {"msi busy, exit a.exe", "", L"正在等待其他安装程序完成", 0},
      {"msi idle", "run b.exe /q", L"正在安装 - B", 33},
      {"msi busy, exit b.exe", "", L"正在安装 - B", 33, kFinished, "A ok 0 0s, B ok 0 0s, C skipped"}}},
    {"a Windows Installer mutex held for ever: after two minutes the user waits on, then skips",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}},
     {L"a.exe", L"b.exe"},
     "",
     {{"msi busy", "", L"正在等待其他安装程序完成", 0},
      {"wait 119999", "", L"正在等待其他安装程序完成", 0},
      {"wait 1", "", L"正在等待其他安装程序完成", 0, kStuck},
      {"keep waiting", "", L"正在等待其他安装程序完成", 0},
      {"wait 119999", "", L"正在等待其他安装程序完成", 0},
      {"wait 1", "", L"正在等待其他安装程序完成", 0, kStuck},
      {"skip", "", L"正在等待其他安装程序完成", 0, kGoing, "A skipped"},
      {"msi idle", "run b.exe", L"正在安装 - B", 50},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished, "A skipped, B ok 0 0s"}}},
    {"a short wait for Windows Installer starts its patience over",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}},
     {L"a.exe", L"b.exe"},
     "",
     {{"msi busy", "", L"正在等待其他安装程序完成", 0},
      {"wait 100000, msi idle", "run a.exe", L"正在安装 - A", 0},
      {"msi busy, exit a.exe", "", L"正在等待其他安装程序完成", 0},
      {"wait 100000", "", L"正在等待其他安装程序完成", 0, kGoing}}},
    {"programs of other URLs sharing an installer name each get their own, in a subfolder",
     {{L"A", L"setup.exe /a"}, {L"B", L"SETUP.exe /b"}, {L"C", L"c.exe"}},
     {L"setup.exe", L"c.exe"},  // a setup.exe put there beforehand is nobody's for sure
     "get A/setup.exe",
     {{"done A/setup.exe", "get B/SETUP.exe, run setup.exe /a", L"正在安装 - A", 0},
      {"done B/SETUP.exe", "", L"正在安装 - A", 0},
      {"exit setup.exe", "run SETUP.exe /b", L"正在安装 - B", 33},
      {"exit SETUP.exe", "run c.exe", L"正在安装 - C", 66},
      {"exit c.exe", "", L"正在安装 - C", 66, kFinished}}},
    {"a keyed build starts no installer without a hash: the run ends on its program, even on disk",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}, {L"C", L"c.exe"}},
     {L"b.exe"},
     "get a.exe",
     {{"done a.exe", "run a.exe", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0, kRefused}},
     L"B",
     kInstallerHash,
     true,
     L"B"},
    {"a keyed build refuses values whose downloaded and started files differ, and the run ends there",
     {{L"A", L"a.exe"}, {L"B", L"my setup.exe /S"}, {L"C", L"c.exe"}},
     {L"my", L"my setup.exe"},
     "get a.exe",
     {{"done a.exe", "run a.exe", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0, kRefused}},
     L"B",
     kInstallerHash,
     true},
    {"unkeyed, such a value downloads one file and cannot start the other",
     {{L"A", L"my setup.exe /S"}},
     {},
     "get my",
     {{"done my", "", L"正在安装 - A", 0, kGoing, "A not started"}, {"", "", L"正在安装 - A", 0, kFinished}}},
    {"a file on disk whose bytes no longer match its hash is not started",
     {{L"A", L"a.exe"}},
     {},
     "get a.exe",
     {{"swap a.exe", "", L"正在安装 - A", 0, kGoing, "A not started"}, {"", "", L"正在安装 - A", 0, kFinished}},
     nullptr,
     kInstallerHash},
    {"programs up to date are neither downloaded nor started",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}, {L"C", L"c.exe"}},
     {},
     "get b.exe",
     {{"done b.exe", "run b.exe", L"正在安装 - B", 33, kGoing, "A up to date"},
      {"exit b.exe", "", L"正在安装 - B", 33, kFinished, "A up to date, B ok 0 0s, C up to date"}},
     nullptr,
     {},
     false,
     nullptr,
     {L"A", L"C"}},
    {"an installer whose exit is never seen holds the run",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}},
     {L"a.exe", L"b.exe"},
     "",
     {{"", "run a.exe", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0}, {"", "", L"正在安装 - A", 0, kGoing, ""}}},
    {"what an installer leaves still installing is waited for; after ten minutes the user may start the next",
     {{L"A", L"a.exe"}, {L"B", L"b.exe"}},
     {L"a.exe", L"b.exe"},
     "",
     {{"", "run a.exe", L"正在安装 - A", 0},
      {"hand over a.exe msiexec.exe", "", L"正在等待 - msiexec.exe", 0},
      {"wait 599999", "", L"正在等待 - msiexec.exe", 0},
      {"wait 1", "", L"正在等待 - msiexec.exe", 0, kStillInstalling},
      {"keep waiting, wait 599999", "", L"正在等待 - msiexec.exe", 0},
      {"wait 1", "", L"正在等待 - msiexec.exe", 0, kStillInstalling},
      {"start next", "run b.exe", L"正在安装 - B", 50, kGoing, "A ok 0 1200s"},
      {"exit b.exe", "", L"正在安装 - B", 50, kFinished}}},
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

    // Applies one "before" action of a tick to the fakes or the run.
    void Happen(const std::string& action, InstallRun& run)
    {
        const std::vector<std::string> words = Split(action, ' ');
        if (action == "keep waiting") {
            run.KeepWaiting();
            return;
        }
        if (action == "skip") {
            run.SkipWaitingProgram();
            return;
        }
        if (action == "start next") {
            run.StartNextProgram();
            return;
        }
        if (words[0] == "wait") {
            m_platform.nowMs += std::stoull(words[1]);
            return;
        }
        if (words[0] == "msi") {
            m_platform.windowsInstallerBusy = words[1] == "busy";
            return;
        }
        if (words[0] == "exit" || words[0] == "hand") {
            const std::string& name = words[0] == "exit" ? words[1] : words[2];
            FakeInstallerState* installer = m_platform.Installer(name);
            ASSERT_NE(installer, nullptr) << "no running installer " << name;
            if (words[0] == "hand") {
                installer->waitingFor = std::wstring(action.begin() + action.find(name) + name.size() + 1, action.end());
                return;
            }
            installer->exited = true;
            installer->waitingFor.clear();
            installer->exitCode = words.size() > 2 ? static_cast<DWORD>(std::stoul(words[2])) : 0;
            return;
        }
        const std::string& name = words.back();
        FakeDownloadState* download = m_platform.Download(name);
        ASSERT_NE(download, nullptr) << "no download of " << name;
        if (words[0] == "at") {
            download->percent = std::stoi(words[1]);
        } else {
            download->finished = true;
            download->succeeded = words[0] != "fail";
            if (download->succeeded) {
                // A swap: the file that arrives is not the one its hash names.
                ASSERT_TRUE(WriteWholeFile(download->path, words[0] == "swap" ? "swapped" : kInstallerBytes));
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
        ASSERT_TRUE(WriteWholeFile(m_folder + L"\\" + name, kInstallerBytes));

    for (const CatalogueProgram& program : programs)
        m_platform.NameSubfolder(InstallerSubfolder(program), program.name);
    InstallRun run(borrowed, InstallerPlaces(m_folder, borrowed), m_platform, row.keyedBuild);
    for (const CatalogueProgram& program : programs) {
        if (std::find(row.upToDate.begin(), row.upToDate.end(), program.name) != row.upToDate.end())
            run.MarkUpToDate(program);
    }
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
                Happen(action.substr(action.find_first_not_of(' ')), run);
        }
        step = run.Tick();
        EXPECT_EQ(m_platform.TakeCalls(), tick.calls);
        EXPECT_EQ(run.StatusText(), tick.status);
        EXPECT_EQ(run.Percent(), tick.percent);
        EXPECT_EQ(step, tick.step);
        if (tick.results) {
            EXPECT_EQ(Summary(run.Results()), tick.results);
        }
    }
    if (step == kFailed || step == kRefused) {
        EXPECT_EQ(run.FailureOfRun().program->name, row.failed);
        EXPECT_EQ(IsKeyRefusal(run.FailureOfRun().verdict), step == kRefused);
    } else {
        EXPECT_EQ(row.failed, nullptr);
    }
    for (const auto& installer : m_platform.installers) {
        SCOPED_TRACE(AsciiForTrace(installer->file));
        EXPECT_TRUE(installer->alone) << "started from a folder holding nothing but it";
        EXPECT_TRUE(installer->heldDuringStart) << "held until the start returned";
        EXPECT_EQ(installer->bytes, kInstallerBytes);
    }
    if (step == kFinished) {
        for (const auto& download : m_platform.downloads)
            EXPECT_TRUE(download->dropped) << "a finished download is let go";
        for (const auto& installer : m_platform.installers) {
            EXPECT_TRUE(installer->dropped) << "an exited installer's handle is closed";
            EXPECT_FALSE(PathExists(FolderOf(installer->file))) << "its staging folder is removed";
        }
        EXPECT_EQ(run.Results().size(), row.programs.size()) << "every program has its outcome";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, InstallRunTable, testing::ValuesIn(kRunRows));

TEST(InstallRunStop, CancelsTheDownloadAndLetsTheInstallerRunOn)
{
    const std::wstring folder = GetModuleDir() + L"\\run_stop_soft";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(folder + L"\\a.exe", kInstallerBytes));
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

// --- What is checked is what starts ---------------------------------------------------------

// Between the hash check and the start (the platform's BeforeStart), a writer to the
// installers folder tries every way to put other bytes where the installer starts from.
TEST(InstallRunSwap, TheCheckedCopyCannotBeSwappedBeforeItStarts)
{
    const std::wstring folder = GetModuleDir() + L"\\run_swap_soft";
    RemoveTree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring original = folder + L"\\a.exe";
    const std::wstring other = folder + L"\\other.exe";
    ASSERT_TRUE(WriteWholeFile(original, kInstallerBytes));
    ASSERT_TRUE(WriteWholeFile(other, "swapped"));
    CatalogueProgram a;
    a.name = L"A";
    a.install = L"a.exe";
    a.sha256 = kInstallerHash;
    FakePlatform platform(folder);
    std::vector<std::string> swaps;  // the ways that got through
    platform.beforeStart = [&](const std::wstring& staged) {
        EXPECT_NE(staged, original) << "started from a copy of its own";
        if (WriteWholeFile(staged, "swapped"))
            swaps.push_back("overwritten");
        if (MoveFileExW(other.c_str(), staged.c_str(), MOVEFILE_REPLACE_EXISTING))
            swaps.push_back("replaced");
        if (DeleteFileW(staged.c_str()))
            swaps.push_back("deleted");
        const FileHandle appender(CreateFileW(staged.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (appender)
            swaps.push_back("opened for writing");
        EXPECT_TRUE(WriteWholeFile(original, "swapped")) << "the file in the installers folder is no longer used";
    };
    InstallRun run({&a}, InstallerPlaces(folder, {&a}), platform, true);
    run.Start();
    ASSERT_EQ(platform.TakeCalls(), "get a.exe");
    platform.downloads[0]->finished = true;
    platform.downloads[0]->succeeded = true;
    EXPECT_EQ(run.Tick(), kGoing);
    EXPECT_EQ(platform.TakeCalls(), "run a.exe");
    EXPECT_EQ(swaps, std::vector<std::string>{});
    ASSERT_EQ(platform.installers.size(), 1u);
    EXPECT_EQ(platform.installers[0]->bytes, kInstallerBytes) << "the bytes checked are the bytes started";
    platform.installers[0]->exited = true;
    EXPECT_EQ(run.Tick(), kFinished);
    RemoveTree(folder);
}

// A file planted beside the staged copy before the start (a DLL the installer would load)
// stops the start.
TEST(InstallRunSwap, AFilePlantedBesideTheCopyStopsItsStart)
{
    const std::wstring folder = GetModuleDir() + L"\\run_plant_soft";
    RemoveTree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(folder + L"\\a.exe", kInstallerBytes));
    CatalogueProgram a;
    a.name = L"A";
    a.install = L"a.exe";
    FakePlatform platform(folder);
    platform.beforeStart = [&](const std::wstring& staged) {
        EXPECT_TRUE(WriteWholeFile(FolderOf(staged) + L"\\version.dll", "planted"));
    };
    InstallRun run({&a}, InstallerPlaces(folder, {&a}), platform);
    run.Start();
    run.Tick();
    EXPECT_EQ(run.Tick(), kFinished);
    EXPECT_EQ(platform.TakeCalls(), "");
    EXPECT_EQ(Summary(run.Results()), "A not started");
    RemoveTree(folder);
}

// --- The install log -----------------------------------------------------------------------

class InstallLog : public testing::Test {
protected:
    void SetUp() override { DeleteFileW(m_log.c_str()); }
    void TearDown() override { DeleteFileW(m_log.c_str()); }
    const std::wstring m_log = GetModuleDir() + L"\\install_log_test.log";
};

TEST_F(InstallLog, ALineHoldsTimeComputerProgramOutcomeCodeAndSeconds)
{
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 5;
    time.wDay = 1;
    time.wHour = 9;
    time.wMinute = 3;
    time.wSecond = 7;
    EXPECT_EQ(InstallLogLine(time, L"PC-7", L"代码编辑器", L"安装失败", L"1603", 42),
              L"2026-05-01 09:03:07\tPC-7\t代码编辑器\t安装失败\t1603\t42秒");
    EXPECT_EQ(InstallLogLine(time, L"PC-7", L"甲", L"已跳过", L"-", 0), L"2026-05-01 09:03:07\tPC-7\t甲\t已跳过\t-\t0秒");
    EXPECT_EQ(InstallLogLine(time, L"PC-7", L"乙", L"安装成功", L"0", 3, {L"Code.exe", L"tray.exe"}),
              L"2026-05-01 09:03:07\tPC-7\t乙\t安装成功\t0\t3秒\t仍在运行：Code.exe、tray.exe");
}

TEST_F(InstallLog, ANewLogStartsWithTheMarkAndLinesAreAppendedWithCrLf)
{
    ASSERT_TRUE(AppendInstallLogLine(m_log, L"一"));
    ASSERT_TRUE(AppendInstallLogLine(m_log, L"two"));
    EXPECT_EQ(ReadWholeFile(m_log), "\xEF\xBB\xBF\xE4\xB8\x80\r\ntwo\r\n");
}

TEST_F(InstallLog, PastItsLimitTheOldestLinesGo)
{
    const struct {
        const char* what;
        std::string before;
        size_t limit;
        std::string after;
    } cases[] = {
        {"fits exactly", "\xEF\xBB\xBF" "aaaa\r\n", 3 + 6 + 7, "\xEF\xBB\xBF" "aaaa\r\nnewer\r\n"},
        {"one byte over drops the oldest", "\xEF\xBB\xBF" "aaaa\r\nbbbb\r\n", 3 + 12 + 6, "\xEF\xBB\xBF" "bbbb\r\nnewer\r\n"},
        {"drops as many as it takes", "\xEF\xBB\xBF" "a\r\nb\r\nc\r\ndddd\r\n", 3 + 6 + 7, "\xEF\xBB\xBF" "dddd\r\nnewer\r\n"},
        {"a log without the mark gets it", "aaaa\r\nbbbb\r\n", 3 + 6 + 7, "\xEF\xBB\xBF" "bbbb\r\nnewer\r\n"},
        {"a line longer than the limit stands alone", "\xEF\xBB\xBF" "aaaa\r\n", 5, "\xEF\xBB\xBF" "newer\r\n"},
        {"lines an editor ended with LF alone", "\xEF\xBB\xBF" "aaaa\nbbbb\n", 3 + 5 + 7, "\xEF\xBB\xBF" "bbbb\nnewer\r\n"},
        {"a log far past the limit is read from its end",
         "\xEF\xBB\xBF" + std::string(200 * 6, 'a') + "\r\nbbbb\r\n", 3 + 6 + 7, "\xEF\xBB\xBF" "bbbb\r\nnewer\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteWholeFile(m_log, c.before));
        EXPECT_TRUE(AppendInstallLogLine(m_log, L"newer", c.limit));
        EXPECT_EQ(ReadWholeFile(m_log), c.after);
        EXPECT_EQ(FindFiles(m_log + L".*.new"), std::vector<std::wstring>{}) << "no temporary file stays";
    }
}

// A stick write-protected, or the log held by another program (Notepad with it open, a
// scanner): the log stays as it was.
TEST_F(InstallLog, ALogThatCannotBeWrittenIsLeftAsItWas)
{
    ASSERT_TRUE(WriteWholeFile(m_log, "\xEF\xBB\xBF" "old\r\n"));
    {
        const FileHandle reader(CreateFileW(m_log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_FALSE(AppendInstallLogLine(m_log, L"new"));
        EXPECT_FALSE(AppendInstallLogLine(m_log, L"new", 4)) << "nor replaced when trimmed";
        EXPECT_EQ(FindFiles(m_log + L".*.new"), std::vector<std::wstring>{}) << "no temporary file stays";
    }
    EXPECT_EQ(ReadWholeFile(m_log), "\xEF\xBB\xBF" "old\r\n");
    EXPECT_FALSE(AppendInstallLogLine(GetModuleDir() + L"\\no_such_folder\\install.log", L"new"));
    EXPECT_FALSE(PathExists(GetModuleDir() + L"\\no_such_folder"));
}

// Each program's line is written as it ends; a log that cannot be written changes nothing of
// the run.
TEST_F(InstallLog, TheRunWritesOneLinePerProgramAsItEnds)
{
    const std::wstring folder = GetModuleDir() + L"\\run_log_soft";
    RemoveTree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(folder + L"\\a.exe", kInstallerBytes));
    ASSERT_TRUE(WriteWholeFile(folder + L"\\b.exe", kInstallerBytes));
    CatalogueProgram a, b, c, d;
    a.name = L"甲";
    a.install = L"a.exe";
    b.name = L"乙";
    b.install = L"b.exe";
    c.name = L"丙";
    c.install = L"readme.txt";
    d.name = L"丁";
    d.install = L"d.exe";
    const std::wstring unwritable = folder;  // a folder cannot be appended to
    for (const std::wstring& log : {m_log, unwritable}) {
        SCOPED_TRACE(AsciiForTrace(log));
        FakePlatform platform(folder);
        InstallRun run({&a, &b, &c, &d}, InstallerPlaces(folder, {&a, &b, &c, &d}), platform);
        run.MarkUpToDate(d);
        run.WriteLogTo(log);
        run.Start();
        EXPECT_EQ(run.Tick(), kGoing);
        platform.nowMs += 2600;
        if (log == m_log) {
            EXPECT_EQ(ReadWholeFile(m_log), "<missing>") << "nothing has ended";
        }
        platform.installers[0]->exited = true;
        platform.installers[0]->exitCode = 3010;
        EXPECT_EQ(run.Tick(), kGoing);
        if (log == m_log) {
            const std::string text = ReadWholeFile(m_log);
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << "A's line at once";
        }
        platform.installers[1]->exited = true;
        platform.installers[1]->exitCode = 1603;
        EXPECT_EQ(run.Tick(), kFinished);
        EXPECT_EQ(Summary(run.Results()), "? restart 3010 2s, ? failed 1603 0s, ? skipped, ? up to date");
    }
    const std::string text = ReadWholeFile(m_log);
    ASSERT_EQ(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
    const std::vector<std::string> lines = Split(text.substr(3), '\n');
    ASSERT_EQ(lines.size(), 5u) << text;
    EXPECT_EQ(lines[4], "");
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(name, &size));
    const std::string computer = AsciiForTrace(name);
    const char* expected[] = {"\t甲\t安装成功，需要重新启动\t3010\t3秒\r", "\t乙\t安装失败\t1603\t0秒\r",
                              "\t丙\t已跳过\t-\t0秒\r", "\t丁\t已是最新版本，跳过\t-\t0秒\r"};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::vector<std::string> fields = Split(lines[i], '\t');
        ASSERT_EQ(fields.size(), 6u) << lines[i];
        EXPECT_EQ(fields[0].size(), 19u) << "yyyy-mm-dd hh:mm:ss";
        EXPECT_EQ(fields[1], computer);
        EXPECT_EQ(lines[i].substr(19 + 1 + computer.size()), expected[i]);
    }
    RemoveTree(folder);
}
