// The skinned vertical scroll bar: thumb geometry, track clicks, the 1:1 drag with its
// capture, the requests it sends its owner (WM_VSCROLL, wParam = the position) and what it
// paints from the embedded images.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/gui_harness.h"
#include "ui/scroll_bar.h"

using gui_test::Capture;
using gui_test::ColoursNear;
using gui_test::SameRect;
using gui_test::TestParent;

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kTrackBorder = RGB(208, 208, 208);
constexpr COLORREF kTrackInside = RGB(222, 222, 222);
constexpr COLORREF kThumbBorder = RGB(210, 210, 210);
constexpr COLORREF kThumbInside = RGB(247, 247, 247);

// The bar as the software list places it: 16 x 456 at the right of a 792 x 456 list. The
// parent plays the owner's part of the loop: it applies every request and writes it back.
class ScrollBarTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(bar.Create(parent.hwnd(), {776, 0, 792, 456}, L"Scrollbar", WS_CHILD | WS_VISIBLE, 0, 10), nullptr);
        parent.onVScroll = [this](WPARAM position) {
            bar.SetScrollState(ScrollStateChange().Pos(static_cast<int>(position)));
            InvalidateRect(bar.hwnd(), nullptr, TRUE);
        };
    }

    void Show(int min, int max, int page, int pos)
    {
        bar.SetScrollState(ScrollStateChange().Min(min).Max(max).Page(page).Pos(pos).Visible(true));
        InvalidateRect(bar.hwnd(), nullptr, TRUE);
    }

    void Send(UINT message, int x, int y) { SendMessageW(bar.hwnd(), message, 0, MAKELPARAM(x, y)); }

    // The positions asked for since the last call.
    std::vector<int> TakeRequests()
    {
        std::vector<int> requests;
        for (const auto& m : parent.messages) {
            EXPECT_EQ(m.message, static_cast<UINT>(WM_VSCROLL));
            EXPECT_EQ(m.lParam, 0);
            requests.push_back(static_cast<int>(m.wParam));
        }
        parent.messages.clear();
        return requests;
    }

    // The bar lets go of the mouse, and a move over it asks for nothing.
    void ExpectNoDrag()
    {
        EXPECT_NE(GetCapture(), bar.hwnd());
        Send(WM_MOUSEMOVE, 5, 300);
        EXPECT_TRUE(TakeRequests().empty()) << "a move still drags";
    }

    TestParent parent;
    CDTVerticalScrollBar bar;
};

}  // namespace

TEST_F(ScrollBarTest, StartsEmptyAndHidden)
{
    wchar_t text[32] = {};
    GetWindowTextW(bar.hwnd(), text, 32);
    EXPECT_EQ(std::wstring(text), L"Scrollbar");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(bar.hwnd(), GWL_STYLE)) & ~WS_CLIPSIBLINGS, 0x50000000u);
    EXPECT_EQ(GetDlgCtrlID(bar.hwnd()), 10);
    EXPECT_EQ(bar.Pos(), 0);
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Max(), 0);
    EXPECT_EQ(bar.Page(), 1);
    const Capture shot(bar.hwnd());
    for (int y = 0; y < shot.height(); ++y)
        ASSERT_EQ(shot.At(6, y), kWhite) << "no track at row " << y;
}

