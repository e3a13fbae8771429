// Install values: the downloaded name, the started file and its parameters, which programs
// an install run refuses, and the elevated start.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/folders.h"
#include "install/install_run.h"
#include "tests/test_files.h"

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

// The first two fields of the test installer's first log line.
std::string NameAndArguments(const std::string& log)
{
    const size_t firstTab = log.find('\t');
    return firstTab == std::string::npos ? log : log.substr(0, log.find('\t', firstTab + 1));
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

// Under Wine "runas" starts the program at once, with no elevation prompt; the prompt and a
// refusal of it cannot be reached here.
TEST_F(ElevatedStart, StartsTheFileWithItsParametersAndHandsOverTheProcess)
{
    const std::wstring parameters = L"/S --dir \"C:\\Program Files\\x\"";
    KernelHandle process = RunElevated(m_installer, parameters);
    ASSERT_TRUE(process);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0xdeadbeef;
    ASSERT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(NameAndArguments(ReadWholeFile(m_log)), "test_installer.exe\t/S --dir \"C:\\Program Files\\x\"");
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
    EXPECT_EQ(NameAndArguments(ReadWholeFile(m_log)), "test_installer.exe\t" + std::string(511, 'p'))
        << "only the last start may have written a line";
}
