// The window framework and the skin images: class registration, superclassing, the hook
// after the last message, image loading, slices, the memory surface and the parent's
// background behind a child.

#include <gtest/gtest.h>

#include <string>

#include "base/folders.h"
#include "res/resource.h"
#include "tests/gui_harness.h"
#include "tests/test_files.h"
#include "tests/wait_until.h"
#include "ui/buttons.h"
#include "ui/skin.h"

using gui_test::Capture;
using gui_test::ParentPatternAt;
using gui_test::TestParent;

namespace {

// A plain child that counts its messages and paints one colour.
class ProbeWindow : public ui::Window {
public:
    explicit ProbeWindow(const ui::WindowClass& windowClass = ui::DefaultWindowClass()) : ui::Window(windowClass) {}
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_CREATE)
            ++creates;
        if (message == WM_NCPAINT)
            ++ncPaints;
        if (message == WM_NCDESTROY)
            ++ncDestroys;
        return DefaultHandling(message, wParam, lParam);
    }
    int creates = 0;
    int ncPaints = 0;
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

// A self-drawn class keeps WM_NCPAINT from its windows without a frame, which have nothing
// to paint there: one with a border still gets it drawn, and other classes get it as usual.
TEST(Framework, ABorderIsStillPainted)
{
    static const ui::WindowClass selfDrawn = ui::SelfDrawnClass(L"Tovarin:SelfDrawnProbe");
    TestParent parent;
    ProbeWindow framed(selfDrawn);
    ProbeWindow bare(selfDrawn);
    ProbeWindow plain;
    ASSERT_NE(framed.Create(parent.hwnd(), {10, 10, 60, 40}, L"", WS_CHILD | WS_VISIBLE | WS_BORDER), nullptr);
    ASSERT_NE(bare.Create(parent.hwnd(), {70, 10, 120, 40}, L"", WS_CHILD | WS_VISIBLE), nullptr);
    ASSERT_NE(plain.Create(parent.hwnd(), {130, 10, 180, 40}, L"", WS_CHILD | WS_VISIBLE), nullptr);
    RedrawWindow(parent.hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    EXPECT_EQ(bare.ncPaints, 0);
    EXPECT_GT(plain.ncPaints, 0) << "the default class keeps its WM_NCPAINT";
    const Capture shot(parent.hwnd());
    const COLORREF frame = GetSysColor(COLOR_WINDOWFRAME);
    const COLORREF white = RGB(255, 255, 255);
    EXPECT_EQ(shot.At(10, 10), frame);
    EXPECT_EQ(shot.At(59, 39), frame);
    EXPECT_EQ(shot.At(11, 11), white);
    EXPECT_EQ(shot.At(70, 10), white) << "no frame";
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

// Each picture comes from the worker once: the files are gone from disk when they are
// taken, and a second load finds neither a picture to take nor a file.
TEST_F(ImageFiles, PrefetchedPicturesAreTakenOnceEachFromTheWorkers)
{
    const std::wstring first = Written(L"prefetch-first.png");
    const std::wstring second = Written(L"prefetch-second.png");
    ASSERT_TRUE(gui_test::WriteSlicesPng(first, 10, 7, {RGB(255, 0, 0)}));
    ASSERT_TRUE(gui_test::WriteSlicesPng(second, 20, 9, {RGB(0, 255, 0)}));
    const CPicturePrefetch prefetch({PictureSource::File(first)});
    CPicturePrefetch::Request({PictureSource::File(second)});  // a worker of its own
    ASSERT_TRUE(WaitUntil([&] {
        return CPicturePrefetch::IsReady(PictureSource::File(first)) &&
               CPicturePrefetch::IsReady(PictureSource::File(second));
    }));
    DeleteFileW(first.c_str());
    DeleteFileW(second.c_str());

    CGdiPlusBitmapResource a;
    CGdiPlusBitmapResource b;
    ASSERT_TRUE(a.LoadFromFile(first));
    ASSERT_TRUE(b.LoadFromFile(second));
    EXPECT_EQ(a.Width(), 10);
    EXPECT_EQ(b.Height(), 9);
    EXPECT_NE(a.PictureId(), 0u);
    EXPECT_NE(a.PictureId(), b.PictureId());
    EXPECT_FALSE(CPicturePrefetch::IsReady(PictureSource::File(first)));
    CGdiPlusBitmapResource again;
    EXPECT_FALSE(again.LoadFromFile(first));
}

// Pictures are numbered as they are decoded: one decoded before a later load was made by the
// worker.
TEST_F(ImageFiles, PrefetchedResourcePicturesComeFromTheWorker)
{
    const PictureSource close = PictureSource::Resource(IDR_PNG_CLOSE, L"PNG");
    const CPicturePrefetch prefetch({close});
    ASSERT_TRUE(WaitUntil([&] { return CPicturePrefetch::IsReady(close); }));
    CGdiPlusBitmapResource later;
    ASSERT_TRUE(later.LoadFromResource(IDR_PNG_MINIMIZE, L"PNG"));
    CGdiPlusBitmapResource taken;
    ASSERT_TRUE(taken.LoadFromResource(IDR_PNG_CLOSE, L"PNG"));
    EXPECT_LT(taken.PictureId(), later.PictureId());
    CGdiPlusBitmapResource again;
    ASSERT_TRUE(again.LoadFromResource(IDR_PNG_CLOSE, L"PNG"));
    EXPECT_GT(again.PictureId(), later.PictureId()) << "decoded here: the worker's was taken";
}

// A file the worker could not decode fails as it would have, and what the worker decoded
// but nobody took is not served after the prefetch ends: the file is read again.
TEST_F(ImageFiles, APrefetchServesNeitherAFailureNorAnOldPictureLater)
{
    const std::wstring broken = Written(L"prefetch-broken.png");
    const std::wstring untaken = Written(L"prefetch-untaken.png");
    ASSERT_TRUE(WriteWholeFile(broken, "this is not an image\n"));
    ASSERT_TRUE(gui_test::WriteSlicesPng(untaken, 10, 7, {RGB(255, 0, 0)}));
    {
        const CPicturePrefetch prefetch({PictureSource::File(broken), PictureSource::File(untaken)});
        ASSERT_TRUE(WaitUntil([&] {
            return CPicturePrefetch::IsReady(PictureSource::File(broken)) &&
                   CPicturePrefetch::IsReady(PictureSource::File(untaken));
        }));
        ASSERT_TRUE(gui_test::WriteSlicesPng(broken, 12, 5, {RGB(0, 0, 255)}));
        CGdiPlusBitmapResource mended;
        ASSERT_TRUE(mended.LoadFromFile(broken)) << "the file as it is now";
        EXPECT_EQ(mended.Width(), 12);
    }
    ASSERT_TRUE(gui_test::WriteSlicesPng(untaken, 30, 3, {RGB(0, 255, 0)}));
    CGdiPlusBitmapResource image;
    ASSERT_TRUE(image.LoadFromFile(untaken));
    EXPECT_EQ(image.Width(), 30);
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

// --- Ready bitmaps ------------------------------------------------------------------------

namespace {

// An off-screen surface of the screen's format, as the controls paint on, over the parent
// pattern or black.
class Canvas {
public:
    Canvas(int width, int height, bool black = false) : m_width(width), m_height(height)
    {
        const HDC screen = GetDC(nullptr);
        m_dc.reset(CreateCompatibleDC(screen));
        m_bitmap.reset(CreateCompatibleBitmap(screen, width, height));
        ReleaseDC(nullptr, screen);
        SelectObject(m_dc.get(), m_bitmap.get());
        std::vector<uint32_t> ground(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
        for (int y = 0; y < height && !black; ++y) {
            for (int x = 0; x < width; ++x) {
                const COLORREF c = ParentPatternAt(x * 7, y * 5);  // steps of several levels
                ground[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                    (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) |
                    GetBValue(c);
            }
        }
        const BITMAPINFO info = Info();
        SetDIBitsToDevice(m_dc.get(), 0, 0, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                          static_cast<UINT>(height), ground.data(), &info, DIB_RGB_COLORS);
    }
    HDC dc() const { return m_dc.get(); }

    // 0x00RRGGBB, top-down.
    std::vector<uint32_t> Pixels() const
    {
        BITMAPINFO info = Info();
        void* bits = nullptr;
        ui::UniqueMemoryDc copy(CreateCompatibleDC(m_dc.get()));
        ui::UniqueBitmap section(CreateDIBSection(copy.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        ui::SelectedObject selected(copy.get(), section.get());
        BitBlt(copy.get(), 0, 0, m_width, m_height, m_dc.get(), 0, 0, SRCCOPY);
        GdiFlush();
        const auto* first = static_cast<const uint32_t*>(bits);
        std::vector<uint32_t> pixels(first, first + static_cast<size_t>(m_width) * static_cast<size_t>(m_height));
        for (uint32_t& pixel : pixels)
            pixel &= 0xFFFFFF;
        return pixels;
    }
    int width() const { return m_width; }

private:
    BITMAPINFO Info() const
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = m_width;
        info.bmiHeader.biHeight = -m_height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        return info;
    }

    int m_width;
    int m_height;
    ui::UniqueBitmap m_bitmap;
    ui::UniqueMemoryDc m_dc;
};

// Equal pixels, or where and how many differ.
testing::AssertionResult SamePixels(const Canvas& actual, const Canvas& expected)
{
    const std::vector<uint32_t> a = actual.Pixels();
    const std::vector<uint32_t> e = expected.Pixels();
    size_t differing = 0;
    size_t first = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != e[i] && differing++ == 0)
            first = i;
    }
    if (differing == 0)
        return testing::AssertionSuccess();
    const int width = expected.width();
    return testing::AssertionFailure() << differing << " pixels differ, the first at (" << first % width << ", "
                                       << first / width << "): 0x" << std::hex << a[first] << " instead of 0x"
                                       << e[first];
}

void DrawDirectly(HDC dc, const CGdiPlusBitmap& image, const RECT& destination, const RECT& source)
{
    Gdiplus::Graphics graphics(dc);
    DrawImagePart(graphics, image, destination, source.left, source.top, ui::Width(source), ui::Height(source));
}

struct PictureCase {
    const wchar_t* what;
    const wchar_t* file;  // under the AppLib folder; null for a resource
    UINT resource;
    const wchar_t* type;
    int slice;   // -1: the whole picture
    SIZE shown;  // {0, 0}: the source's own size
};

bool LoadCase(CGdiPlusBitmapResource& image, const PictureCase& c)
{
    return c.file ? image.LoadFromFile(GetAppLibDir() + L"\\" + c.file) : image.LoadFromResource(c.resource, c.type);
}

RECT SourceOf(const CGdiPlusBitmap& image, const PictureCase& c)
{
    return c.slice < 0 ? RECT{0, 0, image.Width(), image.Height()} : SliceRect(image, c.slice);
}

}  // namespace

// Every picture the windows draw, at its own size and stretched, over a ground of many
// colours: the ready copy puts exactly the pixels there that GDI+ drawing it directly puts,
// also when the copy is drawn a second time. (The background, the one opaque picture that may
// be stretched both ways, is drawn over black: the next test.)
TEST(ReadyBitmap, ShowsThePixelsOfDrawingThePictureDirectly)
{
    const PictureCase cases[] = {
        {L"background", L"Skin\\window_background.jpg", 0, nullptr, -1, {0, 0}},
        {L"group slice", L"Skin\\group_button_background.png", 0, nullptr, SlicePressed, {0, 0}},
        {L"group slice stretched", L"Skin\\group_button_background.png", 0, nullptr, SliceHover, {90, 97}},
        {L"install slice", L"Skin\\item_install_button.png", 0, nullptr, SliceNormal, {0, 0}},
        {L"one-key slice", L"Skin\\onekey_button.png", 0, nullptr, SliceHover, {0, 0}},
        {L"close slice", nullptr, IDR_PNG_CLOSE, L"PNG", SliceHover, {0, 0}},
        {L"minimise slice", nullptr, IDR_PNG_MINIMIZE, L"PNG", SliceNormal, {0, 0}},
        {L"icon", L"AppIcons\\ziptool.png", 0, nullptr, -1, {0, 0}},
        {L"icon shrunk", L"AppIcons\\chatter.png", 0, nullptr, -1, {40, 40}},
        {L"icon grown", L"GroupIcons\\media.png", 0, nullptr, -1, {64, 64}},
        {L"scroll track", nullptr, IDR_PNG_SCROLL_TRACK, L"PNG", -1, {0, 0}},
        {L"scroll thumb stretched", nullptr, IDR_PNG_SCROLL_THUMB, L"PNG", -1, {12, 200}},
        {L"spinner frame", nullptr, IDR_PNG_SPINNER, L"PNG", SlicePressed, {0, 0}},
        {L"progress background", nullptr, IDR_IMAGES_PROGRESS_BACKGROUND, L"IMAGES", -1, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CGdiPlusBitmapResource image;
        ASSERT_TRUE(LoadCase(image, c));
        const RECT source = SourceOf(image, c);
        const SIZE shown = c.shown.cx ? c.shown : SIZE{ui::Width(source), ui::Height(source)};
        const RECT destination = {7, 5, 7 + shown.cx, 5 + shown.cy};
        Canvas expected(shown.cx + 14, shown.cy + 10);
        DrawDirectly(expected.dc(), image, destination, source);

        CReadyBitmap ready;
        Canvas first(shown.cx + 14, shown.cy + 10);
        ready.Draw(first.dc(), image, destination, source);
        EXPECT_TRUE(SamePixels(first, expected));
        Canvas second(shown.cx + 14, shown.cy + 10);
        ready.Draw(second.dc(), image, destination, source);
        EXPECT_TRUE(SamePixels(second, expected)) << "drawn again from the same copy";
    }
}

// A window's background: what the picture lets through (the stretched picture's edges)
// stays black whatever the DC held, as on the new surface it used to be drawn on.
TEST(ReadyBitmap, OverBlackShowsThePictureDrawnOnBlack)
{
    CGdiPlusBitmapResource image;
    ASSERT_TRUE(image.LoadFromFile(GetSkinDir() + L"\\window_background.jpg"));
    const RECT source = {0, 0, image.Width(), image.Height()};
    for (const SIZE shown : {SIZE{800, 599}, SIZE{640, 480}, SIZE{900, 650}}) {
        SCOPED_TRACE(testing::Message() << shown.cx << " x " << shown.cy);
        const RECT destination = {0, 0, shown.cx, shown.cy};
        Canvas expected(shown.cx, shown.cy, true);
        DrawDirectly(expected.dc(), image, destination, source);
        CReadyBitmap ready;
        Canvas actual(shown.cx, shown.cy);  // not black
        ready.DrawOverBlack(actual.dc(), image, destination, source);
        EXPECT_TRUE(SamePixels(actual, expected));
    }
}

// The copy is made once and drawn from then on, and made again only when the picture, its
// part or the size shown changes.
TEST(ReadyBitmap, IsMadeAgainOnlyWhenThePictureThePartOrTheSizeChanges)
{
    const std::wstring red = GetModuleDir() + L"\\ready-red.png";
    const std::wstring green = GetModuleDir() + L"\\ready-green.png";
    ASSERT_TRUE(gui_test::WriteSlicesPng(red, 10, 10, {RGB(200, 0, 0), RGB(0, 0, 200)}));
    ASSERT_TRUE(gui_test::WriteSlicesPng(green, 20, 10, {RGB(0, 200, 0)}));
    CGdiPlusBitmapResource image;
    ASSERT_TRUE(image.LoadFromFile(red));
    CReadyBitmap ready;
    const auto drawnAt = [&](const RECT& destination, const RECT& source, int x, int y) {
        Canvas canvas(40, 30);
        ready.Draw(canvas.dc(), image, destination, source);
        return GetPixel(canvas.dc(), x, y);
    };
    EXPECT_EQ(drawnAt({0, 0, 10, 10}, {0, 0, 10, 10}, 5, 5), RGB(200, 0, 0));

    // Pixels changed behind the holder's back are not seen: the copy is not drawn anew.
    for (UINT y = 0; y < 10; ++y) {
        for (UINT x = 0; x < 10; ++x)
            image.bitmap()->SetPixel(static_cast<INT>(x), static_cast<INT>(y), Gdiplus::Color(255, 255, 255, 0));
    }
    EXPECT_EQ(drawnAt({0, 0, 10, 10}, {0, 0, 10, 10}, 5, 5), RGB(200, 0, 0));
    // Another part, another size: made again, from the pixels the picture holds now.
    EXPECT_EQ(drawnAt({0, 0, 10, 10}, {10, 0, 20, 10}, 5, 5), RGB(0, 0, 200));
    EXPECT_EQ(drawnAt({0, 0, 20, 20}, {0, 0, 10, 10}, 15, 15), RGB(255, 255, 0));

    // Another picture loaded into the same holder.
    ASSERT_TRUE(image.LoadFromFile(green));
    EXPECT_EQ(drawnAt({0, 0, 20, 20}, {0, 0, 10, 10}, 15, 15), RGB(0, 200, 0));
    // An emptied holder draws nothing: the ground stays.
    image.Empty();
    EXPECT_EQ(drawnAt({0, 0, 20, 20}, {0, 0, 10, 10}, 15, 15), ParentPatternAt(15 * 7, 15 * 5));
    DeleteFileW(red.c_str());
    DeleteFileW(green.c_str());
}

TEST(ReadyBitmap, APictureTakenOverKeepsItsNumberAndLeavesTheOtherEmpty)
{
    CGdiPlusBitmapResource first;
    CGdiPlusBitmapResource second;
    ASSERT_TRUE(first.LoadFromResource(IDR_PNG_CLOSE, L"PNG"));
    ASSERT_TRUE(second.LoadFromResource(IDR_PNG_CLOSE, L"PNG"));
    EXPECT_NE(first.PictureId(), second.PictureId()) << "each decode is a picture of its own";
    const ULONGLONG id = first.PictureId();
    second.TakeFrom(first);
    EXPECT_EQ(second.PictureId(), id);
    EXPECT_EQ(second.Width(), 116);
    EXPECT_EQ(first.bitmap(), nullptr);
    EXPECT_EQ(first.PictureId(), 0u);
}
