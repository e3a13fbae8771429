// The window framework and the skin images: class registration, superclassing, the hook
// after the last message, image loading, slices, the memory surface and the parent's
// background behind a child.

#include <gtest/gtest.h>

#include <string>

#include "base/folders.h"
#include "res/resource.h"
#include "tests/gui_harness.h"
#include "tests/test_files.h"
#include "ui/buttons.h"
#include "ui/skin.h"

using gui_test::Capture;
using gui_test::ParentPatternAt;
using gui_test::TestParent;

namespace {

// A plain child that counts its messages and paints one colour.
class ProbeWindow : public ui::Window {
public:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_CREATE)
            ++creates;
        if (message == WM_NCDESTROY)
            ++ncDestroys;
        return DefaultHandling(message, wParam, lParam);
    }
    int creates = 0;
    int ncDestroys = 0;
    int finalMessages = 0;
    HWND finalHandle = nullptr;

protected:
    void OnFinalMessage(HWND hwnd) override
    {
        ++finalMessages;
        finalHandle = hwnd;
    }
};

// Deletes itself in the hook after its last message, like a software tile.
class SelfDeletingWindow : public ui::Window {
public:
    explicit SelfDeletingWindow(bool& deleted) : m_deleted(deleted) {}
    ~SelfDeletingWindow() override { m_deleted = true; }
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        return DefaultHandling(message, wParam, lParam);
    }

protected:
    void OnFinalMessage(HWND) override { delete this; }

private:
    bool& m_deleted;
};

class RefusingWindow : public ui::Window {
public:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_CREATE)
            return -1;
        return DefaultHandling(message, wParam, lParam);
    }
};

}  // namespace

TEST(Framework, BindsAtCreationAndCallsTheFinalHookOnce)
{
    TestParent parent;
    ProbeWindow probe;
    const HWND hwnd = probe.Create(parent.hwnd(), {10, 10, 60, 40}, L"probe", WS_CHILD | WS_VISIBLE, 0, 77);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(probe.hwnd(), hwnd);
    EXPECT_EQ(probe.creates, 1);
    EXPECT_EQ(GetDlgCtrlID(hwnd), 77);
    DestroyWindow(hwnd);
    EXPECT_EQ(probe.ncDestroys, 1);
    EXPECT_EQ(probe.finalMessages, 1);
    EXPECT_EQ(probe.finalHandle, hwnd);
    EXPECT_EQ(probe.hwnd(), nullptr);
}

TEST(Framework, GeneratedClassNamesDifferPerClassAndAreRegisteredOnce)
{
    TestParent parent;
    ProbeWindow a;
    ProbeWindow b;
    CAtlBitmapButton button;
    a.Create(parent.hwnd(), {0, 0, 10, 10}, L"", WS_CHILD);
    b.Create(parent.hwnd(), {0, 0, 10, 10}, L"", WS_CHILD);
    button.Create(parent.hwnd(), {0, 0, 10, 10}, L"Install", WS_CHILD | BS_OWNERDRAW, 0, 1);
    EXPECT_EQ(driver::ClassName(a.hwnd()), driver::ClassName(b.hwnd()));
    EXPECT_NE(driver::ClassName(a.hwnd()), driver::ClassName(button.hwnd()));
    EXPECT_EQ(driver::ClassName(a.hwnd()).rfind(L"Tovarin:", 0), 0u) << "a generated name";

    WNDCLASSEXW info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetClassInfoExW(ui::ModuleInstance(), driver::ClassName(a.hwnd()).c_str(), &info));
    EXPECT_EQ(info.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS));
    EXPECT_EQ(info.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    EXPECT_EQ(info.hCursor, LoadCursorW(nullptr, IDC_ARROW));
}

