// The main window in this process, for what the other process cannot reach: catalogue
// reloads driven by the refresh's outcome.

#include <gtest/gtest.h>

#include <string>

#include "base/autorun.h"
#include "base/folders.h"
#include "catalog/catalogue_file.h"
#include "catalog/refresh.h"
#include "net/publisher_key.h"
#include "tests/gui_harness.h"
#include "tests/mark_pixels.h"
#include "tests/test_files.h"
#include "tests/uninstall_entries.h"
#include "tests/test_signer.h"
#include "ui/main_window.h"

using gui_test::Capture;
using gui_test::ClientToScreenPoint;

namespace {

std::string CatalogueText(const std::string& groups)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n" + groups +
           "</array>\n</plist>\n";
}

std::string Group(const std::string& name, int programs)
{
    std::string xml = "<dict><key>name</key><string>" + name + "</string><key>icon</key><string>tools.png</string>"
                      "<key>applications</key><array>\n";
    for (int i = 0; i < programs; ++i) {
        xml += "<dict><key>name</key><string>" + name + std::to_string(i) +
               "</string><key>url</key><string>http://127.0.0.1/x.exe</string><key>install</key>"
               "<string>x.exe</string><key>icon</key><string>ziptool.png</string></dict>\n";
    }
    return xml + "</array></dict>\n";
}

// The window with the catalogue of the case; /autorun mode, so that no background task runs
// and the refresh's outcome is what the case sets.
class MainWindow : public testing::Test {
protected:
    void SetUp() override
    {
        m_original = ReadWholeFile(m_path);
        g_autorunMode = true;
    }
    void TearDown() override
    {
        WriteWholeFile(m_path, m_original);
        g_autorunMode = false;
        g_catalogueRefreshState = RefreshIdle;
    }

    bool Open(const std::string& catalogue)
    {
        WriteWholeFile(m_path, catalogue);
        if (!m_window.Create(nullptr, {0, 0, 800, 599}, L"U盘装系统装机必备软件包", CMainWindow::kStyle))
            return false;
        ShowWindow(m_window.hwnd(), SW_SHOW);
        return true;
    }

    // One tick of the refresh watch after the refresh replaced the file.
    void RefreshReplacedTheCatalogueWith(const std::string& catalogue)
    {
        WriteWholeFile(m_path, catalogue);
        g_catalogueRefreshState = RefreshUpdated;
        SendMessageW(m_window.hwnd(), WM_TIMER, kRefreshWatchTimer, 0);
    }

    HWND Child(int id) const { return GetDlgItem(m_window.hwnd(), id); }

    const std::wstring m_path = GetAppLibDir() + L"\\AppLib.xml";
    std::string m_original;
    CMainWindow m_window;
};

// The window of a build that carries the test key.
class KeyedMainWindow : public MainWindow {
protected:
    void TearDown() override
    {
        DeleteFileW(SignaturePathOf(m_path).c_str());
        MainWindow::TearDown();
    }

    void PutPair(const std::string& catalogue, const std::string& signedBytes) const
    {
        WriteWholeFile(m_path, catalogue);
        WriteWholeFile(SignaturePathOf(m_path), test_signer::Sign(signedBytes));
    }

    // Creates and shows the window, and reads the message box it shows meanwhile, if any.
    gui_test::SeenMessageBox OpenKeyed()
    {
        gui_test::MessageBoxWatcher watcher;
        if (!m_keyed.Create(nullptr, {0, 0, 800, 599}, L"U盘装系统装机必备软件包", CMainWindow::kStyle))
            ADD_FAILURE() << "no window";
        ShowWindow(m_keyed.hwnd(), SW_SHOW);
        PumpPending();  // the message is posted, and shown once the window is on screen
        return watcher.Finish();
    }

    CMainWindow m_keyed{&*PublisherKey()};
};

}  // namespace

