// The software list: the grid of tiles, their children placed from the install picture,
// scrolling by wheel and bar, the notifications the parent gets, the collectors, the failed
// creation and what the tiles paint.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/folders.h"
#include "res/resource.h"
#include "tests/gui_harness.h"
#include "tests/mark_pixels.h"
#include "ui/fonts.h"
#include "ui/installed_mark.h"
#include "ui/messages.h"
#include "ui/software_list.h"

using gui_test::Capture;
using gui_test::RecordedMessage;
using gui_test::SameRect;
using gui_test::TestParent;

namespace {

using Programs = std::vector<std::unique_ptr<CatalogueProgram>>;

constexpr COLORREF kWhite = RGB(255, 255, 255);

Programs MakePrograms(size_t count, const std::wstring& icon = L"http://applib.example.com/AppLib/AppIcons/ziptool.png")
{
    Programs programs;
    for (size_t k = 0; k < count; ++k) {
        auto program = std::make_unique<CatalogueProgram>();
        program->name = L"Program " + std::to_wstring(k);
        program->icon = icon;
        programs.push_back(std::move(program));
    }
    return programs;
}

RecordedMessage CheckChanged(WPARAM index, LPARAM checked)
{
    return {WM_ITEM_CHECK_CHANGED, index, checked};
}

RecordedMessage Install(WPARAM index)
{
    return {WM_ITEM_INSTALL, index, 0};
}

// What a list's scroll bar shows: its track, read in column 6 (a hidden bar is a white
// strip), and the rows of its thumb, read in column 2, where only the thumb is drawn.
struct BarPicture {
    bool track = false;
    int thumbTop = 0;
    int thumbBottom = 0;  // equal to thumbTop: no thumb
};

BarPicture BarShown(HWND bar)
{
    const Capture shot(bar);
    BarPicture shown;
    bool inThumb = false;
    for (int y = 0; y < shot.height(); ++y) {
        shown.track = shown.track || shot.At(6, y) != kWhite;
        if (shot.At(2, y) == kWhite)
            continue;
        shown.thumbTop = inThumb ? shown.thumbTop : y;
        shown.thumbBottom = y + 1;
        inThumb = true;
    }
    return shown;
}

// The thumb's top for the list's offset: the thumb moves through the rows it leaves free as
// the offset goes through the range.
int ThumbTopFor(int offset, int max, int freeHeight)
{
    return static_cast<int>(static_cast<long long>(offset) * freeHeight / max);
}

// The list as the main window places it: 792 x 456 at (4, 87).
class SoftwareListTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Create(list), nullptr); }

    HWND Create(CSWListBox& box)
    {
        return box.Create(parent.hwnd(), {4, 87, 796, 543}, L"软件列表", WS_CHILD | WS_VISIBLE, 0, 130);
    }

    void Fill(size_t count)
    {
        programs = MakePrograms(count);
        list.SetItems(programs);
    }

    void Wheel(int delta)
    {
        SendMessageW(list.hwnd(), WM_MOUSEWHEEL, MAKEWPARAM(0, delta), 0);
    }

    HWND Tile(size_t k) const { return GetDlgItem(list.hwnd(), IDC_FIRST_TILE + static_cast<int>(k)); }
    HWND InstallButton(size_t k) const { return GetDlgItem(Tile(k), 1); }
    HWND CheckBox(size_t k) const { return GetDlgItem(Tile(k), 2); }
    HWND Bar() const { return GetDlgItem(list.hwnd(), IDC_LIST_SCROLL_BAR); }
    int TileTop(size_t k) const { return driver::ClientRectInParent(Tile(k)).top; }
    int Offset() const { return -TileTop(0); }  // how far the tiles have moved up

    std::vector<RecordedMessage> TakeMessages()
    {
        std::vector<RecordedMessage> messages;
        messages.swap(parent.messages);
        return messages;
    }

    TestParent parent;
    Programs programs;  // outlives the list: the tiles borrow the records
    CSWListBox list;
};

}  // namespace