TEST_F(ScrollBarTest, ThumbRectangle)
{
    struct Case {
        const char* what;
        int min, max, page, pos;
        RECT thumb;
    } cases[] = {
        // The thumb is to the bar what the page is to range + page.
        {"456 of 1140: 182.4 truncated, free 274", 0, 684, 456, 342, {1, 137, 13, 319}},
        {"456 of 1254: 165.8 truncated, free 291", 0, 798, 456, 399, {1, 145, 13, 310}},
        {"position past the end stops at the free height", 0, 684, 456, 1000, {1, 274, 13, 456}},
        {"at least 5 tall", 0, 100000, 1, 0, {1, 0, 13, 5}},
        {"a range below the page: never as tall as the bar", 0, 114, 456, 0, {1, 0, 13, 364}},
        {"21 tiles in the list: 456 of 546, at the end", 0, 90, 456, 90, {1, 76, 13, 456}},
        {"the position is not offset by the minimum", 100, 784, 456, 342, {1, 137, 13, 319}},
        {"empty range: no thumb", 50, 50, 456, 50, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Show(c.min, c.max, c.page, c.pos);
        EXPECT_TRUE(SameRect(bar.GetThumbRect(), c.thumb));
    }
}

TEST_F(ScrollBarTest, TrackClicksAskForTheClickedHeight)
{
    struct Case {
        const char* what;
        int min;
        int max;
        int x, y;
        int requested;
    } cases[] = {
        {"y = 5 goes to the start", 0, 684, 5, 5, 0},
        {"the top 10 rows go to the start", 0, 684, 5, 9, 0},
        {"y = 10 is taken as it is", 0, 684, 5, 10, 24},
        {"above the thumb", 0, 684, 5, 50, 124},
        {"the minimum is added", 100, 784, 5, 50, 224},
        {"below the free height goes to the end", 0, 684, 5, 400, 684},
        {"right of the thumb's columns is track", 0, 684, 14, 200, 499},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Show(c.min, c.max, 456, 342);  // thumb rows 137 to 318, free height 274
        Send(WM_LBUTTONDOWN, c.x, c.y);
        EXPECT_EQ(TakeRequests(), std::vector<int>{c.requested});
        ExpectNoDrag();
        Send(WM_LBUTTONUP, c.x, c.y);
    }
}

// Messages, not real input: each WM_MOUSEMOVE is one drag step of exactly the distance sent,
// where real moves would be coalesced by the queue into steps that depend on timing.
TEST_F(ScrollBarTest, TheThumbFollowsTheCursorOneToOne)
{
    Show(0, 684, 456, 342);  // thumb rows 137 to 318, free height 274: 2.5 positions per pixel
    Send(WM_LBUTTONDOWN, 5, 200);
    EXPECT_EQ(GetCapture(), bar.hwnd());
    EXPECT_TRUE(TakeRequests().empty()) << "a press on the thumb asks for nothing";

    struct Step {
        int y;
        int requested;  // the smallest position whose thumb top is the cursor's
        int top;
    } steps[] = {{201, 345, 138}, {202, 347, 139}, {212, 372, 149}, {192, 323, 129},
                 {600, 684, 274}, {-300, 0, 0},    {200, 342, 137}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.y);
        Send(WM_MOUSEMOVE, 5, step.y);
        EXPECT_EQ(TakeRequests(), std::vector<int>{step.requested});
        EXPECT_EQ(bar.GetThumbRect().top, step.top) << "63 pixels above the cursor, within the free height";
    }

    // Released outside the bar: the capture still brings the release here.
    Send(WM_LBUTTONUP, -40, 600);
    ExpectNoDrag();
}

// Every pixel of the free height is a thumb top some position gives, over any range the
// list can set: the drag never lags the cursor and never skips a pixel.
TEST_F(ScrollBarTest, EveryPixelOfADragIsReachedOverTheListsRanges)
{
    for (int max : {90, 272, 684, 10919}) {
        SCOPED_TRACE(max);
        Show(0, max, 456, 0);
        const RECT start = bar.GetThumbRect();
        const int freeHeight = 456 - (start.bottom - start.top);
        Send(WM_LBUTTONDOWN, 5, start.top + 2);
        for (int top = 1; top <= freeHeight; ++top) {
            Send(WM_MOUSEMOVE, 5, top + 2);
            ASSERT_EQ(bar.GetThumbRect().top, top);
        }
        EXPECT_EQ(bar.Pos(), max);
        Send(WM_LBUTTONUP, 5, 0);
        parent.messages.clear();
    }
}

// Positions coarser than pixels: the thumb goes to the first top at or below the cursor's.
TEST_F(ScrollBarTest, OverASmallRangeTheThumbMovesInItsPositionsSteps)
{
    Show(0, 60, 30, 0);  // thumb 152 tall, free height 304: 0.197 positions per pixel
    Send(WM_LBUTTONDOWN, 5, 10);
    for (int y = 11; y <= 20; ++y)
        Send(WM_MOUSEMOVE, 5, y);
    Send(WM_MOUSEMOVE, 5, 30);
    EXPECT_EQ(TakeRequests(), (std::vector<int>{1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 4}));
    EXPECT_EQ(bar.GetThumbRect().top, 20);
}

