// End to end, on the real SoftwareInstaller.exe: a copy of it in a scratch folder with an
// AppLib tree of the case's own, the compiled-in catalogue and update servers served from
// loopback, the process started and its windows found, read and driven from here, as a
// user would see them.

#include <winsock2.h>

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstdlib>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/folders.h"
#include "base/unique_handle.h"
#include "base/user_settings.h"
#include "catalog/catalogue.h"
#include "catalog/catalogue_serial.h"
#include "net/servers.h"
#include "net/sha256.h"
#include "res/resource.h"
#include "tests/console_run.h"
#include "tests/https_fronts.h"
#include "tests/installer_log.h"
#include "tests/loopback_http_server.h"
#include "tests/mark_pixels.h"
#include "tests/program_driver.h"
#include "tests/test_files.h"
#include "tests/test_signer.h"
#include "tests/uninstall_entries.h"
#include "ui/fonts.h"
#include "ui/gdi.h"
#include "ui/scale.h"
#include "ui/skin.h"
#include "ui/window.h"

using driver::ChildById;
using driver::ClassName;
using driver::ProgramCopy;
using driver::RunningProgram;
using driver::WindowText;

namespace {

const std::wstring kTitle = L"U盘装系统装机必备软件包";

struct TestProgram {
    std::string name;
    std::string file;     // downloaded as /soft/<file>
    std::string install;  // the install value
    std::string sha256;   // the optional key; none when empty
    std::string installed = "";  // the optional keys, none when empty
    std::string version = "";
    std::string signer = "";
};

// A catalogue of groups whose programs download from the catalogue server's /soft/ path.
std::string CatalogueXml(const std::vector<std::pair<std::string, std::vector<TestProgram>>>& groups,
                         const std::string& server)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n";
    for (const auto& group : groups) {
        xml += "<dict><key>name</key><string>" + group.first + "</string><key>icon</key><string>tools.png</string>"
               "<key>applications</key><array>\n";
        for (const auto& program : group.second) {
            xml += "<dict><key>name</key><string>" + program.name + "</string><key>url</key><string>http://" +
                   server + "/soft/" + program.file + "</string><key>install</key><string>" + program.install +
                   (program.sha256.empty() ? "" : "</string><key>sha256</key><string>" + program.sha256) +
                   (program.installed.empty() ? "" : "</string><key>installed</key><string>" + program.installed) +
                   (program.version.empty() ? "" : "</string><key>version</key><string>" + program.version) +
                   (program.signer.empty() ? "" : "</string><key>signer</key><string>" + program.signer) +
                   "</string><key>icon</key><string>http://" + server + "/AppLib/AppIcons/ziptool.png</string></dict>\n";
        }
        xml += "</array></dict>\n";
    }
    return xml + "</array>\n</plist>\n";
}

std::string CatalogueServer()
{
    return Narrow(kCatalogueServer);
}

std::vector<TestProgram> Programs(int count, const std::string& prefix)
{
    std::vector<TestProgram> programs;
    for (int i = 0; i < count; ++i) {
        const std::string file = prefix + std::to_string(i) + ".exe";
        programs.push_back({prefix + " " + std::to_string(i), file, file + " /S /n=" + std::to_string(i), ""});
    }
    return programs;
}

HttpAnswer NotFound()
{
    HttpAnswer answer;
    answer.status = 404;
    return answer;
}

std::string TestInstallerBytes()
{
    return ReadWholeFile(GetModuleDir() + L"\\test_installer.exe");
}

// The program under test with both servers answering from loopback; by default the
// refresh and the update check find nothing (404) and change nothing.
class Program : public testing::Test {
protected:
    Program()
        : m_catalogueServer(PortOfServer(kCatalogueServer)), m_updateServer(PortOfServer(kUpdateServer))
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(m_catalogueServer.IsListening()) << "port of " << Narrow(kCatalogueServer) << " taken";
        ASSERT_TRUE(m_updateServer.IsListening()) << "port of " << Narrow(kUpdateServer) << " taken";
    }

    // The main window of a started program, visible and painted.
    HWND StartAndWait(RunningProgram& program) { return program.WaitForTopLevel(kTitle, true, 20000); }

    LoopbackHttpServer m_catalogueServer;
    LoopbackHttpServer m_updateServer;
};

HWND GroupButton(HWND main, int index)
{
    return ChildById(main, IDC_FIRST_GROUP + index);
}

HWND List(HWND main)
{
    return ChildById(main, IDC_SOFTWARE_LIST);
}

std::vector<HWND> Tiles(HWND main)
{
    std::vector<HWND> tiles;
    for (int id = IDC_FIRST_TILE;; ++id) {
        const HWND tile = ChildById(List(main), id);
        if (!tile)
            return tiles;
        tiles.push_back(tile);
    }
}

HWND TileCheckBox(HWND tile)
{
    return ChildById(tile, IDC_TILE_CHECK_BOX);
}