TEST_F(SoftwareListTest, TilesFillFourColumnsOf194By91)
{
    Fill(30);
    ASSERT_EQ(list.ItemCount(), 30u);
    for (size_t k = 0; k < 30; ++k) {
        SCOPED_TRACE(k);
        const int left = static_cast<int>(k % 4) * 194;
        const int top = static_cast<int>(k / 4) * 91;
        ASSERT_NE(Tile(k), nullptr) << "control id 100 + k";
        EXPECT_TRUE(SameRect(driver::ClientRectInParent(Tile(k)), {left, top, left + 194, top + 91}));
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(Tile(k), GWL_STYLE)), 0x54000000u);
        EXPECT_EQ(GetWindowTextLengthW(Tile(k)), 0);
    }
    const HWND bar = GetDlgItem(list.hwnd(), 10);
    EXPECT_EQ(driver::ClassName(bar), L"Tovarin:CDTVerticalScrollBar");
    EXPECT_TRUE(SameRect(driver::ClientRectInParent(bar), {776, 0, 792, 456}));
}

// Stands a picture of its own in for the shipped "item_install_button.png" of the test's copy
// of the skin, and puts the shipped one back afterwards.
class InstallImageTest : public SoftwareListTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileW(m_shipped.c_str(), m_backup.c_str(), FALSE));
        SoftwareListTest::SetUp();
    }
    void TearDown() override
    {
        EXPECT_TRUE(CopyFileW(m_backup.c_str(), m_shipped.c_str(), FALSE));
        DeleteFileW(m_backup.c_str());
    }

    const std::wstring m_shipped = GetSkinDir() + L"\\item_install_button.png";
    const std::wstring m_backup = GetSkinDir() + L"\\item_install_button.png.shipped";
};

TEST_F(InstallImageTest, TheInstallButtonAndCheckBoxArePlacedFromThePicture)
{
    struct Case {
        const char* what;
        int sliceWidth, height;  // 0: the shipped picture, 64 x 24 slices
        RECT button, box;
    } cases[] = {
        {"shipped", 0, 0, {94, 48, 158, 72}, {164, 53, 178, 67}},
        {"odd height: the box is 15 tall", 50, 21, {94, 51, 144, 72}, {150, 54, 164, 69}},
        {"even height", 30, 18, {94, 54, 124, 72}, {130, 56, 144, 70}},
    };
    const COLORREF slices[4] = {RGB(200, 0, 0), RGB(0, 200, 0), RGB(0, 0, 200), RGB(200, 200, 0)};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.sliceWidth) {
            ASSERT_TRUE(gui_test::WriteSlicesPng(m_shipped, c.sliceWidth, c.height,
                                                 {slices[0], slices[1], slices[2], slices[3]}));
        }
        CSWListBox box;
        ASSERT_NE(Create(box), nullptr);
        programs = MakePrograms(1);
        box.SetItems(programs);
        const HWND tile = GetDlgItem(box.hwnd(), IDC_FIRST_TILE);
        const HWND button = GetDlgItem(tile, 1);
        const HWND check = GetDlgItem(tile, 2);
        EXPECT_TRUE(SameRect(driver::ClientRectInParent(button), c.button));
        EXPECT_TRUE(SameRect(driver::ClientRectInParent(check), c.box));
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(button, GWL_STYLE)), 0x5000000Bu);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(check, GWL_STYLE)), 0x50000003u);
        if (!c.sliceWidth)
            continue;

        // The button shows slice 0, 1 when hovered and 2 while pushed, stretched to its size.
        const POINT inside = {c.sliceWidth / 2, c.height / 2};
        EXPECT_TRUE(gui_test::ColoursNear(Capture(button).At(inside.x, inside.y), slices[0], 2));
        SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(inside.x, inside.y));
        EXPECT_TRUE(gui_test::ColoursNear(Capture(button).At(inside.x, inside.y), slices[1], 2));
        SendMessageW(button, BM_SETSTATE, TRUE, 0);
        EXPECT_TRUE(gui_test::ColoursNear(Capture(button).At(inside.x, inside.y), slices[2], 2));
    }
}

