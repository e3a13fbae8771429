// The group button: its three looks, the icon placed from the background slice's size, the
// white caption in the bottom band, and the press that selects and notifies.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/folders.h"
#include "res/resource.h"
#include "tests/gui_harness.h"
#include "ui/fonts.h"
#include "ui/group_button.h"

using gui_test::Capture;
using gui_test::ColoursNear;
using gui_test::RecordedMessage;
using gui_test::TestParent;

namespace {

// Dark grounds, so the white caption stands out.
const std::vector<COLORREF> kBackgroundColours = {RGB(120, 0, 0), RGB(0, 120, 0), RGB(0, 0, 120), RGB(120, 120, 0)};
const COLORREF kIconColour = RGB(250, 160, 0);

// A background slice smaller than the button, so that the icon's place depends on which
// size the formula takes.
constexpr int kSliceWidth = 60;
constexpr int kSliceHeight = 70;
constexpr int kIconWidth = 20;
constexpr int kIconHeight = 10;

// Group 0 of the main window: 80 x 85.
constexpr UINT kFirstGroupId = IDC_FIRST_GROUP;
const RECT kFirstGroupRect = {22, 2, 102, 87};

bool IsWhitish(COLORREF c)
{
    return GetRValue(c) >= 200 && GetGValue(c) >= 200 && GetBValue(c) >= 200;
}

// The smallest rectangle holding every whitish pixel; empty when there is none.
RECT WhitishBounds(const Capture& shot)
{
    RECT bounds = {shot.width(), shot.height(), 0, 0};
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (IsWhitish(shot.At(x, y))) {
                bounds.left = std::min<LONG>(bounds.left, x);
                bounds.top = std::min<LONG>(bounds.top, y);
                bounds.right = std::max<LONG>(bounds.right, x + 1);
                bounds.bottom = std::max<LONG>(bounds.bottom, y + 1);
            }
        }
    }
    return bounds;
}

}  // namespace

class GroupButton : public testing::Test {
protected:
    void SetUp() override
    {
        gui_test::ParkMouse();
        ASSERT_TRUE(m_backgroundFile.written());
        ASSERT_TRUE(m_iconFile.written());
        ASSERT_TRUE(m_background.LoadFromFile(m_backgroundFile.path()));
        button.SetSkin(&m_background, m_font.get());
    }

    void CreateButton(const wchar_t* name)
    {
        ASSERT_NE(button.Create(parent.hwnd(), kFirstGroupRect, name, WS_CHILD | WS_VISIBLE, 0, kFirstGroupId), nullptr);
    }

    // The stretched slice covers the button: sampled in the four corners, away from the
    // caption band and the icon.
    void ExpectLook(int slice, const wchar_t* screenshot)
    {
        const Capture shot(button.hwnd());
        const POINT corners[] = {{4, 4}, {75, 4}, {4, 55}, {75, 55}};
        for (const POINT& p : corners) {
            SCOPED_TRACE(testing::Message() << "at " << p.x << ", " << p.y);
            EXPECT_TRUE(ColoursNear(shot.At(p.x, p.y), kBackgroundColours[static_cast<size_t>(slice)], 2))
                << std::hex << shot.At(p.x, p.y);
        }
        gui_test::KeepScreenshotIfFailed(shot, screenshot);
    }

    POINT OnButton() const { return gui_test::ClientToScreenPoint(button.hwnd(), 40, 40); }
    POINT OffButton() const { return gui_test::ClientToScreenPoint(parent.hwnd(), 400, 400); }

    gui_test::ScratchSlicesPng m_backgroundFile{L"group_background.png", kSliceWidth, kSliceHeight, kBackgroundColours};
    gui_test::ScratchSlicesPng m_iconFile{L"group_icon.png", kIconWidth, kIconHeight, {kIconColour}};
    CGdiPlusBitmapResource m_background;
    ui::UniqueFont m_font = ui::CreateSkinFont(400);
    TestParent parent;
    CGroupButton button;
};

// Hover shows slice 1 only while the button is not selected; selection stays until the owner
// clears it.
TEST_F(GroupButton, LooksFollowHoverAndSelection)
{
    CreateButton(L"装机必备");
    ExpectLook(SliceNormal, L"group_normal");

    gui_test::MoveMouseTo(OnButton());
    ASSERT_TRUE(WaitUntil([&] { return button.hover(); }, 5000));
    ExpectLook(SliceHover, L"group_hover");

    gui_test::PressLeft();
    ASSERT_TRUE(WaitUntil([&] { return button.selected(); }, 5000));
    EXPECT_NE(GetCapture(), button.hwnd()) << "the press takes no capture";
    gui_test::ReleaseLeft();
    EXPECT_EQ(parent.messages.size(), 1u) << "the release notifies nothing";
    EXPECT_TRUE(button.selected());
    ExpectLook(SlicePressed, L"group_selected_hover");

    gui_test::MoveMouseTo(OffButton());
    ASSERT_TRUE(WaitUntil([&] { return !button.hover(); }, 5000)) << "no WM_MOUSELEAVE";
    ExpectLook(SlicePressed, L"group_selected");

    button.SetSelected(false);
    ExpectLook(SliceNormal, L"group_cleared");
}