bool IsChecked(HWND tile)
{
    return SendMessageW(TileCheckBox(tile), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// A click on a tile's check box, as the system button reports it to the tile.
void ClickCheckBox(HWND tile)
{
    const HWND box = TileCheckBox(tile);
    SendMessageW(box, BM_CLICK, 0, 0);
}

void PressGroup(HWND main, int index)
{
    SendMessageW(GroupButton(main, index), WM_LBUTTONDOWN, 0, 0);
    SendMessageW(GroupButton(main, index), WM_LBUTTONUP, 0, 0);
}

// A DTImageButton's click: press and release over it. The release is posted: the program
// answers it with a modal dialog or message box, which would hold a sent message.
void ClickImageButton(HWND button)
{
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    PostMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
}

// The box's state is drawn, not kept by the button: read what the screen shows inside its
// 14-pixel frame. Blue fill: some checked; a dark tick: all; white: none. Nothing here asks
// for a repaint: what the program itself painted is what counts.
int SelectAllState(HWND main)
{
    const HWND box = ChildById(main, IDC_SELECT_ALL);
    RECT rect;
    GetWindowRect(box, &rect);
    const int top = rect.top + (rect.bottom - rect.top - 14) / 2;
    const HDC screen = GetDC(nullptr);
    int blue = 0;
    int dark = 0;
    for (int y = 3; y < 11; ++y) {
        for (int x = 3; x < 11; ++x) {
            const COLORREF c = GetPixel(screen, rect.left + x, top + y);
            if (c == RGB(5, 90, 170))
                ++blue;
            else if (GetRValue(c) + GetGValue(c) + GetBValue(c) < 200)
                ++dark;
        }
    }
    ReleaseDC(nullptr, screen);
    if (blue > 10)
        return 2;
    return dark > 3 ? 1 : 0;
}

// The box comes to show `state` within a second, as the program repaints it.
bool ShowsSelectAll(HWND main, int state)
{
    return WaitUntil([&] { return SelectAllState(main) == state; }, 1000);
}

}  // namespace

TEST_F(Program, StartsCentredWithEveryChildInPlace)
{
    ProgramCopy copy(L"layout");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"A", Programs(3, "a")}, {"B", Programs(1, "b")},
                                                  {"C", Programs(17, "c")}}, CatalogueServer())));
    RunningProgram program(copy.exe());
    ASSERT_TRUE(program.started());
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(ClassName(main), L"Tovarin:CMainWindow");

    RECT workArea = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);  // Wine's default, the program's too
    RECT window;
    GetWindowRect(main, &window);
    const RECT expected = MainWindowRect(workArea);
    EXPECT_EQ(window.left, expected.left);
    EXPECT_EQ(window.top, expected.top);
    EXPECT_EQ(window.right - window.left, 800);
    EXPECT_EQ(window.bottom - window.top, 599);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(main, GWL_STYLE)) & ~WS_VISIBLE, 0x840A0000u | WS_CLIPCHILDREN);
    EXPECT_EQ(GetWindowLongW(main, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);

    struct Child {
        int id;
        const wchar_t* className;
        RECT rect;
        const wchar_t* text;
    } children[] = {
        {IDC_MINIMIZE, L"DTImageButton", {741, 1, 770, 18}, L"最小化"},
        {IDC_CLOSE, L"DTImageButton", {770, 1, 799, 18}, L"关闭"},
        {IDC_SELECT_ALL, L"DTCheckBox", {169, 560, 269, 584}, L"全选"},
        {IDC_ONE_KEY_INSTALL, L"DTImageButton", {797 - 150, 590 - 40, 797, 590}, L"一键安装"},  // the shipped 600 x 40 picture
        {IDC_SOFTWARE_LIST, L"Tovarin:CSWListBox", {4, 87, 796, 543}, L"软件列表"},
        {IDC_FIRST_GROUP, L"Tovarin:CGroupButton", {22, 2, 102, 87}, L"A"},
        {134, L"Tovarin:CGroupButton", {102, 2, 182, 87}, L"B"},
        {135, L"Tovarin:CGroupButton", {182, 2, 262, 87}, L"C"},
    };
    for (const auto& c : children) {
        SCOPED_TRACE(c.id);
        const HWND child = ChildById(main, c.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(ClassName(child), c.className);
        const RECT rect = driver::ClientRectInParent(child);
        EXPECT_EQ(rect.left, c.rect.left);
        EXPECT_EQ(rect.top, c.rect.top);
        EXPECT_EQ(rect.right, c.rect.right);
        EXPECT_EQ(rect.bottom, c.rect.bottom);
        EXPECT_EQ(WindowText(child), c.text);
    }
    EXPECT_EQ(ChildById(main, IDC_FIRST_GROUP + 3), nullptr) << "three groups, three buttons";
    EXPECT_EQ(Tiles(main).size(), 3u) << "group 0 is shown";
    EXPECT_TRUE(ShowsSelectAll(main, 0));

    // The close button ends the process normally.
    ClickImageButton(ChildById(main, IDC_CLOSE));
    EXPECT_EQ(program.WaitForExit(10000), 0u);
}

TEST_F(Program, ASecondInstanceExitsAtOnce)
{
    ProgramCopy copy(L"second");
    RunningProgram first(copy.exe());
    ASSERT_NE(StartAndWait(first), nullptr);
    for (const wchar_t* arguments : {L"", L"/autorun"}) {
        SCOPED_TRACE(testing::Message() << arguments);
        RunningProgram second(copy.exe(), arguments);
        EXPECT_EQ(second.WaitForExit(15000), 0u);
        EXPECT_TRUE(second.TopLevelWindows(false).empty());
    }
    EXPECT_EQ(first.WaitForExit(0), static_cast<DWORD>(STILL_ACTIVE));
}

// A first instance that runs as administrator leaves a mutex that a normal start may not
// open: its CreateMutexW fails with "access denied" instead of "already exists". Stood in for
// by a mutex whose security descriptor denies everyone.
TEST_F(Program, ASecondStartThatMayNotOpenTheMutexExitsAsAlreadyRunning)
{
    const wchar_t kMutexName[] = L"{B28F00DF-9318-4D16-BFF0-22899B0F875F}";
    ProgramCopy copy(L"denied");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const KernelHandle held(CreateMutexW(&attributes, FALSE, kMutexName));
    LocalFree(descriptor);
    ASSERT_TRUE(held);
    SetLastError(0xdeadbeef);
    const KernelHandle reopened(CreateMutexW(nullptr, FALSE, kMutexName));
    ASSERT_FALSE(reopened) << "the descriptor must keep this process out too";
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    for (const wchar_t* arguments : {L"", L"/autorun"}) {
        SCOPED_TRACE(testing::Message() << arguments);
        RunningProgram second(copy.exe(), arguments);
        EXPECT_EQ(second.WaitForExit(15000), 0u);
        EXPECT_TRUE(second.TopLevelWindows(false).empty());
    }
}

TEST_F(Program, EachMissingSkinFileHasItsMessageAndEndsWithCodeOne)
{
    struct Case {
        const wchar_t* file;
        const wchar_t* message;
    } cases[] = {
        {L"window_background.jpg", L"加载Skin/window_background.jpg出错"},
        {L"onekey_button.png", L"加载Skin/onekey_button.png出错"},
        {L"item_install_button.png", L"加载Skin/item_install_button.png出错"},
        {L"group_button_background.png", L"加载Skin/group_button_background.png失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file);
        ProgramCopy copy(L"skin");
        ASSERT_TRUE(DeleteFileW((copy.appLib() + L"\\Skin\\" + c.file).c_str()));
        RunningProgram program(copy.exe());
        const HWND box = program.WaitForMessageBox(20000);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(driver::MessageBoxText(box), c.message);
        EXPECT_EQ(WindowText(box), L"出错了");
        EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
        driver::PressDialogButton(box, IDOK);
        EXPECT_EQ(program.WaitForExit(15000), 1u);
    }
}

TEST_F(Program, GroupsSelectAllAndOneKeyWithNothingChecked)
{
    ProgramCopy copy(L"main");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"A", Programs(3, "a")}, {"B", Programs(2, "b")}},
                                                 CatalogueServer())));
    RunningProgram program(copy.exe());
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    auto tiles = Tiles(main);
    ASSERT_EQ(tiles.size(), 3u);

    // Select-all in its three states: none, all, some, and a click from "some" clears all.
    EXPECT_TRUE(ShowsSelectAll(main, 0));
    ClickCheckBox(tiles[0]);
    EXPECT_TRUE(IsChecked(tiles[0]));
    EXPECT_TRUE(ShowsSelectAll(main, 2));
    ClickCheckBox(tiles[1]);
    ClickCheckBox(tiles[2]);
    EXPECT_TRUE(ShowsSelectAll(main, 1));
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsChecked(tiles[0]) || IsChecked(tiles[1]) || IsChecked(tiles[2]));
    EXPECT_TRUE(ShowsSelectAll(main, 0)) << "the box shows the state after the click";
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    EXPECT_TRUE(IsChecked(tiles[0]) && IsChecked(tiles[1]) && IsChecked(tiles[2]));
    EXPECT_TRUE(ShowsSelectAll(main, 1));
    // The box shows its state whatever repaints the button makes of its own: a click that
    // reaches the window without passing through the button changes the picture too.
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_SELECT_ALL, BN_CLICKED), reinterpret_cast<LPARAM>(ChildById(main, IDC_SELECT_ALL)));
    EXPECT_FALSE(IsChecked(tiles[0]));
    EXPECT_TRUE(ShowsSelectAll(main, 0));

    // Pressing the group already shown keeps tiles and marks; another group drops them.
    ClickCheckBox(tiles[0]);
    PressGroup(main, 0);
    EXPECT_EQ(Tiles(main), tiles);
    EXPECT_TRUE(IsChecked(tiles[0]));
    PressGroup(main, 1);
    tiles = Tiles(main);
    ASSERT_EQ(tiles.size(), 2u);
    EXPECT_TRUE(ShowsSelectAll(main, 0));
    PressGroup(main, 0);
    tiles = Tiles(main);
    ASSERT_EQ(tiles.size(), 3u);
    EXPECT_FALSE(IsChecked(tiles[0]));

    // One-key with nothing checked: the window's own message; nothing else.
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
    const HWND box = program.WaitForMessageBox(10000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(driver::MessageBoxText(box), L"请选择要安装的软件");
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    driver::PressDialogButton(box, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(box); }, 5000));
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_TRUE(m_catalogueServer.CountRequests("GET", "/soft/a0.exe") == 0);
}