TEST_F(InstallImageTest, WithoutThePictureCreationFailsWithAMessage)
{
    ASSERT_TRUE(DeleteFileW(m_shipped.c_str()));
    CSWListBox box;
    gui_test::MessageBoxWatcher watcher;
    EXPECT_EQ(Create(box), nullptr);
    const gui_test::SeenMessageBox seen = watcher.Finish();
    EXPECT_EQ(box.hwnd(), nullptr);
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.caption, L"出错了");
    EXPECT_EQ(seen.text, L"加载Skin/item_install_button.png出错");
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_EQ(GetWindow(parent.hwnd(), GW_CHILD), list.hwnd()) << "no second list among the parent's children";
    EXPECT_EQ(GetWindow(list.hwnd(), GW_HWNDNEXT), nullptr);
}

// The range is how far the rows of 91 pixels reach below the 456-pixel list, and the page
// is the list's height: the thumb is to the bar what 456 is to the range + 456.
TEST_F(SoftwareListTest, TheBarRangeIsWhatTheRowsOverhang)
{
    struct Case {
        size_t tiles;
        bool visible;
        int max;
        int thumbHeight;  // 0: an empty range has no thumb
    } cases[] = {{0, false, 0, 0},     {16, false, 0, 0},     {17, true, 0, 0},      {20, true, 0, 0},
                 {21, true, 90, 380},  {24, true, 90, 380},   {25, true, 181, 326},  {32, true, 272, 285},
                 {33, true, 363, 253}, {500, true, 10919, 18}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tiles);
        Fill(c.tiles);
        const BarPicture shown = BarShown(Bar());
        EXPECT_EQ(shown.track, c.visible);
        if (!c.visible)
            continue;
        EXPECT_EQ(TileTop(0), 0);
        EXPECT_EQ(shown.thumbTop, 0);
        EXPECT_EQ(shown.thumbBottom - shown.thumbTop, c.thumbHeight);
        // The bottom of the track asks for the range's end.
        SendMessageW(Bar(), WM_LBUTTONDOWN, 0, MAKELPARAM(5, 455));
        SendMessageW(Bar(), WM_LBUTTONUP, 0, MAKELPARAM(5, 455));
        EXPECT_EQ(Offset(), c.max);
    }
}

// For any count the bar reaches the last row by a track click and by a drag; its thumb
// touches the bottom exactly when the last row is in view and follows the cursor 1:1.
TEST_F(SoftwareListTest, TheBarReachesEveryRowForAnyCount)
{
    const HWND bar = Bar();
    const auto send = [&](UINT message, int x, int y) { SendMessageW(bar, message, 0, MAKELPARAM(x, y)); };
    struct Case {
        size_t tiles;
        int max;
        int dragStep;  // pixels per drag step; coarser for many tiles, whose every step moves them all
    } cases[] = {{21, 90, 1}, {28, 181, 1}, {32, 272, 1}, {40, 454, 1}, {101, 1910, 7}, {500, 10919, 37}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tiles);
        Fill(c.tiles);
        const int lastRowTop = static_cast<int>((c.tiles - 1) / 4) * 91;

        send(WM_LBUTTONDOWN, 5, 455);  // the track below the thumb
        EXPECT_EQ(Offset(), c.max);
        EXPECT_EQ(driver::ClientRectInParent(Tile(c.tiles - 1)).bottom, 456) << "the last row in view";
        EXPECT_EQ(BarShown(bar).thumbBottom, 456);
        SendMessageW(list.hwnd(), WM_VSCROLL, static_cast<WPARAM>(c.max - 1), 0);
        EXPECT_EQ(TileTop(c.tiles - 1), lastRowTop - (c.max - 1));
        EXPECT_LT(BarShown(bar).thumbBottom, 456) << "one pixel of the last row hidden";
        send(WM_LBUTTONDOWN, 5, 5);  // the top of the track
        EXPECT_EQ(TileTop(0), 0);

        const BarPicture start = BarShown(bar);
        const int freeHeight = 456 - (start.thumbBottom - start.thumbTop);
        send(WM_LBUTTONDOWN, 5, 2);  // on the thumb, 2 pixels below its top
        ASSERT_EQ(GetCapture(), bar);
        for (int top = c.dragStep;; top = std::min(top + c.dragStep, freeHeight)) {
            send(WM_MOUSEMOVE, 5, top + 2);
            ASSERT_EQ(BarShown(bar).thumbTop, top) << "under the cursor";
            ASSERT_EQ(ThumbTopFor(Offset(), c.max, freeHeight), top) << "the tiles where the thumb says";
            if (top == freeHeight)
                break;
        }
        send(WM_LBUTTONUP, 5, freeHeight + 2);
        EXPECT_EQ(Offset(), c.max) << "the drag ends at the last row";
        EXPECT_EQ(driver::ClientRectInParent(Tile(c.tiles - 1)).bottom, 456);
    }
}