TEST_F(ScrollBarTest, LeavingTheBarEndsTheDrag)
{
    Show(0, 684, 456, 342);  // thumb rows 137 to 318
    Send(WM_MOUSEMOVE, 5, 200);
    EXPECT_TRUE(bar.IsHover());
    Send(WM_LBUTTONDOWN, 5, 200);
    ASSERT_EQ(GetCapture(), bar.hwnd());
    SendMessageW(bar.hwnd(), WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(bar.IsHover());
    ExpectNoDrag();
}

// Real input: the press, the moves and the release outside the bar reach it as they would
// from a user, through the capture once the cursor is outside.
TEST_F(ScrollBarTest, ARealDragReleasedOutsideTheBarLetsGoOfTheMouse)
{
    Show(0, 684, 456, 342);  // thumb rows 137 to 318
    gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(bar.hwnd(), 6, 200));
    gui_test::PressLeft();
    ASSERT_TRUE(WaitUntil([&] { return GetCapture() == bar.hwnd(); }, 5000));
    gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(bar.hwnd(), 6, 238));
    ASSERT_TRUE(WaitUntil([&] { return !parent.messages.empty(); }, 5000));
    EXPECT_EQ(TakeRequests(), std::vector<int>{437}) << "the thumb 38 pixels down, at 175";

    // Wine posts no WM_MOUSELEAVE while the bar holds the capture, so the drag goes on
    // outside; Windows may end it here with a leave notification instead.
    gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(bar.hwnd(), -200, 260));
    ASSERT_TRUE(WaitUntil([&] { return !parent.messages.empty(); }, 5000));
    EXPECT_EQ(TakeRequests(), std::vector<int>{492}) << "22 pixels more, at 197";
    gui_test::ReleaseLeft();
    EXPECT_TRUE(WaitUntil([&] { return GetCapture() != bar.hwnd(); }, 5000));
    // The release ended it, not the leave notification Wine posts some 400 ms later.
    EXPECT_TRUE(bar.IsHover());
    ExpectNoDrag();
}

// Another window (a message box, say) takes the mouse mid-drag: the release goes there, so
// the drag must end when the capture goes, or later moves over the bar would still scroll.
TEST_F(ScrollBarTest, LosingTheCaptureEndsTheDrag)
{
    Show(0, 684, 456, 342);  // thumb rows 137 to 318
    Send(WM_LBUTTONDOWN, 5, 200);
    ASSERT_EQ(GetCapture(), bar.hwnd());
    SetCapture(parent.hwnd());
    ExpectNoDrag();
    ReleaseCapture();
    for (int y : {120, 200, 20})
        Send(WM_MOUSEMOVE, 5, y);
    EXPECT_TRUE(TakeRequests().empty()) << "moves with no button held ask for nothing";

    // A new press on the thumb starts a drag as before.
    Send(WM_LBUTTONDOWN, 5, 200);
    EXPECT_EQ(GetCapture(), bar.hwnd());
    Send(WM_MOUSEMOVE, 5, 201);
    EXPECT_EQ(TakeRequests(), std::vector<int>{345});
    Send(WM_LBUTTONUP, 5, 200);
    ExpectNoDrag();
}

TEST_F(ScrollBarTest, WithAnEmptyRangeEveryPressAsksForTheMinimum)
{
    for (int min : {0, 50}) {
        SCOPED_TRACE(min);
        bar.SetScrollState(ScrollStateChange().Min(min).Max(min).Pos(min));
        for (POINT p : {POINT{5, 5}, POINT{1, 0}, POINT{5, 300}, POINT{14, 450}}) {
            Send(WM_LBUTTONDOWN, p.x, p.y);
            EXPECT_EQ(TakeRequests(), std::vector<int>{min});
            ExpectNoDrag();
            Send(WM_LBUTTONUP, p.x, p.y);
        }
    }
}

// The thumb is at least as tall as the bar only on a bar shorter than the smallest thumb
// (free height -1 on a 4-pixel bar), where the formulas would have no room to work in.
TEST_F(ScrollBarTest, AThumbThatFillsTheBarAsksOnlyForTheMinimum)
{
    MoveWindow(bar.hwnd(), 776, 0, 16, 4, TRUE);
    Show(0, 684, 456, 0);
    Send(WM_LBUTTONDOWN, 14, 2);  // beside the thumb: track
    EXPECT_EQ(TakeRequests(), std::vector<int>{0});

    Send(WM_LBUTTONDOWN, 5, 2);  // on the thumb
    EXPECT_EQ(GetCapture(), bar.hwnd());
    for (int y : {1, 3, 300, 0})
        Send(WM_MOUSEMOVE, 5, y);
    EXPECT_TRUE(TakeRequests().empty()) << "no room to move in";
    Send(WM_LBUTTONUP, 5, 3);
    ExpectNoDrag();
}