namespace {


// The progress dialog: a visible top-most dialog of the process that is not a message box.
HWND FindProgressDialog(const RunningProgram& program)
{
    for (HWND hwnd : program.TopLevelWindows(true)) {
        if (ClassName(hwnd) == L"#32770" && !ChildById(hwnd, 0xFFFF) && (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST))
            return hwnd;
    }
    return nullptr;
}

// Runs with the test installer served under each program's file name and logging to a file
// of the case's own.
class InstallRun : public Program {
protected:
    void ServeInstallers(const std::vector<TestProgram>& programs)
    {
        const std::string bytes = TestInstallerBytes();
        ASSERT_FALSE(bytes.empty());
        for (const auto& program : programs)
            m_catalogueServer.Serve("/soft/" + program.file, Body(bytes));
    }

    // The installer's body stops half-way until the server is resumed.
    void ServePausedHalfWay(const TestProgram& program)
    {
        HttpAnswer paused = Body(TestInstallerBytes());
        paused.pauseAfter = paused.body.size() / 2;
        m_catalogueServer.Serve("/soft/" + program.file, paused);
    }

    std::vector<std::wstring> InstallerEnvironment(DWORD delayMs) const
    {
        return {L"TEST_INSTALLER_LOG=" + m_log.path(), L"TEST_INSTALLER_DELAY_MS=" + std::to_wstring(delayMs)};
    }

    std::vector<LoggedInstall> Runs() const
    {
        return ReadInstallerLog(m_log.path());
    }

    // One log per case: an installer of an earlier case may still be running and log late.
    ScratchFile m_log{GetModuleDir() + L"\\installers-" +
                          WideFromUtf8(testing::UnitTest::GetInstance()->current_test_info()->name()) + L".log",
                      ""};
};

}  // namespace

TEST_F(InstallRun, OneKeyInstallsTheCheckedProgramsInOrderWhileTheNextDownloads)
{
    const auto programs = Programs(3, "a");
    ProgramCopy copy(L"onekey");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"A", programs}}, CatalogueServer())));
    ServeInstallers(programs);
    // The second body waits half-way until the first installer has been seen running.
    ServePausedHalfWay(programs[1]);

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(1500));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);  // select all
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));

    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(main) && FindProgressDialog(program); }, 10000))
        << "the main window hides under the progress dialog";
    // The second download is under way; the first installer runs and ends meanwhile.
    ASSERT_TRUE(m_catalogueServer.WaitUntilPaused(20000));
    const ULONGLONG secondDownloadUnderWay = GetTickCount64();
    ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 1; }, 20000));
    EXPECT_GT(Runs()[0].end, secondDownloadUnderWay) << "the installs overlap the next download";
    m_catalogueServer.Resume();

    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 60000)) << "shown again after the run";
    EXPECT_EQ(FindProgressDialog(program), nullptr);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 3u);
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(runs[i].name, "a" + std::to_string(i) + ".exe");
        EXPECT_EQ(runs[i].arguments, "/S /n=" + std::to_string(i));
        if (i > 0) {
            EXPECT_GE(runs[i].start, runs[i - 1].end) << "each installer starts after the previous one ended";
        }
    }
    // Same group, same marks.
    const auto tiles = Tiles(main);
    ASSERT_EQ(tiles.size(), 3u);
    for (HWND tile : tiles)
        EXPECT_TRUE(IsChecked(tile));
    EXPECT_TRUE(PathExists(copy.soft() + L"\\a2.exe"));
}

// One-key with an installer served over https, through the fronts of
// tests/tls/with_https_fronts.sh: the ctest entry program_test_https runs it; without the
// fronts it is skipped.
class HttpsInstallRun : public InstallRun {
protected:
    void SetUp() override
    {
        if (!m_fronts)
            GTEST_SKIP() << "no https fronts; run through ctest's program_test_https";
        InstallRun::SetUp();
        ASSERT_TRUE(m_backend.IsListening()) << "backend port " << m_fronts->backend << " busy";
    }

    const std::optional<HttpsFronts> m_fronts = HttpsFrontsFromEnvironment();
    LoopbackHttpServer m_backend{m_fronts ? m_fronts->backend : static_cast<unsigned short>(0)};
};