// A program added to a signed catalogue on disk: the window shows nothing of it, says why in
// one sentence naming the file, and takes the catalogue a refresh brings as with none.
TEST_F(KeyedMainWindow, ACatalogueAlteredAfterSigningIsNeitherShownNorUsed)
{
    ASSERT_TRUE(PublisherKey().has_value());
    const std::string signedCatalogue = CatalogueText(Group("Signed", 2));
    PutPair(CatalogueText(Group("Signed", 3)), signedCatalogue);

    const gui_test::SeenMessageBox told = OpenKeyed();
    EXPECT_TRUE(told.seen);
    EXPECT_EQ(told.owner, m_keyed.hwnd());
    EXPECT_EQ(told.text, L"软件目录文件“" + m_path +
                             L"”未通过发布者的签名验证，其中的软件不会显示，也不会安装，程序将等待从服务器取得新的目录。");
    EXPECT_EQ(GetDlgItem(m_keyed.hwnd(), IDC_FIRST_GROUP), nullptr);
    EXPECT_EQ(m_keyed.list().ItemCount(), 0u);
    EXPECT_EQ(m_keyed.currentGroup(), -1);

    // The refresh brings the signed pair: it is shown, and nothing more is said.
    gui_test::MessageBoxWatcher quiet(1000);
    PutPair(signedCatalogue, signedCatalogue);
    g_catalogueRefreshState = RefreshUpdated;
    SendMessageW(m_keyed.hwnd(), WM_TIMER, kRefreshWatchTimer, 0);
    PumpPending();
    EXPECT_FALSE(quiet.Finish().seen);
    EXPECT_NE(GetDlgItem(m_keyed.hwnd(), IDC_FIRST_GROUP), nullptr);
    EXPECT_EQ(m_keyed.list().ItemCount(), 2u);

    // A swap to a file that does not verify empties the window and says so again.
    gui_test::MessageBoxWatcher again;
    PutPair(CatalogueText(Group("Swapped", 4)), signedCatalogue);
    SendMessageW(m_keyed.hwnd(), WM_TIMER, kRefreshWatchTimer, 0);
    PumpPending();
    EXPECT_TRUE(again.Finish().seen);
    EXPECT_EQ(GetDlgItem(m_keyed.hwnd(), IDC_FIRST_GROUP), nullptr);
    EXPECT_EQ(m_keyed.list().ItemCount(), 0u);
}

// The signed pair itself is shown at once, without a word; an unkeyed build shows any file.
TEST_F(KeyedMainWindow, ASignedCatalogueIsShownWithoutAWord)
{
    const std::string signedCatalogue = CatalogueText(Group("Signed", 2));
    PutPair(signedCatalogue, signedCatalogue);
    EXPECT_FALSE(OpenKeyed().seen);
    EXPECT_EQ(m_keyed.list().ItemCount(), 2u);
}