TEST_F(SoftwareListTest, SeventeenToTwentyTilesFitAndDoNotMove)
{
    for (size_t tiles : {17u, 20u}) {
        SCOPED_TRACE(tiles);
        Fill(tiles);
        for (int delta : {-120, 120, -1200}) {
            Wheel(delta);
            EXPECT_EQ(TileTop(0), 0);
            EXPECT_EQ(TileTop(tiles - 1), 364);
        }
    }
}

TEST_F(SoftwareListTest, ThirtyTilesMoveFortyPixelsANotchAndStopAtTheEnd)
{
    Fill(30);  // eight rows, 728 pixels: 272 to scroll, a thumb of 285 with 171 rows free
    for (int expected : {40, 80, 120, 160, 200, 240, 272, 272}) {
        Wheel(-120);
        EXPECT_EQ(Offset(), expected);
        EXPECT_EQ(BarShown(Bar()).thumbTop, ThumbTopFor(expected, 272, 171));
    }
    EXPECT_EQ(driver::ClientRectInParent(Tile(29)).bottom, 456);
    for (int expected : {232, 192, 152, 112, 72, 32, 0, 0}) {
        Wheel(120);
        EXPECT_EQ(Offset(), expected);
        EXPECT_EQ(BarShown(Bar()).thumbTop, ThumbTopFor(expected, 272, 171));
    }
}

TEST_F(SoftwareListTest, WheelDeltasAreDividedByThreeTowardZero)
{
    Fill(30);
    Wheel(-120);
    struct Case {
        int delta;
        int offset;  // after the delta, from 40
    } cases[] = {{-2, 40}, {-1, 40}, {1, 40}, {2, 40}, {-5, 41}, {5, 39}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delta);
        Wheel(c.delta);
        EXPECT_EQ(Offset(), c.offset);
        Wheel(3 * (c.offset - 40));  // back to 40
    }
}

// 40 tiles: ten rows of 91 overhang the list by 454 pixels; a 228-pixel thumb with 228 pixels
// to move in, so two positions per pixel.
TEST_F(SoftwareListTest, TheBarScrollsTheListWithinTheTiles)
{
    Fill(40);
    const HWND bar = Bar();
    const auto send = [&](UINT message, int x, int y) { SendMessageW(bar, message, 0, MAKELPARAM(x, y)); };
    send(WM_LBUTTONDOWN, 5, 150);  // on the thumb
    send(WM_MOUSEMOVE, 5, 160);
    EXPECT_EQ(Offset(), 20);
    EXPECT_EQ(BarShown(bar).thumbTop, 10) << "written back";
    send(WM_MOUSEMOVE, 5, 170);
    EXPECT_EQ(Offset(), 40);
    EXPECT_EQ(TileTop(4), 91 - 40);
    send(WM_LBUTTONUP, 5, 170);

    send(WM_LBUTTONDOWN, 5, 440);  // below the free height: the end
    EXPECT_EQ(Offset(), 454) << "the bar's end is the tiles' end";
    EXPECT_EQ(BarShown(bar).thumbBottom, 456);
    EXPECT_EQ(driver::ClientRectInParent(Tile(39)).bottom, 456);
    send(WM_LBUTTONDOWN, 5, 5);  // the start
    EXPECT_EQ(TileTop(0), 0);
    EXPECT_EQ(BarShown(bar).thumbTop, 0);
}