TEST_F(HttpsInstallRun, OneKeyInstallsAnInstallerServedOverHttps)
{
    const auto programs = Programs(1, "s");
    ProgramCopy copy(L"https");
    std::string catalogue = CatalogueXml({{"S", programs}}, CatalogueServer());
    const std::string plainLink = "http://" + CatalogueServer() + "/soft/";
    catalogue.replace(catalogue.find(plainLink), plainLink.size(), HttpsUrl(m_fronts->good, "/soft/"));
    ASSERT_TRUE(copy.WriteCatalogue(catalogue));
    m_backend.Serve("/soft/s0.exe", Body(TestInstallerBytes()));

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(200));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));

    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(main) && FindProgressDialog(program); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 60000)) << "shown again after the run";
    EXPECT_EQ(program.WaitForMessageBox(0), nullptr) << "no failure message";
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].name, "s0.exe");
    EXPECT_EQ(runs[0].arguments, "/S /n=0");
    EXPECT_EQ(ReadWholeFile(copy.soft() + L"\\s0.exe"), TestInstallerBytes());
    EXPECT_EQ(m_backend.CountRequests("GET", "/soft/s0.exe"), 1u);
}

// The stand-in installer signed each way (tests/authenticode), pinned by its signer: only the
// publisher's own signature installs; each other ends the run with its reason. Run where the
// test CA is trusted, through the same fronts.
using SignedInstallRun = HttpsInstallRun;

TEST_F(SignedInstallRun, OnlyTheNamedSignersInstallerStarts)
{
    const struct {
        const wchar_t* file;
        const wchar_t* reason;  // null: installs
        bool keyed;             // the program built with the test key, its catalogue signed
    } cases[] = {
        {L"signed.exe", nullptr, false},
        {L"unsigned.exe", L"安装程序没有数字签名", false},
        {L"other.exe", L"签名者是 Other Test Publisher，不是 Tovarin Test Publisher", false},
        {L"self.exe", L"签名证书不受信任", false},
        {L"changed.exe", L"数字签名无效", false},
        {L"signed.exe", nullptr, true},  // a signer and no sha256 is enough for a keyed build
    };
    TestProgram signedProgram = Programs(1, "s")[0];
    signedProgram.signer = "Tovarin Test Publisher";
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.file));
        ProgramCopy copy(L"signer-" + std::to_wstring(&c - cases),
                         c.keyed ? L"SoftwareInstallerTestKey.exe" : L"SoftwareInstaller.exe");
        const std::string catalogue = CatalogueXml({{"S", {signedProgram}}}, CatalogueServer());
        ASSERT_TRUE(copy.WriteCatalogue(catalogue));
        if (c.keyed) {
            ASSERT_TRUE(WriteWholeFile(copy.appLib() + L"\\AppLib.xml.sig", test_signer::Sign(catalogue)));
        }
        const size_t runsBefore = Runs().size();
        m_catalogueServer.Serve("/soft/s0.exe",
                                Body(ReadWholeFile(GetModuleDir() + L"\\signed_test_installers\\" + c.file)));

        RunningProgram program(copy.exe(), L"", InstallerEnvironment(0));
        const HWND main = StartAndWait(program);
        ASSERT_NE(main, nullptr);
        SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
        ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
        ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(main) && FindProgressDialog(program); }, 10000));
        if (c.reason) {
            const HWND box = program.WaitForMessageBox(30000);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(driver::MessageBoxText(box), std::wstring(L"下载\"s 0\"失败\r\n") + c.reason);
            driver::PressDialogButton(box, IDOK);
        }
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 60000));
        EXPECT_EQ(Runs().size(), runsBefore + (c.reason ? 0 : 1));
        EXPECT_EQ(PathExists(copy.soft() + L"\\s0.exe"), !c.reason);
    }
}

TEST_F(InstallRun, AFailedDownloadEndsTheRunWithItsMessage)
{
    const auto programs = Programs(3, "f");
    ProgramCopy copy(L"failure");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"F", programs}}, CatalogueServer())));
    ServeInstallers(programs);
    m_catalogueServer.Serve("/soft/" + programs[1].file, NotFound());

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(200));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));

    const HWND box = program.WaitForMessageBox(30000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(driver::MessageBoxText(box), L"下载\"f 1\"失败\r\n服务器回答 404");
    EXPECT_EQ(WindowText(box), L"下载失败");
    driver::PressDialogButton(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000));
    EXPECT_EQ(m_catalogueServer.CountRequests("HEAD", "/soft/" + programs[2].file), 0u) << "later programs never asked for";
    EXPECT_FALSE(PathExists(copy.soft() + L"\\f1.exe"));
}

// The catalogue file's hash reaches the run: a stale installer in Soft under a well-formed
// hash (in capitals) is fetched again; under a malformed one it is started as it is, as
// without the key.
TEST_F(InstallRun, HashesFromTheCatalogueDecideWhetherAnInstallerInSoftIsFetchedAgain)
{
    auto programs = Programs(2, "h");
    std::wstring hash = Sha256OfFile(GetModuleDir() + L"\\test_installer.exe");
    ASSERT_EQ(hash.size(), 64u);
    for (wchar_t& c : hash)
        c = static_cast<wchar_t>(towupper(c));
    programs[0].sha256 = Narrow(hash);
    programs[1].sha256 = Narrow(hash.substr(1));  // 63 digits
    ProgramCopy copy(L"hashes");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"H", programs}}, CatalogueServer())));
    ServeInstallers(programs);
    ASSERT_TRUE(CreateDirectoryW(copy.soft().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(copy.soft() + L"\\h0.exe", "the release before"));
    ASSERT_TRUE(WriteWholeFile(copy.soft() + L"\\h1.exe", TestInstallerBytes()));

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(200));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));

    ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 2; }, 30000));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000));
    const auto runs = Runs();
    EXPECT_EQ(runs[0].name, "h0.exe");
    EXPECT_EQ(runs[1].name, "h1.exe");
    // At least once: under load, Wine can report a read that completed in the background as
    // empty, and the body is then asked for again.
    EXPECT_GE(m_catalogueServer.CountRequests("GET", "/soft/h0.exe"), 1u);
    EXPECT_EQ(m_catalogueServer.CountRequests("HEAD", "/soft/h1.exe"), 0u);
    EXPECT_TRUE(ReadWholeFile(copy.soft() + L"\\h0.exe") == TestInstallerBytes()) << "the new release in place";
}