TEST_F(MainWindow, AReloadRebuildsTheGroupsAndClearsTheMarks)
{
    ASSERT_TRUE(Open(CatalogueText(Group("A", 3) + Group("B", 2))));
    SendMessageW(GetDlgItem(m_window.hwnd(), 134), WM_LBUTTONDOWN, 0, 0);
    ASSERT_EQ(m_window.currentGroup(), 1);
    SendMessageW(GetDlgItem(m_window.hwnd(), IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ASSERT_EQ(m_window.list().CountChecked(), 2);

    RefreshReplacedTheCatalogueWith(CatalogueText(Group("N", 4)));
    EXPECT_EQ(m_window.currentGroup(), 0);
    EXPECT_EQ(m_window.list().ItemCount(), 4u);
    EXPECT_EQ(m_window.list().CountChecked(), 0);
    EXPECT_EQ(m_window.selectAllState(), 0);
    EXPECT_NE(GetDlgItem(m_window.hwnd(), IDC_FIRST_GROUP), nullptr);
    EXPECT_EQ(GetDlgItem(m_window.hwnd(), 134), nullptr);
}

// A reload that yields no group leaves no tile pointing into the discarded catalogue.
TEST_F(MainWindow, AReloadWithoutGroupsEmptiesTheList)
{
    ASSERT_TRUE(Open(CatalogueText(Group("A", 3))));
    SendMessageW(GetDlgItem(m_window.hwnd(), IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ASSERT_EQ(m_window.list().ItemCount(), 3u);

    RefreshReplacedTheCatalogueWith(CatalogueText(""));
    EXPECT_EQ(m_window.list().ItemCount(), 0u);
    EXPECT_EQ(m_window.currentGroup(), -1);
    EXPECT_EQ(m_window.selectAllState(), 0);
    EXPECT_EQ(GetDlgItem(m_window.hwnd(), IDC_FIRST_GROUP), nullptr);
    UpdateWindow(m_window.hwnd());  // paints nothing of the old tiles
}

// A refresh that found the local file on the server changes nothing in the window, and
// the watch stops as after any refresh.
TEST_F(MainWindow, AnUnchangedCatalogueIsNotReloaded)
{
    ASSERT_TRUE(Open(CatalogueText(Group("A", 3) + Group("B", 2))));
    SendMessageW(GetDlgItem(m_window.hwnd(), 134), WM_LBUTTONDOWN, 0, 0);
    SendMessageW(GetDlgItem(m_window.hwnd(), IDC_SELECT_ALL), BM_CLICK, 0, 0);
    ASSERT_EQ(m_window.list().CountChecked(), 2);
    const HWND firstGroup = GetDlgItem(m_window.hwnd(), 133);
    ASSERT_NE(SetTimer(m_window.hwnd(), kRefreshWatchTimer, 500, nullptr), 0u);

    g_catalogueRefreshState = RefreshUnchanged;
    SendMessageW(m_window.hwnd(), WM_TIMER, kRefreshWatchTimer, 0);
    EXPECT_EQ(m_window.currentGroup(), 1);
    EXPECT_EQ(m_window.list().CountChecked(), 2);
    EXPECT_EQ(m_window.selectAllState(), SelectAll);
    EXPECT_EQ(GetDlgItem(m_window.hwnd(), 133), firstGroup) << "the group buttons were rebuilt";
    EXPECT_FALSE(KillTimer(m_window.hwnd(), kRefreshWatchTimer)) << "the watch goes on";
}

TEST_F(MainWindow, ARefreshThatEndsWhileHiddenIsNotReloaded)
{
    ASSERT_TRUE(Open(CatalogueText(Group("A", 3))));
    ShowWindow(m_window.hwnd(), SW_HIDE);
    RefreshReplacedTheCatalogueWith(CatalogueText(Group("N", 1)));
    EXPECT_EQ(m_window.list().ItemCount(), 3u);
    wchar_t caption[16] = {};
    GetWindowTextW(GetDlgItem(m_window.hwnd(), IDC_FIRST_GROUP), caption, 16);
    EXPECT_EQ(std::wstring(caption), L"A");
}

// The box and the group buttons keep or take the focus when clicked, yet the wheel scrolls
// the list wherever the focus is. Windows sends wheel input to the focus window, where Wine
// sends it to the window under the cursor: so the wheel is posted to the focus window that
// GetGUIThreadInfo reports, after real clicks.
TEST_F(MainWindow, TheWheelScrollsTheListWhateverHoldsTheFocus)
{
    ASSERT_TRUE(Open(CatalogueText(Group("A", 30) + Group("B", 30))));
    const auto clickAt = [&](HWND child) {
        RECT rect;
        GetClientRect(child, &rect);
        gui_test::MoveMouseTo(ClientToScreenPoint(child, rect.right / 2, rect.bottom / 2));
        gui_test::PressLeft();
        gui_test::ReleaseLeft();
    };
    const auto firstTileTop = [&] {
        return driver::ClientRectInParent(GetDlgItem(m_window.list().hwnd(), IDC_FIRST_TILE)).top;
    };
    const auto wheelAtTheFocus = [&] {
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        if (!GetGUIThreadInfo(GetCurrentThreadId(), &info) || !info.hwndFocus)
            return testing::AssertionFailure() << "no focus window";
        POINT cursor = {};
        GetCursorPos(&cursor);
        const int before = firstTileTop();
        PostMessageW(info.hwndFocus, WM_MOUSEWHEEL, MAKEWPARAM(0, -120), MAKELPARAM(cursor.x, cursor.y));
        if (WaitUntil([&] { return firstTileTop() == before - 40; }, 2000))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "a notch at the focus window " << driver::ClassName(info.hwndFocus)
                                           << " moved the first tile from " << before << " to " << firstTileTop();
    };

    clickAt(Child(IDC_SELECT_ALL));
    ASSERT_TRUE(WaitUntil([&] { return m_window.selectAllState() == SelectAll; }, 5000));
    EXPECT_TRUE(wheelAtTheFocus()) << "after a click on the box";

    clickAt(Child(IDC_FIRST_GROUP + 1));
    ASSERT_TRUE(WaitUntil([&] { return m_window.currentGroup() == 1; }, 5000));
    EXPECT_TRUE(wheelAtTheFocus()) << "after a click on a group button";
    gui_test::ParkMouse();
}

// Twenty groups: button 9 (742 to 822) lies under the minimise and close buttons, which stay
// visible however often it repaints, and take the clicks on them.
TEST_F(MainWindow, TheWindowButtonsStayAboveTheTenthGroup)
{
    std::string groups;
    for (int i = 0; i < 20; ++i)
        groups += Group("G" + std::to_string(i), 1);
    gui_test::ParkMouse();
    ASSERT_TRUE(Open(CatalogueText(groups)));
    const HWND main = m_window.hwnd();
    const HWND tenth = Child(IDC_FIRST_GROUP + 9);
    ASSERT_NE(tenth, nullptr);
    const Capture before(main);

    gui_test::MoveMouseTo(ClientToScreenPoint(main, 750, 50));  // on the tenth group, below the buttons
    for (int i = 0; i < 3; ++i) {  // hover, leave, hover: each repaints the group button
        InvalidateRect(tenth, nullptr, TRUE);
        UpdateWindow(tenth);
        PumpPending();
    }
    const Capture after(main);
    int changed = 0;
    for (int y = 1; y < 18; ++y)
        for (int x = 741; x < 799; ++x)
            changed += after.At(x, y) != before.At(x, y) ? 1 : 0;
    EXPECT_EQ(changed, 0) << "pixels of the minimise and close buttons painted over";
    gui_test::KeepScreenshotIfFailed(after, L"main_window_buttons_over_tenth_group");

    for (const auto& [id, x] : {std::pair{IDC_MINIMIZE, 745}, std::pair{IDC_MINIMIZE, 765},
                                std::pair{IDC_CLOSE, 775}, std::pair{IDC_CLOSE, 795}}) {
        SCOPED_TRACE(x);
        EXPECT_EQ(WindowFromPoint(ClientToScreenPoint(main, x, 10)), Child(id));
    }
    gui_test::MoveMouseTo(ClientToScreenPoint(main, 755, 10));
    gui_test::PressLeft();
    gui_test::ReleaseLeft();
    EXPECT_TRUE(WaitUntil([&] { return IsIconic(main) != FALSE; }, 5000)) << "a real click minimises";
    ShowWindow(main, SW_RESTORE);
    gui_test::ParkMouse();
}

namespace {

WNDPROC g_tileProcedure = nullptr;

// A tile that paints nothing at all: whatever shows in it was painted by someone else.
LRESULT CALLBACK PaintNothing(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        ValidateRect(hwnd, nullptr);
        return 0;
    }
    if (message == WM_ERASEBKGND)
        return 1;
    return CallWindowProcW(g_tileProcedure, hwnd, message, wParam, lParam);
}

}  // namespace

// A tile's area is painted once per repaint, by the tile: neither the main window's background
// nor the list's white ground goes under it first. A marker drawn into a tile that paints
// nothing survives each repaint exactly when its parents leave its area alone.
TEST_F(MainWindow, RepaintsLeaveATilesAreaToTheTile)
{
    ASSERT_TRUE(Open(CatalogueText(Group("A", 3))));
    UpdateWindow(m_window.hwnd());
    const HWND tile = GetDlgItem(m_window.list().hwnd(), IDC_FIRST_TILE);
    g_tileProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(tile, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PaintNothing)));
    constexpr COLORREF kMarker = RGB(255, 0, 255);
    const auto markerSurvives = [&](HWND repainted, UINT flags) {
        {
            ui::WindowDc dc(tile);
            const ui::UniqueBrush brush(CreateSolidBrush(kMarker));
            const RECT client = ui::ClientRect(tile);
            FillRect(dc.get(), &client, brush.get());
        }
        RedrawWindow(repainted, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | flags);
        const Capture shot(tile);
        return shot.At(10, 10) == kMarker && shot.At(190, 85) == kMarker && shot.At(60, 48) == kMarker;
    };
    EXPECT_TRUE(markerSurvives(m_window.hwnd(), 0)) << "the main window painted its background under the tile";
    EXPECT_TRUE(markerSurvives(m_window.list().hwnd(), 0)) << "the list painted its white ground under the tile";
    EXPECT_TRUE(markerSurvives(m_window.hwnd(), RDW_ALLCHILDREN)) << "a repaint of the whole window";
    SetWindowLongPtrW(tile, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_tileProcedure));
}

