// The main window in this process, for what the other process cannot reach: catalogue
// reloads driven by the refresh's outcome.

#include <gtest/gtest.h>

#include <string>

#include "base/autorun.h"
#include "base/folders.h"
#include "catalog/refresh.h"
#include "tests/gui_harness.h"
#include "tests/test_files.h"
#include "ui/main_window.h"

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
        if (!m_window.Create(nullptr, {0, 0, 800, 599}, L"U盘装系统装机必备软件包",
                             WS_POPUP | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX))
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

    const std::wstring m_path = GetAppLibDir() + L"\\AppLib.xml";
    std::string m_original;
    CMainWindow m_window;
};

}  // namespace

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