TEST_F(SoftwareListTest, AScrolledGroupReplacedBySixteenHidesTheBarAndNothingMoves)
{
    Fill(30);
    SendMessageW(list.hwnd(), WM_VSCROLL, 120, 0);
    const std::vector<HWND> old = {Tile(0), Tile(29)};
    Fill(16);
    EXPECT_FALSE(IsWindow(old[0]));
    EXPECT_FALSE(IsWindow(old[1]));
    EXPECT_FALSE(BarShown(Bar()).track);
    EXPECT_EQ(TileTop(0), 0) << "laid out from the top";
    for (int delta : {-120, 120}) {
        Wheel(delta);
        EXPECT_EQ(TileTop(0), 0);
    }
}

TEST_F(SoftwareListTest, AnEmptyGroupHasNothingToScrollOrCollect)
{
    Fill(30);
    const HWND first = Tile(0);
    Fill(0);
    EXPECT_EQ(list.ItemCount(), 0u);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_FALSE(BarShown(Bar()).track);
    Wheel(-120);
    SendMessageW(list.hwnd(), WM_VSCROLL, 100, 0);
    list.SetAllChecked(true);
    EXPECT_EQ(list.CountChecked(), 0);
    std::vector<const CatalogueProgram*> collected;
    list.CollectChecked(collected);
    list.CollectOne(collected, 0);
    EXPECT_TRUE(collected.empty());
    EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(SoftwareListTest, MarksAndInstallsReachTheParent)
{
    Fill(8);
    TakeMessages();
    SendMessageW(CheckBox(3), BM_CLICK, 0, 0);
    EXPECT_EQ(TakeMessages(), std::vector<RecordedMessage>{CheckChanged(3, 1)});
    SendMessageW(CheckBox(3), BM_CLICK, 0, 0);
    EXPECT_EQ(TakeMessages(), std::vector<RecordedMessage>{CheckChanged(3, 0)});

    // The tile's free area toggles like the box.
    SendMessageW(Tile(5), WM_LBUTTONUP, 0, MAKELPARAM(10, 80));
    EXPECT_EQ(TakeMessages(), std::vector<RecordedMessage>{CheckChanged(5, 1)});
    EXPECT_EQ(SendMessageW(CheckBox(5), BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageW(Tile(5), WM_LBUTTONUP, 0, MAKELPARAM(10, 80));
    EXPECT_EQ(TakeMessages(), std::vector<RecordedMessage>{CheckChanged(5, 0)});

    // The same with a real click.
    gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(Tile(6), 20, 80));
    gui_test::PressLeft();
    gui_test::ReleaseLeft();
    EXPECT_TRUE(WaitUntil([&] { return !parent.messages.empty(); }, 5000));
    EXPECT_EQ(TakeMessages(), std::vector<RecordedMessage>{CheckChanged(6, 1)});

    SendMessageW(InstallButton(2), BM_CLICK, 0, 0);
    EXPECT_EQ(TakeMessages(), std::vector<RecordedMessage>{Install(2)});
}

TEST_F(SoftwareListTest, TilesAfterTheHundredAndFirstAreRelayedToo)
{
    Fill(110);
    TakeMessages();
    for (size_t k : {100u, 101u, 109u}) {
        SCOPED_TRACE(k);
        SendMessageW(CheckBox(k), BM_CLICK, 0, 0);
        SendMessageW(InstallButton(k), BM_CLICK, 0, 0);
        EXPECT_EQ(TakeMessages(), (std::vector<RecordedMessage>{CheckChanged(k, 1), Install(k)}));
    }
    // Ids that are no tile of the list are not relayed.
    for (WORD id : {WORD{99}, WORD{210}})
        SendMessageW(list.hwnd(), WM_COMMAND, MAKEWPARAM(id, ITEMN_CHECKED), 0);
    EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(SoftwareListTest, SetAllCheckedSendsNothingAndTheCollectorsFollowTileOrder)
{
    Fill(10);
    for (size_t k : {7u, 2u, 5u})
        SendMessageW(CheckBox(k), BM_CLICK, 0, 0);
    TakeMessages();
    EXPECT_EQ(list.CountChecked(), 3);

    const CatalogueProgram before;
    std::vector<const CatalogueProgram*> collected = {&before};
    list.CollectChecked(collected);
    EXPECT_EQ(collected, (std::vector<const CatalogueProgram*>{&before, programs[2].get(), programs[5].get(),
                                                               programs[7].get()}));
    collected.clear();
    list.CollectOne(collected, 4);
    list.CollectOne(collected, 10);
    EXPECT_EQ(collected, std::vector<const CatalogueProgram*>{programs[4].get()}) << "index 10 has no tile";

    list.SetAllChecked(true);
    EXPECT_EQ(list.CountChecked(), 10);
    list.SetAllChecked(false);
    EXPECT_EQ(list.CountChecked(), 0);
    EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(SoftwareListTest, TilesPaintIconAndNameOnWhite)
{
    const std::wstring iconPath = GetAppIconsDir() + L"\\list_test_icon.png";
    const COLORREF iconColour = RGB(0, 120, 200);
    ASSERT_TRUE(gui_test::WriteSlicesPng(iconPath, 16, 16, {iconColour}));
    programs = MakePrograms(1, L"http://applib.example.com/AppLib/AppIcons/list_test_icon.png");
    Programs missing = MakePrograms(1, L"no_such_icon.png");
    programs.push_back(std::move(missing[0]));
    list.SetItems(programs);

    const auto isInk = [](COLORREF c) { return GetRValue(c) < 128 && GetGValue(c) < 128 && GetBValue(c) < 128; };
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        const Capture shot(Tile(k));
        const COLORREF icon = k == 0 ? iconColour : kWhite;
        // The icon stretched into 48 x 48 at (36, 24), sampled inside its edges.
        for (POINT p : {POINT{39, 27}, POINT{60, 48}, POINT{80, 68}})
            EXPECT_TRUE(gui_test::ColoursNear(shot.At(p.x, p.y), icon, 2)) << p.x << ", " << p.y;
        for (POINT p : {POINT{33, 48}, POINT{87, 48}, POINT{60, 21}, POINT{60, 75}, POINT{2, 2}, POINT{190, 88}})
            EXPECT_EQ(shot.At(p.x, p.y), kWhite) << p.x << ", " << p.y;

        // The name from (94, 22), in black: ink there and nowhere above it or left of it.
        int inkInName = 0;
        int inkElsewhere = 0;
        for (int y = 0; y < 47; ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                if (!isInk(shot.At(x, y)))
                    continue;
                (x >= 94 && y >= 22 ? inkInName : inkElsewhere) += 1;
            }
        }
        EXPECT_GT(inkInName, 20);
        EXPECT_EQ(inkElsewhere, 0);
        if (HasFailure())
            shot.SavePng(gui_test::ScreenshotDir() + L"\\software_tile_" + std::to_wstring(k) + L".png");
    }
    DeleteFileW(iconPath.c_str());
}

// A program's icon file is decoded once and kept across group changes, while a file that
// did not load is tried again by a tile made later: the refresh may have fetched it since.
TEST_F(SoftwareListTest, IconsAreDecodedOncePerFileAndAMissingOneIsTriedAgain)
{
    const std::wstring iconPath = GetAppIconsDir() + L"\\list_cache_icon.png";
    DeleteFileW(iconPath.c_str());
    programs = MakePrograms(1, L"http://applib.example.com/AppLib/AppIcons/list_cache_icon.png");
    const auto iconShown = [&] {
        list.SetItems(programs);  // as a group change does: new tiles
        return Capture(Tile(0)).At(60, 48);
    };
    const COLORREF red = RGB(200, 30, 30);
    struct Step {
        const char* what;
        COLORREF fileColour;  // what the file holds from this step on; white: no file
        COLORREF shown;
    } steps[] = {
        {"no file yet", kWhite, kWhite},
        {"the file arrived", red, red},
        {"the file changed on disk", RGB(30, 200, 30), red},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.fileColour != kWhite) {
            ASSERT_TRUE(gui_test::WriteSlicesPng(iconPath, 16, 16, {step.fileColour}));
        }
        EXPECT_TRUE(gui_test::ColoursNear(iconShown(), step.shown, 2));
    }
    DeleteFileW(iconPath.c_str());
}

// Names are drawn as written and on one line: "&" is no mnemonic prefix, and a line break
// does not send the rest to a second line below the name's band. The ink spans the name as
// measured on one line without prefix processing (up to 3 pixels short, for side bearings).
TEST_F(SoftwareListTest, NamesAreDrawnAsWrittenOnOneLine)
{
    const std::wstring names[] = {L"R&D Tools", L"A&&B", L"&W", L"Ab\nCd", L"Ab\r\nCd"};
    programs = MakePrograms(std::size(names), L"");
    for (size_t k = 0; k < std::size(names); ++k)
        programs[k]->name = names[k];
    list.SetItems(programs);
    const ui::UniqueFont nameFont = ui::CreateSkinFont(FW_BOLD);
    ui::WindowDc screen(nullptr);
    ui::SelectedObject font(screen.get(), nameFont.get());
    const auto isInk = [](COLORREF c) { return GetRValue(c) < 128 && GetGValue(c) < 128 && GetBValue(c) < 128; };
    for (size_t k = 0; k < std::size(names); ++k) {
        SCOPED_TRACE(testing::Message() << "name " << testing::PrintToString(names[k]));
        const Capture shot(Tile(k));
        RECT ink = {shot.width(), shot.height(), 0, 0};
        for (int y = 0; y < 47; ++y) {  // the name's band ends at 47
            for (int x = 94; x < shot.width(); ++x) {
                if (!isInk(shot.At(x, y)))
                    continue;
                ink = {std::min<LONG>(ink.left, x), std::min<LONG>(ink.top, y), std::max<LONG>(ink.right, x + 1),
                       std::max<LONG>(ink.bottom, y + 1)};
            }
        }
        RECT measured = {};
        DrawTextW(screen.get(), names[k].c_str(), -1, &measured, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        EXPECT_LE(ink.right - 94, measured.right);
        EXPECT_GE(ink.right - 94, measured.right - 3);
        EXPECT_LE(ink.bottom, 22 + measured.bottom) << "one line";
        if (HasFailure())
            shot.SavePng(gui_test::ScreenshotDir() + L"\\software_tile_name_" + std::to_wstring(k) + L".png");
    }
}

TEST_F(SoftwareListTest, TheListIsWhiteWhereNoTileIs)
{
    Fill(5);
    const Capture shot(list.hwnd());
    for (POINT p : {POINT{400, 300}, POINT{100, 200}, POINT{780, 10}, POINT{791, 455}})
        EXPECT_EQ(shot.At(p.x, p.y), kWhite) << p.x << ", " << p.y;
}

namespace {

RECT Outset(RECT rect, int by)
{
    InflateRect(&rect, by, by);
    return rect;
}

}  // namespace

// The mark stands in the tile's free band under the icon: the icon, the name, the install
// button and the check box keep their places and their pixels, and the mark follows every
// change of the states without a new set of tiles.
TEST_F(SoftwareListTest, InstalledTilesCarryTheirMarkClearOfEverythingElse)
{
    const std::wstring iconPath = GetAppIconsDir() + L"\\list_mark_icon.png";
    const COLORREF iconColour = RGB(0, 120, 200);
    ASSERT_TRUE(gui_test::WriteSlicesPng(iconPath, 16, 16, {iconColour}));
    programs = MakePrograms(3, L"http://applib.example.com/AppLib/AppIcons/list_mark_icon.png");
    list.SetItems(programs);
    std::vector<RECT> childRects;
    for (size_t k = 0; k < 3; ++k) {
        childRects.push_back(driver::ClientRectInParent(InstallButton(k)));
        childRects.push_back(driver::ClientRectInParent(CheckBox(k)));
    }
    const RECT tileClient = ui::ClientRect(Tile(0));
    RECT inside = {};
    EXPECT_TRUE(IntersectRect(&inside, &kInstalledMarkRect, &tileClient) && EqualRect(&inside, &kInstalledMarkRect))
        << "inside the tile";
    const RECT kIconRect = {36, 24, 84, 72};
    const RECT kNameRect = {94, 22, tileClient.right, 47};
    for (const RECT& other : {kIconRect, kNameRect, childRects[0], childRects[1]}) {
        RECT overlap = {};
        EXPECT_FALSE(IntersectRect(&overlap, &kInstalledMarkRect, &other)) << "covers nothing the tile shows";
    }

    const auto isInk = [](COLORREF c) { return GetRValue(c) < 128 && GetGValue(c) < 128 && GetBValue(c) < 128; };
    const InstalledState rounds[][3] = {
        {InstalledState::UpToDate, InstalledState::Older, InstalledState::NotInstalled},
        {InstalledState::NotInstalled, InstalledState::UpToDate, InstalledState::Older},
    };
    for (const auto& round : rounds) {
        InstalledStates states;
        for (size_t k = 0; k < 3; ++k) {
            if (round[k] != InstalledState::NotInstalled)
                states[programs[k].get()] = {round[k], L"1.0"};
        }
        list.ShowInstalledStates(states);
        for (size_t k = 0; k < 3; ++k) {
            SCOPED_TRACE(testing::Message() << "tile " << k << ", state " << static_cast<int>(round[k]));
            const Capture shot(Tile(k));
            const MarkPixels mark = CountMarkPixels([&](int x, int y) { return shot.At(x, y); });
            const int area = ui::Width(kInstalledMarkRect) * ui::Height(kInstalledMarkRect);
            EXPECT_EQ(MarkShown(mark), round[k]);
            if (round[k] == InstalledState::NotInstalled) {
                EXPECT_EQ(mark.other, area) << "no mark at all";
            } else {
                EXPECT_GT(mark.other, 20) << "its text";
            }
            // Nothing of the mark outside its place: the ring around it is the tile's white,
            // and icon, name and buttons look as on a tile without a mark.
            const MarkPixels ring =
                CountMarkPixels([&](int x, int y) { return shot.At(x, y); }, Outset(kInstalledMarkRect, 1));
            EXPECT_EQ(ring.upToDateGround, mark.upToDateGround);
            EXPECT_EQ(ring.olderGround, mark.olderGround);
            for (POINT p : {POINT{39, 27}, POINT{60, 48}, POINT{80, 68}})
                EXPECT_TRUE(gui_test::ColoursNear(shot.At(p.x, p.y), iconColour, 2)) << p.x << ", " << p.y;
            int nameInk = 0;
            for (int y = 22; y < 47; ++y) {
                for (int x = 94; x < shot.width(); ++x)
                    nameInk += isInk(shot.At(x, y)) ? 1 : 0;
            }
            EXPECT_GT(nameInk, 20);
            EXPECT_TRUE(SameRect(driver::ClientRectInParent(InstallButton(k)), childRects[2 * k]));
            EXPECT_TRUE(SameRect(driver::ClientRectInParent(CheckBox(k)), childRects[2 * k + 1]));
            if (HasFailure())
                shot.SavePng(gui_test::ScreenshotDir() + L"\\software_tile_mark_" + std::to_wstring(k) + L".png");
        }
    }
    DeleteFileW(iconPath.c_str());
}