TEST_F(ScrollBarTest, PaintsTheTrackAtItsSizeAndTheThumbInThreeBands)
{
    Show(0, 228, 456, 114);  // 456 of 684: thumb rows 76 to 379
    const Capture shot(bar.hwnd());
    struct Point {
        int x, y;
        COLORREF colour;
        int tolerance;
    } points[] = {
        // Ground beside and below the track.
        {0, 50, kWhite, 0},
        {2, 50, kWhite, 0},
        {11, 50, kWhite, 0},
        {15, 50, kWhite, 0},
        {6, 410, kWhite, 0},
        {6, 455, kWhite, 0},
        {13, 200, kWhite, 0},
        // Track at (3, 0), 8 x 410, not stretched.
        {3, 0, kTrackBorder, 0},
        {6, 0, kTrackBorder, 0},
        {4, 1, kTrackInside, 0},
        {3, 50, kTrackBorder, 0},
        {10, 50, kTrackBorder, 0},
        {6, 50, kTrackInside, 0},
        {6, 390, kTrackInside, 0},
        {6, 409, kTrackBorder, 0},
        // Thumb: caps of 5 rows at their size, the middle stretched between them.
        {6, 76, kThumbBorder, 2},
        {1, 78, kThumbBorder, 2},
        {6, 78, kThumbInside, 2},
        {1, 200, kThumbBorder, 2},
        {12, 200, kThumbBorder, 2},
        {2, 200, kThumbInside, 2},
        {6, 200, kThumbInside, 2},
        {6, 377, kThumbInside, 2},
        {6, 379, kThumbBorder, 2},
        {0, 200, kWhite, 0},
    };
    bool allMatch = true;
    for (const auto& p : points) {
        const bool match = ColoursNear(shot.At(p.x, p.y), p.colour, p.tolerance);
        EXPECT_TRUE(match) << "(" << p.x << ", " << p.y << ") is " << std::hex << shot.At(p.x, p.y);
        allMatch = allMatch && match;
    }
    if (!allMatch)
        shot.SavePng(gui_test::ScreenshotDir() + L"\\scroll_bar_paint.png");
}

TEST_F(ScrollBarTest, AThumbShorterThanTwoCapsKeepsBothBorders)
{
    for (int height : {5, 7, 9}) {
        SCOPED_TRACE(height);
        Show(0, 456 - height, height, 228);  // range + page = 456: the thumb is `page` tall
        const RECT thumb = bar.GetThumbRect();
        ASSERT_EQ(thumb.bottom - thumb.top, height);
        const Capture shot(bar.hwnd());
        EXPECT_TRUE(ColoursNear(shot.At(6, thumb.top - 1), kTrackInside, 0));
        EXPECT_TRUE(ColoursNear(shot.At(6, thumb.top), kThumbBorder, 2)) << std::hex << shot.At(6, thumb.top);
        for (int y = thumb.top + 1; y < thumb.bottom - 1; ++y)
            EXPECT_TRUE(ColoursNear(shot.At(6, y), kThumbInside, 2)) << "row " << y << ": " << std::hex << shot.At(6, y);
        EXPECT_TRUE(ColoursNear(shot.At(6, thumb.bottom - 1), kThumbBorder, 2)) << std::hex << shot.At(6, thumb.bottom - 1);
        EXPECT_TRUE(ColoursNear(shot.At(6, thumb.bottom), kTrackInside, 0));
        if (HasFailure())
            shot.SavePng(gui_test::ScreenshotDir() + L"\\scroll_bar_thumb_" + std::to_wstring(height) + L".png");
    }
}

TEST_F(ScrollBarTest, HiddenItIsAWhiteStrip)
{
    Show(0, 684, 456, 342);
    bar.SetScrollState(ScrollStateChange().Visible(false));
    InvalidateRect(bar.hwnd(), nullptr, TRUE);
    const Capture shot(bar.hwnd());
    ASSERT_EQ(shot.width(), 16);
    ASSERT_EQ(shot.height(), 456);
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            ASSERT_EQ(shot.At(x, y), kWhite) << "(" << x << ", " << y << ")";
}