TEST_F(InstallRun, TheCloseButtonMidDownloadLeavesNothingUnderTheFinalName)
{
    const auto programs = Programs(1, "c");
    ProgramCopy copy(L"close");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"C", programs}}, CatalogueServer())));
    // The host stalls at 256 KiB, a whole number of any read's blocks: the reads end there.
    HttpAnswer stalling = Body(TestInstallerBytes());
    stalling.pauseAfter = 256 * 1024;
    m_catalogueServer.Serve("/soft/" + programs[0].file, stalling);

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(200));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    // A tile's own install button: that one program, whatever is checked.
    PostMessageW(ChildById(Tiles(main)[0], 1), BM_CLICK, 0, 0);
    ASSERT_TRUE(m_catalogueServer.WaitUntilPaused(20000));
    const HWND dialog = FindProgressDialog(program);
    ASSERT_NE(dialog, nullptr);
    // Every byte the host sent has reached the temporary file.
    const auto stalled = [&] {
        const std::vector<std::wstring> files = FindFiles(copy.soft() + L"\\c0.exe.*");
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        return files.size() == 1 &&
               GetFileAttributesExW((copy.soft() + L"\\" + files[0]).c_str(), GetFileExInfoStandard, &data) &&
               data.nFileSizeLow == *stalling.pauseAfter;
    };
    ASSERT_TRUE(WaitUntil(stalled, 10000));
    SendMessageW(ChildById(dialog, IDC_PROGRESS_CLOSE), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000));
    EXPECT_FALSE(PathExists(copy.soft() + L"\\c0.exe"));
    // While the host still holds the connection and sends nothing.
    EXPECT_TRUE(WaitUntil([&] { return FindFiles(copy.soft() + L"\\c0.exe*").empty(); }, 5000))
        << "the temporary file goes too";
    m_catalogueServer.Resume();
    EXPECT_TRUE(Runs().empty());
}

// A café's login page answers the first run: refused with its reason, and neither kept nor
// started. An older build left such a page in Soft under the installer's name. On the real
// network the next run fetches the installer; the connection drops at 60 %, and the rest is
// asked for with Range, so the installer crosses the wire about once.
TEST_F(InstallRun, ALoginPageIsRefusedAndTheRealNetworkResumesADroppedDownload)
{
    const auto programs = Programs(1, "w");
    ProgramCopy copy(L"portal");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"W", programs}}, CatalogueServer())));
    const std::string page = "<!DOCTYPE html><title>Wi-Fi</title><p>Please log in</p>";
    HttpAnswer loginPage = Body(page);
    loginPage.contentType = "text/html";
    m_catalogueServer.Serve("/soft/w0.exe", loginPage);
    ASSERT_TRUE(CreateDirectoryW(copy.soft().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(copy.soft() + L"\\w0.exe", page));

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(200));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
    const HWND box = program.WaitForMessageBox(30000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(driver::MessageBoxText(box), L"下载\"w 0\"失败\r\n网络返回的是网页而不是安装程序，可能需要先登录");
    driver::PressDialogButton(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000));
    EXPECT_TRUE(Runs().empty());
    EXPECT_NE(ReadWholeFile(copy.appLib() + L"\\install.log").find("下载失败：网络返回的是网页"), std::string::npos);

    const std::string installer = TestInstallerBytes();
    HttpAnswer dropped = Body(installer);
    dropped.servesRange = true;
    dropped.dropAfter = installer.size() * 6 / 10;
    dropped.drops = 2;  // the server counts the login page's GET too
    m_catalogueServer.Serve("/soft/w0.exe", Body(installer), dropped);
    const uint64_t sentBefore = m_catalogueServer.BodyBytesSent();
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
    ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 1; }, 30000));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000));
    EXPECT_EQ(program.WaitForMessageBox(0), nullptr) << "no failure message";
    EXPECT_TRUE(ReadWholeFile(copy.soft() + L"\\w0.exe") == installer);
    EXPECT_LE(m_catalogueServer.BodyBytesSent() - sentBefore, installer.size() * 11 / 10);
    std::vector<std::string> ranges;
    for (const RecordedRequest& request : m_catalogueServer.Requests())
        if (request.method == "GET" && request.path == "/soft/w0.exe")
            ranges.push_back(request.range);
    EXPECT_EQ(ranges, (std::vector<std::string>{"", "", "bytes=" + std::to_string(installer.size() * 6 / 10) + "-"}));
}

TEST_F(Program, ARefreshSwapsInTheNewCatalogueWhileVisible)
{
    ProgramCopy copy(L"refresh");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"Old", Programs(2, "o")}}, CatalogueServer())));
    // The refresh fetches the catalogue; its icons are already on disk.
    const std::string fresh = CatalogueXml({{"New1", Programs(4, "n")}, {"New2", Programs(1, "m")}}, CatalogueServer());
    m_catalogueServer.Serve("/AppLib/AppLib.xml", Body(fresh));

    RunningProgram program(copy.exe());
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(GroupButton(main, 0)) == L"New1"; }, 20000));
    EXPECT_EQ(WindowText(GroupButton(main, 1)), L"New2");
    EXPECT_EQ(Tiles(main).size(), 4u) << "group 0 of the new catalogue";
    EXPECT_EQ(ReadWholeFile(copy.appLib() + L"\\AppLib.xml"), fresh);
}

// Nearly every start finds the local catalogue on the server. Served late, after the user has
// switched groups and ticked a program, it changes neither, nor the local file.
TEST_F(Program, ARefreshThatFindsTheSameCatalogueKeepsTheUsersChoice)
{
    ProgramCopy copy(L"same");
    const std::string catalogue = CatalogueXml({{"A", Programs(3, "a")}, {"B", Programs(2, "b")}}, CatalogueServer());
    ASSERT_TRUE(copy.WriteCatalogue(catalogue));
    const std::wstring local = copy.appLib() + L"\\AppLib.xml";
    WIN32_FILE_ATTRIBUTE_DATA before = {};
    ASSERT_TRUE(GetFileAttributesExW(local.c_str(), GetFileExInfoStandard, &before));
    HttpAnswer late = Body(catalogue);
    late.pauseAfter = 0;
    m_catalogueServer.Serve("/AppLib/AppLib.xml", late);

    RunningProgram program(copy.exe());
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    PressGroup(main, 1);
    ASSERT_TRUE(WaitUntil([&] { return Tiles(main).size() == 2u; }, 5000));
    ClickCheckBox(Tiles(main)[1]);
    ASSERT_TRUE(IsChecked(Tiles(main)[1]));
    ASSERT_TRUE(m_catalogueServer.WaitUntilPaused(20000));

    m_catalogueServer.Resume();
    ASSERT_TRUE(WaitUntil([&] { return FindFiles(copy.appLib() + L"\\AppLib.xml.temp*").empty(); }, 10000))
        << "the refresh ends";
    // Several ticks of the 500 ms watch: a reload would show group A again, unticked.
    EXPECT_FALSE(WaitUntil([&] { return Tiles(main).size() != 2u || !IsChecked(Tiles(main)[1]); }, 2000));
    WIN32_FILE_ATTRIBUTE_DATA after = {};
    ASSERT_TRUE(GetFileAttributesExW(local.c_str(), GetFileExInfoStandard, &after));
    EXPECT_EQ(CompareFileTime(&after.ftLastWriteTime, &before.ftLastWriteTime), 0) << "the local file was replaced";
    EXPECT_EQ(ReadWholeFile(local), catalogue);
}