namespace {

// A group of programs looked for by their "installed" values, at the catalogue's versions.
std::string MarkedGroup(const std::vector<std::pair<std::string, std::string>>& programs)
{
    std::string xml = "<dict><key>name</key><string>M</string><key>icon</key><string>tools.png</string>"
                      "<key>applications</key><array>\n";
    for (const auto& [installed, version] : programs) {
        xml += "<dict><key>name</key><string>" + installed +
               "</string><key>url</key><string>http://127.0.0.1/x.exe</string><key>install</key>"
               "<string>x.exe</string><key>icon</key><string>ziptool.png</string><key>installed</key><string>" +
               installed + "</string><key>version</key><string>" + version + "</string></dict>\n";
    }
    return xml + "</array></dict>\n";
}

InstalledState TileMark(const CSWListBox& list, size_t index)
{
    const Capture shot(GetDlgItem(list.hwnd(), IDC_FIRST_TILE + static_cast<int>(index)));
    return MarkShown(CountMarkPixels([&](int x, int y) { return shot.At(x, y); }));
}

}  // namespace

// The registry is read once the window has painted, then again with every catalogue swapped in.
TEST_F(MainWindow, MarksAfterTheFirstPaintAndAfterALiveSwap)
{
    const ScratchUninstallEntries entries({L"TovarinMainA", L"TovarinMainB"});
    ASSERT_TRUE(entries.Write(L"TovarinMainA", L"2.0"));
    ASSERT_TRUE(entries.Write(L"TovarinMainB", L"1.0"));
    ASSERT_TRUE(Open(CatalogueText(MarkedGroup({{"TovarinMainA", "2.0"}, {"TovarinMainB", "2.0"}, {"TovarinMainC", "1"}}))));
    EXPECT_EQ(TileMark(m_window.list(), 0), InstalledState::NotInstalled) << "the first paint waits for nothing";
    EXPECT_TRUE(WaitUntil([&] { return TileMark(m_window.list(), 0) == InstalledState::UpToDate; }, 5000));
    EXPECT_EQ(TileMark(m_window.list(), 1), InstalledState::Older);
    EXPECT_EQ(TileMark(m_window.list(), 2), InstalledState::NotInstalled);

    RefreshReplacedTheCatalogueWith(
        CatalogueText(MarkedGroup({{"TovarinMainC", "1"}, {"TovarinMainA", "2.1"}, {"TovarinMainB", "1.0"}})));
    EXPECT_EQ(TileMark(m_window.list(), 0), InstalledState::NotInstalled);
    EXPECT_EQ(TileMark(m_window.list(), 1), InstalledState::Older);
    EXPECT_EQ(TileMark(m_window.list(), 2), InstalledState::UpToDate);
}

// The shipped sample with ZipTool up to date and QuickView older: the picture in the README,
// written to build/screenshots/main-window-installed.png on every run.
TEST_F(MainWindow, TheSampleCatalogueWithBothMarks)
{
    const ScratchUninstallEntries entries({L"ZipTool", L"QuickView"});
    ASSERT_TRUE(entries.Write(L"ZipTool", L"23.01", L"ZipTool 23.01 (x64)"));
    ASSERT_TRUE(entries.Write(L"QuickView", L"4.1.2", L"QuickView 4.1.2"));
    ASSERT_TRUE(Open(m_original));
    SetWindowPos(m_window.hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ASSERT_TRUE(WaitUntil([&] { return TileMark(m_window.list(), 1) == InstalledState::Older; }, 5000));
    EXPECT_EQ(TileMark(m_window.list(), 0), InstalledState::UpToDate);
    EXPECT_EQ(TileMark(m_window.list(), 2), InstalledState::NotInstalled);
    EXPECT_TRUE(Capture(m_window.hwnd()).SavePng(gui_test::ScreenshotDir() + L"\\main-window-installed.png"));
}