TEST_F(GroupButton, APressSelectsAndNotifiesEveryTime)
{
    CreateButton(L"常用软件");
    std::vector<bool> selectedWhenNotified;
    parent.onCommand = [&](WPARAM, LPARAM) { selectedWhenNotified.push_back(button.selected()); };
    // The main window's own selection of the first group: wParam 0, lParam 0.
    SendMessageW(button.hwnd(), WM_LBUTTONDOWN, 0, 0);
    // A press on the group already selected.
    SendMessageW(button.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    const RecordedMessage pressed = {WM_COMMAND, MAKEWPARAM(kFirstGroupId, 0), reinterpret_cast<LPARAM>(button.hwnd())};
    EXPECT_EQ(parent.messages, (std::vector<RecordedMessage>{pressed, pressed}));
    EXPECT_EQ(selectedWhenNotified, (std::vector<bool>{true, true}));
}

// The icon's place comes from the 60 x 70 slice, not the 80 x 85 window:
// ((60 - 20) / 2, 70 - 10 - 30) = (20, 30), where the window's size would give (30, 45).
TEST_F(GroupButton, TheIconSitsByTheBackgroundSlicesSize)
{
    ASSERT_TRUE(button.icon().LoadFromFile(m_iconFile.path()));
    CreateButton(L"");
    const Capture shot(button.hwnd());
    struct Case {
        POINT at;
        COLORREF expected;
    } cases[] = {
        {{22, 32}, kIconColour},              {{37, 37}, kIconColour},
        {{17, 35}, kBackgroundColours[0]},    {{42, 35}, kBackgroundColours[0]},
        {{30, 27}, kBackgroundColours[0]},    {{30, 42}, kBackgroundColours[0]},
        {{45, 50}, kBackgroundColours[0]},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "at " << c.at.x << ", " << c.at.y);
        EXPECT_TRUE(ColoursNear(shot.At(c.at.x, c.at.y), c.expected, 2)) << std::hex << shot.At(c.at.x, c.at.y);
    }
    gui_test::KeepScreenshotIfFailed(shot, L"group_icon");
}

// An icon file that does not load leaves the holder empty; the rest is drawn.
TEST_F(GroupButton, WithoutAnIconTheCaptionIsWhiteAndCentredInTheBottomBand)
{
    EXPECT_FALSE(button.icon().LoadFromFile(GetModuleDir() + L"\\no-such-icon.png"));
    CreateButton(L"WWWW");
    const Capture shot(button.hwnd());
    const RECT text = WhitishBounds(shot);
    ASSERT_LT(text.left, text.right) << "no caption drawn";
    EXPECT_GE(text.top, 85 - 24);
    EXPECT_LE(text.bottom, 85);
    EXPECT_NEAR((text.left + text.right) / 2.0, 40.0, 2.0);
    EXPECT_TRUE(ColoursNear(shot.At(30, 35), kBackgroundColours[0], 2)) << "where the icon would be";
    gui_test::KeepScreenshotIfFailed(shot, L"group_caption");
}

// "&" is drawn as written, not taken for a mnemonic prefix: the caption is as wide as the
// whole name measured without prefix processing (ink runs up to 3 pixels short of the
// advance, for the side bearings).
TEST_F(GroupButton, AmpersandsAreDrawnAsWritten)
{
    EXPECT_FALSE(button.icon().LoadFromFile(GetModuleDir() + L"\\no-such-icon.png"));
    CreateButton(L"");
    ui::WindowDc screen(nullptr);
    ui::SelectedObject font(screen.get(), m_font.get());
    for (const wchar_t* name : {L"R&D", L"A&&B", L"&W"}) {
        SCOPED_TRACE(testing::Message() << "name " << testing::PrintToString(std::wstring(name)));
        SetWindowTextW(button.hwnd(), name);
        InvalidateRect(button.hwnd(), nullptr, TRUE);
        const Capture shot(button.hwnd());
        const RECT text = WhitishBounds(shot);
        RECT measured = {};
        DrawTextW(screen.get(), name, -1, &measured, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        EXPECT_LE(text.right - text.left, measured.right);
        EXPECT_GE(text.right - text.left, measured.right - 3);
        gui_test::KeepScreenshotIfFailed(shot, L"group_caption_ampersand");
    }
}

// A centred line that is cut shows the same middle whatever follows the 255th character.
TEST_F(GroupButton, ANameLongerThan255CharactersIsCut)
{
    const std::wstring name255 = std::wstring(127, L'i') + L"M" + std::wstring(127, L'i');
    CreateButton(name255.c_str());
    auto captionBand = [&](const std::wstring& name) {
        SetWindowTextW(button.hwnd(), name.c_str());
        InvalidateRect(button.hwnd(), nullptr, TRUE);
        const Capture shot(button.hwnd());
        std::vector<COLORREF> band;
        for (int y = 85 - 24; y < 85; ++y)
            for (int x = 0; x < shot.width(); ++x)
                band.push_back(shot.At(x, y));
        return band;
    };
    const auto shown255 = captionBand(name255);
    EXPECT_EQ(captionBand(name255 + std::wstring(45, L'W')), shown255);
    EXPECT_NE(captionBand(name255.substr(0, 254)), shown255) << "the band does not tell names apart";
}