TEST_F(Program, TheUpdatePromptAnsweredNoOpensNothing)
{
    ProgramCopy copy(L"update");
    m_updateServer.Serve("/up/pelmarup.txt", Body("[Update]\r\nVersion=9.9\r\nInfo=A newer release\r\n"));
    RunningProgram program(copy.exe());
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    const HWND prompt = program.WaitForMessageBox(20000);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(WindowText(prompt), L"Tovarin升级提示");
    EXPECT_EQ(GetWindow(prompt, GW_OWNER), main);
    EXPECT_NE(ChildById(prompt, IDYES), nullptr);
    driver::PressDialogButton(prompt, IDNO);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(prompt); }, 5000));
    EXPECT_TRUE(IsWindowVisible(main));
}

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"TovarinSoftwareInstaller";

// Keeps a value of the user's own, if any, and puts it back afterwards.
class SavedUserValue {
public:
    SavedUserValue(const wchar_t* keyPath, const wchar_t* name) : m_keyPath(keyPath), m_name(name)
    {
        RegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, m_keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof(m_data);
        m_had = RegQueryValueExW(key.get(), m_name, nullptr, &m_type, m_data, &size) == ERROR_SUCCESS;
        m_size = size;
    }
    ~SavedUserValue()
    {
        RegKey key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, m_keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
            return;
        if (m_had)
            RegSetValueExW(key.get(), m_name, 0, m_type, m_data, m_size);
        else
            RegDeleteValueW(key.get(), m_name);
    }

private:
    const wchar_t* m_keyPath;
    const wchar_t* m_name;
    bool m_had = false;
    DWORD m_type = 0;
    BYTE m_data[4096] = {};
    DWORD m_size = 0;
};

bool SetRunValue(const std::wstring& text)
{
    RegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RunValueExists()
{
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExW(key.get(), kRunValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

// Slow by nature: the program probes the catalogue server every 10 seconds.
TEST_F(Program, AfterAnAutorunStartTheWindowWaitsHiddenForTheCatalogueServer)
{
    SavedUserValue saved(kRunKey, kRunValue);
    ProgramCopy copy(L"autorun");
    ASSERT_TRUE(SetRunValue(L"\"" + copy.exe() + L"\" /autorun"));
    m_catalogueServer.Serve("/AppLib/AppLib.xml", NotFound());

    RunningProgram program(copy.exe(), L"/autorun");
    const HWND hidden = program.WaitForTopLevel(kTitle, false, 20000);
    ASSERT_NE(hidden, nullptr) << "created, with its children, but not shown";
    EXPECT_NE(GroupButton(hidden, 0), nullptr);
    // The first probe comes 10 s after creation and finds the server answering 404.
    ASSERT_TRUE(WaitUntil([&] { return m_catalogueServer.CountRequests("HEAD", "/AppLib/AppLib.xml") >= 1; }, 20000));
    EXPECT_FALSE(IsWindowVisible(hidden));
    EXPECT_TRUE(RunValueExists()) << "kept while the network is not there, for the next logon";

    m_catalogueServer.Serve("/AppLib/AppLib.xml", Body(ReadWholeFile(copy.appLib() + L"\\AppLib.xml")));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(hidden) != FALSE; }, 25000));
    EXPECT_FALSE(RunValueExists());
}

// A stick prepared by `applib fetch` while the server ran installs every program once the
// server is gone: each installer starts from where the fetch put it, a hashed one included,
// and the run sends no request anywhere.
TEST_F(InstallRun, ATreeFetchedByApplibInstallsEverythingWithNoServer)
{
    const std::string installer = TestInstallerBytes();
    auto installers = std::make_unique<LoopbackHttpServer>();
    ASSERT_TRUE(installers->IsListening());
    const unsigned short port = installers->Port();
    auto programs = Programs(2, "o");
    programs.push_back({"hashed", "h.exe", "h.exe /h", Narrow(Sha256OfFile(GetModuleDir() + L"\\test_installer.exe"))});
    // One file name from two places: each keeps its installer in a subfolder of its own.
    programs.push_back({"c", "c/setup.exe", "setup.exe /c", ""});
    programs.push_back({"d", "d/setup.exe", "setup.exe /d", ""});
    programs.push_back({"readme", "readme.txt", "readme.txt", ""});  // starts nothing: skipped
    for (const auto& program : programs)
        installers->Serve("/soft/" + program.file, Body(installer));
    ProgramCopy copy(L"offline");
    installers->Serve("/AppLib/AppIcons/ziptool.png", Body(ReadWholeFile(copy.appLib() + L"\\AppIcons\\ziptool.png")));
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"O", programs}}, "127.0.0.1:" + std::to_string(port))));

    ConsoleProcess fetch(L"\"" + GetModuleDir() + L"\\applib.exe\" fetch \"" + copy.appLib() + L"\\AppLib.xml\"");
    const ConsoleRun fetched = fetch.Finish();
    ASSERT_EQ(fetched.exitCode, 0u) << fetched.out << fetched.err;
    const std::string summary = LastLine(fetched.out);
    EXPECT_EQ(summary.substr(0, summary.find('(')), "7 files: 5 downloaded ") << summary;
    EXPECT_EQ(summary.substr(summary.find(')')), "), 1 up to date, 0 kept (not checked), 1 skipped, 0 failed");
    installers.reset();
    // Whatever is sent to that port from now on is counted here.
    LoopbackHttpServer watch(port);
    ASSERT_TRUE(watch.IsListening());

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(100));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(main); }, 10000));
    // The window shows again after the run; a failed download would show its message first.
    ASSERT_TRUE(WaitUntil(
        [&] { return IsWindowVisible(main) || driver::FindMessageBox(program.TopLevelWindows(true)); }, 60000));
    ASSERT_TRUE(IsWindowVisible(main)) << "a download failed";
    // Then the report, owned by the window: the value that starts nothing is all it names.
    ASSERT_TRUE(WaitUntil([&] { return driver::FindMessageBox(program.TopLevelWindows(true), main) != nullptr; }));
    const HWND report = driver::FindMessageBox(program.TopLevelWindows(true), main);
    EXPECT_EQ(driver::MessageBoxText(report), L"readme：已跳过");
    driver::PressDialogButton(report, IDOK);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 5u);
    const std::vector<std::pair<std::string, std::string>> started = {
        {"o0.exe", "/S /n=0"}, {"o1.exe", "/S /n=1"}, {"h.exe", "/h"}, {"setup.exe", "/c"}, {"setup.exe", "/d"}};
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].name, started[i].first);
        EXPECT_EQ(runs[i].arguments, started[i].second);
    }
    EXPECT_NE(runs[3].folder, runs[4].folder);
    EXPECT_EQ(watch.Requests().size(), 0u);
    // The start's own refresh and update check are all the servers hear of.
    for (const RecordedRequest& request : m_catalogueServer.Requests())
        EXPECT_EQ(request.path, Narrow(kCataloguePath));
    for (const RecordedRequest& request : m_updateServer.Requests())
        EXPECT_EQ(request.path, Narrow(kUpdateDescriptionPath));
}