TEST(Framework, SuperclassesReachTheSystemButton)
{
    TestParent parent;
    DTCheckBox box;
    ASSERT_NE(box.Create(parent.hwnd(), {169, 560, 269, 584}, 158), nullptr);
    EXPECT_EQ(driver::ClassName(box.hwnd()), L"DTCheckBox");
    wchar_t text[16] = {};
    GetWindowTextW(box.hwnd(), text, 16);
    EXPECT_EQ(std::wstring(text), L"全选");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(box.hwnd(), GWL_STYLE)), 0x5000000Bu);
    // BM_SETSTATE and BM_GETSTATE are the system button's own.
    SendMessageW(box.hwnd(), BM_SETSTATE, TRUE, 0);
    EXPECT_NE(SendMessageW(box.hwnd(), BM_GETSTATE, 0, 0) & BST_PUSHED, 0);
    EXPECT_EQ(SendMessageW(box.hwnd(), WM_ERASEBKGND, 0, 0), 1);

    // A click reaches the owner as BN_CLICKED from the system procedure.
    parent.messages.clear();
    SendMessageW(box.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(box.hwnd(), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PumpPending();
    ASSERT_EQ(parent.messages.size(), 1u);
    EXPECT_EQ(parent.messages[0].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(parent.messages[0].wParam, MAKEWPARAM(158, BN_CLICKED));
    EXPECT_EQ(parent.messages[0].lParam, reinterpret_cast<LPARAM>(box.hwnd()));
}

TEST(Framework, AnObjectCanDeleteItselfAfterItsLastMessage)
{
    TestParent parent;
    bool deleted = false;
    auto* window = new SelfDeletingWindow(deleted);
    const HWND hwnd = window->Create(parent.hwnd(), {0, 0, 20, 20}, L"", WS_CHILD | WS_VISIBLE);
    ASSERT_NE(hwnd, nullptr);
    DestroyWindow(parent.hwnd());  // children go with their parent
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(Framework, RefusedCreationLeavesTheObjectUnbound)
{
    TestParent parent;
    RefusingWindow window;
    EXPECT_EQ(window.Create(parent.hwnd(), {0, 0, 20, 20}, L"", WS_CHILD), nullptr);
    EXPECT_EQ(window.hwnd(), nullptr);
}

TEST(Framework, DestroyingTheObjectDestroysItsWindow)
{
    TestParent parent;
    HWND hwnd = nullptr;
    {
        ProbeWindow probe;
        hwnd = probe.Create(parent.hwnd(), {0, 0, 20, 20}, L"", WS_CHILD);
        ASSERT_TRUE(IsWindow(hwnd));
    }
    EXPECT_FALSE(IsWindow(hwnd));
}

// --- Images -------------------------------------------------------------------------------

class ImageFiles : public testing::Test {
protected:
    std::wstring Path(const wchar_t* name) { return GetModuleDir() + L"\\" + name; }
    void TearDown() override
    {
        for (const auto& path : m_written)
            DeleteFileW(path.c_str());
    }
    std::wstring Written(const wchar_t* name)
    {
        m_written.push_back(Path(name));
        return m_written.back();
    }

private:
    std::vector<std::wstring> m_written;
};

TEST_F(ImageFiles, WhatIsNotAnImageLoadsNothing)
{
    const std::wstring empty = Written(L"empty.png");
    const std::wstring text = Written(L"text.png");
    ASSERT_TRUE(WriteWholeFile(empty, ""));
    ASSERT_TRUE(WriteWholeFile(text, "this is not an image\n"));
    struct Case {
        const wchar_t* what;
        std::wstring path;
    } cases[] = {{L"missing", Path(L"no-such-file.png")}, {L"empty", empty}, {L"text", text}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CGdiPlusBitmapResource image;
        EXPECT_FALSE(image.LoadFromFile(c.path));
        EXPECT_EQ(image.bitmap(), nullptr);
        EXPECT_EQ(image.Width(), 0);
    }
}

TEST_F(ImageFiles, ASecondLoadReplacesTheFirstAndAFailedOneEmpties)
{
    const std::wstring first = Written(L"first.png");
    const std::wstring second = Written(L"second.png");
    ASSERT_TRUE(gui_test::WriteSlicesPng(first, 10, 7, {RGB(255, 0, 0)}));
    ASSERT_TRUE(gui_test::WriteSlicesPng(second, 20, 9, {RGB(0, 255, 0)}));
    CGdiPlusBitmapResource image;
    ASSERT_TRUE(image.LoadFromFile(first));
    EXPECT_EQ(image.Width(), 10);
    ASSERT_TRUE(image.LoadFromFile(second));
    EXPECT_EQ(image.Width(), 20);
    EXPECT_EQ(image.Height(), 9);
    EXPECT_FALSE(image.LoadFromFile(Path(L"no-such-file.png")));
    EXPECT_EQ(image.bitmap(), nullptr);
}

TEST_F(ImageFiles, MissingResourcesLoadNothing)
{
    CGdiPlusBitmapResource image;
    EXPECT_FALSE(image.LoadFromResource(9999, L"PNG"));
    EXPECT_FALSE(image.LoadFromResource(IDR_PNG_CLOSE, L"IMAGES")) << "right id, wrong type";
    EXPECT_EQ(image.bitmap(), nullptr);
}

TEST_F(ImageFiles, EmbeddedPicturesHaveTheirSizes)
{
    struct Case {
        UINT id;
        const wchar_t* type;
        int width;
        int height;
    } cases[] = {{IDR_PNG_CLOSE, L"PNG", 116, 17},        {IDR_PNG_MINIMIZE, L"PNG", 116, 17},
                 {IDR_PNG_SCROLL_TRACK, L"PNG", 8, 410},  {IDR_PNG_SCROLL_THUMB, L"PNG", 12, 25},
                 {IDR_PNG_SPINNER, L"PNG", 640, 40},      {IDR_IMAGES_PROGRESS_BACKGROUND, L"IMAGES", 401, 122},
                 {IDR_PNG_PROGRESS_FILL, L"PNG", 310, 14}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        CGdiPlusBitmapResource image;
        ASSERT_TRUE(image.LoadFromResource(c.id, c.type));
        EXPECT_EQ(image.Width(), c.width);
        EXPECT_EQ(image.Height(), c.height);
    }
}

// A window that paints slice k of an image at (0, 0), unstretched, over its parent's
// background, the way the skinned controls do.
class SliceWindow : public ui::Window {
public:
    SliceWindow(const CGdiPlusBitmap& image, int slice) : m_image(image), m_slice(slice) {}
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_ERASEBKGND)
            return 1;
        if (message != WM_PAINT)
            return DefaultHandling(message, wParam, lParam);
        ui::PaintScope paint(m_hwnd);
        CMemorySurface surface(paint.dc(), ui::ClientRect(m_hwnd));
        DrawParentBackground(m_hwnd, surface.dc());
        Gdiplus::Graphics graphics(surface.dc());
        DrawSlice(graphics, m_image, m_slice, {0, 0, SliceWidth(m_image), m_image.Height()});
        return 0;
    }

private:
    const CGdiPlusBitmap& m_image;  // borrowed from the test
    int m_slice;
};

TEST_F(ImageFiles, SlicesAreAQuarterOfTheWidthAndLeftoverColumnsNeverShow)
{
    const std::wstring path = Written(L"slices.png");
    const COLORREF colours[4] = {RGB(200, 0, 0), RGB(0, 200, 0), RGB(0, 0, 200), RGB(200, 200, 0)};
    // 4 x 13 + 3 leftover columns of magenta: the slice width is 55 / 4 = 13.
    ASSERT_TRUE(gui_test::WriteSlicesPng(path, 13, 10, {colours[0], colours[1], colours[2], colours[3]}, 3,
                                         RGB(255, 0, 255)));
    CGdiPlusBitmapResource image;
    ASSERT_TRUE(image.LoadFromFile(path));
    EXPECT_EQ(image.Width(), 55);
    EXPECT_EQ(SliceWidth(image), 13);

    TestParent parent;
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        SliceWindow window(image, k);
        // Larger than the slice: the rest shows the parent's background.
        ASSERT_NE(window.Create(parent.hwnd(), {30, 40, 30 + 40, 40 + 30}, L"", WS_CHILD | WS_VISIBLE), nullptr);
        const Capture shot(window.hwnd());
        EXPECT_TRUE(gui_test::ColoursNear(shot.At(6, 5), colours[k], 2));
        EXPECT_TRUE(gui_test::ColoursNear(shot.At(11, 8), colours[k], 2));
        // Just right of the slice and below it: the parent's pattern at the child's offset.
        EXPECT_EQ(shot.At(20, 5), ParentPatternAt(30 + 20, 40 + 5));
        EXPECT_EQ(shot.At(5, 20), ParentPatternAt(30 + 5, 40 + 20));
        for (int x = 0; x < shot.width(); ++x)
            ASSERT_NE(shot.At(x, 5), RGB(255, 0, 255)) << "leftover column shown at x = " << x;
    }
}

TEST(ParentBackground, AWindowWithoutAParentGetsNothing)
{
    ProbeWindow orphan;
    ASSERT_NE(orphan.Create(nullptr, {0, 0, 30, 30}, L"", WS_POPUP), nullptr);
    const HDC screen = GetDC(nullptr);
    ui::UniqueMemoryDc dc(CreateCompatibleDC(screen));
    ui::UniqueBitmap bitmap(CreateCompatibleBitmap(screen, 30, 30));
    ReleaseDC(nullptr, screen);
    ui::SelectedObject selected(dc.get(), bitmap.get());
    FillWhite(dc.get(), {0, 0, 30, 30});
    DrawParentBackground(orphan.hwnd(), dc.get());
    EXPECT_EQ(GetPixel(dc.get(), 15, 15), RGB(255, 255, 255));
    POINT origin = {-1, -1};
    GetWindowOrgEx(dc.get(), &origin);
    EXPECT_EQ(origin.x, 0);
    EXPECT_EQ(origin.y, 0);
}