namespace {

// The tile comes to show the mark within a few seconds, as the program paints it.
bool ShowsMark(HWND tile, InstalledState state)
{
    return WaitUntil([&] { return MarkOnScreen(tile) == state; }, 5000);
}

// Per-user entries named after the installers, as the test installer writes them.
// Three programs whose installers register themselves at version 2.0 when they run: one
// already there at 2.0, one at 1.0 and one not installed.
std::vector<TestProgram> MarkedPrograms()
{
    std::vector<TestProgram> programs;
    for (const char* name : {"mark_up", "mark_old", "mark_new"})
        programs.push_back({name, std::string(name) + ".exe", std::string(name) + ".exe /S", "", name, "2.0"});
    return programs;
}

}  // namespace

// A one-key run of all three downloads nothing for the one up to date and installs the
// others; the marks follow what the run installed, without a restart.
TEST_F(InstallRun, OneKeySkipsWhatIsUpToDateAndTheMarksFollowTheRun)
{
    const auto programs = MarkedPrograms();
    const ScratchUninstallEntries entries({L"mark_up", L"mark_old", L"mark_new"});
    ASSERT_TRUE(entries.Write(L"mark_up", L"2.0"));
    ASSERT_TRUE(entries.Write(L"mark_old", L"1.0"));
    ProgramCopy copy(L"marks");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"M", programs}}, CatalogueServer())));
    ServeInstallers(programs);

    auto environment = InstallerEnvironment(100);
    environment.push_back(L"TEST_INSTALLER_UNINSTALL_VERSION=2.0");
    RunningProgram program(copy.exe(), L"", environment);
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    auto tiles = Tiles(main);
    ASSERT_EQ(tiles.size(), 3u);
    EXPECT_TRUE(ShowsMark(tiles[0], InstalledState::UpToDate)) << "已安装";
    EXPECT_TRUE(ShowsMark(tiles[1], InstalledState::Older)) << "可更新";
    EXPECT_TRUE(ShowsMark(tiles[2], InstalledState::NotInstalled));

    SendMessageW(ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(main); }, 10000));
    ASSERT_TRUE(WaitUntil(
        [&] { return IsWindowVisible(main) || driver::FindMessageBox(program.TopLevelWindows(true)); }, 60000));
    ASSERT_EQ(driver::FindMessageBox(program.TopLevelWindows(true)), nullptr) << "a download failed";

    EXPECT_EQ(m_catalogueServer.CountRequests("HEAD", "/soft/mark_up.exe"), 0u) << "no request for its installer";
    EXPECT_EQ(m_catalogueServer.CountRequests("GET", "/soft/mark_up.exe"), 0u);
    const auto runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].name, "mark_old.exe") << "the older one installs as usual";
    EXPECT_EQ(runs[1].name, "mark_new.exe");

    tiles = Tiles(main);
    ASSERT_EQ(tiles.size(), 3u);
    for (size_t k = 0; k < tiles.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(ShowsMark(tiles[k], InstalledState::UpToDate)) << "已安装 after the run";
        EXPECT_TRUE(IsChecked(tiles[k])) << "the marks of the run stay ticked";
    }
}

// A tile's own button is the user's request for that program: a repair or a reinstall.
TEST_F(InstallRun, ATilesOwnButtonInstallsAnUpToDateProgram)
{
    const auto programs = MarkedPrograms();
    const ScratchUninstallEntries entries({L"mark_up", L"mark_old", L"mark_new"});
    ASSERT_TRUE(entries.Write(L"mark_up", L"2.0"));
    ProgramCopy copy(L"own");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"M", programs}}, CatalogueServer())));
    ServeInstallers(programs);

    RunningProgram program(copy.exe(), L"", InstallerEnvironment(100));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);
    const HWND tile = Tiles(main)[0];
    ASSERT_TRUE(ShowsMark(tile, InstalledState::UpToDate));
    PostMessageW(ChildById(tile, IDC_TILE_INSTALL), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 1; }, 30000));
    EXPECT_EQ(Runs()[0].name, "mark_up.exe");
    EXPECT_EQ(m_catalogueServer.CountRequests("GET", "/soft/mark_up.exe"), 1u);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000));
}

// Last year's catalogue, still signed, served after this year's: the keyed program keeps the
// newer one, and refuses the older one on disk too, saying why.
TEST_F(Program, AKeyedBuildRefusesASignedCatalogueOlderThanOneItTook)
{
    SavedUserValue saved(kUserSettingsKey, kHighestCatalogueSerialValue);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kUserSettingsKey, kHighestCatalogueSerialValue);
    const auto serveSigned = [&](const std::string& serial, const std::string& group) {
        std::string xml = CatalogueXml({{group, {{group, "p.exe", "p.exe", std::string(64, 'a')}}}}, CatalogueServer());
        xml.insert(xml.find("<array>") + 7, "<dict><key>catalogueSerial</key><integer>" + serial + "</integer></dict>");
        m_catalogueServer.Serve("/AppLib/AppLib.xml", Body(xml));
        m_catalogueServer.Serve("/AppLib/AppLib.xml.sig", Body(test_signer::Sign(xml)));
        return xml;
    };
    ProgramCopy copy(L"serial", L"SoftwareInstallerTestKey.exe");
    const std::wstring local = copy.appLib() + L"\\AppLib.xml";
    DeleteFileW(local.c_str());  // the shipped sample is not signed
    const std::string newer = serveSigned("2026120901", "Newer");
    auto program = std::make_unique<RunningProgram>(copy.exe());
    HWND main = StartAndWait(*program);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(GroupButton(main, 0)) == L"Newer"; }, 20000));

    const std::string older = serveSigned("2026110101", "Older");
    program = std::make_unique<RunningProgram>(copy.exe());
    main = StartAndWait(*program);
    ASSERT_TRUE(WaitUntil([&] { return m_catalogueServer.CountRequests("GET", "/AppLib/AppLib.xml.sig") >= 2; }, 20000));
    // Several ticks of the 500 ms watch: a swap would show the older group.
    EXPECT_FALSE(WaitUntil([&] { return WindowText(GroupButton(main, 0)) != L"Newer"; }, 3000));
    EXPECT_EQ(ReadWholeFile(local), newer);

    ASSERT_TRUE(WriteWholeFile(local, older) && WriteWholeFile(local + L".sig", test_signer::Sign(older)));
    program = std::make_unique<RunningProgram>(copy.exe());
    const HWND box = program->WaitForMessageBox(20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(driver::MessageBoxText(box), L"软件目录文件“" + local +
                                               L"”比本机已经用过的目录旧，可能被人换成了旧版，其中的软件不会显示，也不会安装，"
                                               L"程序将等待从服务器取得新的目录。");
    EXPECT_EQ(GroupButton(StartAndWait(*program), 0), nullptr);
}

namespace {

// The program at its prefix's system DPI: ctest runs these in prefixes of their own at 144
// and 120 dpi (program_test_dpi*); in the 96-dpi prefix they are skipped.
class ScaledDisplay : public InstallRun {
protected:
    void SetUp() override
    {
        if (ui::IsUnscaled())
            GTEST_SKIP() << "96 dpi; run through ctest's program_test_dpi144 and program_test_dpi120";
        InstallRun::SetUp();
    }
};

COLORREF ScreenPixel(HWND hwnd, int x, int y)
{
    POINT point = {x, y};
    ClientToScreen(hwnd, &point);
    const HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, point.x, point.y);
    ReleaseDC(nullptr, screen);
    return colour;
}

bool Near(COLORREF a, COLORREF b, int tolerance)
{
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

// The right end of the dark ink in a band of a window's client area, or -1.
int InkRight(HWND hwnd, int left, int top, int bottom)
{
    const RECT client = ui::ClientRect(hwnd);
    for (int x = client.right - 1; x >= left; --x) {
        for (int y = top; y < bottom; ++y) {
            if (Near(ScreenPixel(hwnd, x, y), RGB(0, 0, 0), 96))
                return x + 1;
        }
    }
    return -1;
}

}  // namespace

TEST_F(ScaledDisplay, TheWindowItsTilesAndTheDialogGrowWithTheDisplay)
{
    const ui::GdiplusSession gdiplus;
    std::vector<TestProgram> programs = Programs(1, "a");
    programs[0].name = "ZipTool 压缩工具";
    ProgramCopy copy(L"scaled");
    ASSERT_TRUE(copy.WriteCatalogue(CatalogueXml({{"A", programs}}, CatalogueServer())));
    ServeInstallers(programs);
    RunningProgram program(copy.exe(), L"", InstallerEnvironment(3000));
    const HWND main = StartAndWait(program);
    ASSERT_NE(main, nullptr);

    RECT window;
    GetWindowRect(main, &window);
    // 599 at 125 % is 748.75 and at 150 % 898.5: every length rounds to the nearest pixel,
    // halves up.
    const SIZE expectedWindow = ui::SystemDpi() == 120 ? SIZE{1000, 749} : SIZE{1200, 899};
    EXPECT_EQ(window.right - window.left, expectedWindow.cx);
    EXPECT_EQ(window.bottom - window.top, expectedWindow.cy);
    const struct {
        int id;
        RECT rect;  // at 96 dpi
    } children[] = {
        {IDC_CLOSE, {770, 1, 799, 18}}, {IDC_SOFTWARE_LIST, {4, 87, 796, 543}}, {IDC_FIRST_GROUP, {22, 2, 102, 87}}};
    for (const auto& c : children) {
        SCOPED_TRACE(c.id);
        const RECT expected = ui::Scaled(c.rect);
        const RECT shown = driver::ClientRectInParent(ChildById(main, c.id));
        EXPECT_TRUE(EqualRect(&expected, &shown));
    }

    // The name's ink reaches as far as its text's extent in the names' font: it is not cut.
    const HWND tile = Tiles(main)[0];
    const ui::UniqueFont font = ui::CreateSkinFont(FW_BOLD);
    SIZE extent = {};
    {
        const ui::WindowDc dc(tile);
        const ui::SelectedObject selected(dc.get(), font.get());
        GetTextExtentPoint32W(dc.get(), L"ZipTool 压缩工具", 12, &extent);
    }
    const int nameLeft = ui::Scaled(94);
    EXPECT_GE(InkRight(tile, nameLeft, ui::Scaled(22), ui::Scaled(47)), nameLeft + extent.cx - ui::Scaled(2));

    // The background, resampled: a few points away from its edges and from every child.
    CGdiPlusBitmapResource background;
    ASSERT_TRUE(background.LoadFromFile(copy.dir() + L"\\AppLib\\Skin\\window_background.jpg"));
    for (const POINT point : {POINT{400, 575}, POINT{500, 50}, POINT{700, 595}}) {
        SCOPED_TRACE(point.x);
        const RECT at = background.PixelRect({point.x, point.y, point.x, point.y});
        Gdiplus::Color colour;
        background.bitmap()->GetPixel(at.left, at.top, &colour);
        EXPECT_TRUE(Near(ScreenPixel(main, ui::Scaled(point.x), ui::Scaled(point.y)),
                         RGB(colour.GetR(), colour.GetG(), colour.GetB()), 24));
    }

    // The dialog keeps its template's size, which grows with the font; its close button
    // stands at its place scaled.
    ClickCheckBox(tile);
    ClickImageButton(ChildById(main, IDC_ONE_KEY_INSTALL));
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (dialog = FindProgressDialog(program)) != nullptr; }, 10000));
    const RECT client = ui::ClientRect(dialog);
    EXPECT_GE(client.right, ui::Scaled(401));
    const RECT close = ui::Scaled(RECT{372, 0, 401, 17});
    const RECT closeShown = driver::ClientRectInParent(ChildById(dialog, IDC_PROGRESS_CLOSE));
    EXPECT_TRUE(EqualRect(&close, &closeShown));

    // Its background fills the client: each corner of the client shows the picture's corner.
    CGdiPlusBitmapResource dialogBackground;
    ASSERT_TRUE(dialogBackground.LoadFromResource(IDR_IMAGES_PROGRESS_BACKGROUND, L"IMAGES"));
    const UINT right = dialogBackground.bitmap()->GetWidth() - 1;
    const UINT bottom = dialogBackground.bitmap()->GetHeight() - 1;
    const struct {
        POINT shown;
        UINT x, y;  // in the picture's pixels
    } corners[] = {{{0, 0}, 0, 0},
                   {{client.right - 1, 0}, right, 0},
                   {{0, client.bottom - 1}, 0, bottom},
                   {{client.right - 1, client.bottom - 1}, right, bottom}};
    for (const auto& corner : corners) {
        SCOPED_TRACE(corner.shown.x + corner.shown.y);
        Gdiplus::Color colour;
        dialogBackground.bitmap()->GetPixel(static_cast<INT>(corner.x), static_cast<INT>(corner.y), &colour);
        const COLORREF expected = RGB(colour.GetR(), colour.GetG(), colour.GetB());
        EXPECT_TRUE(WaitUntil([&] { return Near(ScreenPixel(dialog, corner.shown.x, corner.shown.y), expected, 24); },
                              5000))
            << std::hex << ScreenPixel(dialog, corner.shown.x, corner.shown.y) << " vs " << expected;
    }
}
