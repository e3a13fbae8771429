#include "tests/gui_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/folders.h"
#include "ui/messages.h"
#include "ui/skin.h"

namespace gui_test {

COLORREF ParentPatternAt(int x, int y)
{
    return RGB(x & 0xFF, y & 0xFF, 0x40 + ((x >> 8) & 3) * 0x10 + ((y >> 8) & 3) * 0x40);
}

void PrintTo(const RecordedMessage& recorded, std::ostream* out)
{
    *out << "{message 0x" << std::hex << recorded.message << ", wParam 0x" << recorded.wParam << ", lParam 0x"
         << recorded.lParam << std::dec << "}";
}

TestParent::TestParent(const RECT& screenRect)
{
    Create(nullptr, screenRect, L"GUI test parent", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN);
    UpdateWindow(m_hwnd);
}

LRESULT TestParent::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PRINTCLIENT:
        PaintPattern(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        ui::PaintScope paint(m_hwnd);
        PaintPattern(paint.dc());
        return 0;
    }
    case WM_DRAWITEM:
        if (onDrawItem)
            onDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_COMMAND:
    case WM_VSCROLL:
    case WM_ITEM_CHECK_CHANGED:
    case WM_ITEM_INSTALL:
        messages.push_back({message, wParam, lParam});
        if (message == WM_VSCROLL && onVScroll)
            onVScroll(wParam);
        if (message == WM_COMMAND && onCommand)
            onCommand(wParam, lParam);
        return 0;
    default:
        return DefaultHandling(message, wParam, lParam);
    }
}

// One DIB of the pattern over the client area, copied in one step.
void TestParent::PaintPattern(HDC dc)
{
    const RECT client = ui::ClientRect(m_hwnd);
    const int width = ui::Width(client);
    const int height = ui::Height(client);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const COLORREF c = ParentPatternAt(x, y);
            pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
        }
    }
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                      static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
}

Capture::Capture(HWND hwnd)
{
    UpdateWindow(hwnd);
    const RECT client = ui::ClientRect(hwnd);
    m_width = ui::Width(client);
    m_height = ui::Height(client);
    m_pixels.assign(static_cast<size_t>(m_width) * static_cast<size_t>(m_height), 0);

    ui::WindowDc source(hwnd);
    ui::UniqueMemoryDc copy(CreateCompatibleDC(source.get()));
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), m_width, -m_height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    ui::UniqueBitmap dib(CreateDIBSection(copy.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || !bits)
        return;
    {
        ui::SelectedObject selected(copy.get(), dib.get());
        BitBlt(copy.get(), 0, 0, m_width, m_height, source.get(), 0, 0, SRCCOPY);
        GdiFlush();
    }
    const auto* data = static_cast<const uint32_t*>(bits);
    for (size_t i = 0; i < m_pixels.size(); ++i)
        m_pixels[i] = data[i] & 0x00FFFFFF;
}

namespace {

// A pixel of a top-down 0x00RRGGBB buffer; CLR_INVALID outside it.
COLORREF PixelOf(const std::vector<uint32_t>& pixels, int width, int height, int x, int y)
{
    if (x < 0 || y < 0 || x >= width || y >= height || pixels.empty())
        return CLR_INVALID;
    const uint32_t p = pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

}  // namespace

COLORREF Capture::At(int x, int y) const
{
    return PixelOf(m_pixels, m_width, m_height, x, y);
}

Printed::Printed(HWND hwnd, COLORREF ground)
{
    const RECT client = ui::ClientRect(hwnd);
    m_width = ui::Width(client);
    m_height = ui::Height(client);
    ui::WindowDc screen(nullptr);
    ui::UniqueMemoryDc dc(CreateCompatibleDC(screen.get()));
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), m_width, -m_height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    ui::UniqueBitmap dib(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || !bits)
        return;
    {
        ui::SelectedObject selected(dc.get(), dib.get());
        FillSolid(dc.get(), client, ground);
        SendMessageW(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc.get()), PRF_CLIENT);
        GdiFlush();
    }
    const auto* data = static_cast<const uint32_t*>(bits);
    m_pixels.assign(data, data + static_cast<size_t>(m_width) * static_cast<size_t>(m_height));
    for (auto& p : m_pixels)
        p &= 0x00FFFFFF;
}

COLORREF Printed::At(int x, int y) const
{
    return PixelOf(m_pixels, m_width, m_height, x, y);
}

namespace {

bool PngEncoder(CLSID& clsid)
{
    UINT count = 0;
    UINT size = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, size, encoders) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (std::wstring(encoders[i].MimeType) == L"image/png") {
            clsid = encoders[i].Clsid;
            return true;
        }
    }
    return false;
}

bool SaveArgbPng(const std::wstring& path, int width, int height, std::vector<uint32_t>& argb)
{
    CLSID png;
    if (!PngEncoder(png))
        return false;
    Gdiplus::Bitmap bitmap(width, height, width * 4, PixelFormat32bppARGB, reinterpret_cast<BYTE*>(argb.data()));
    return bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

}  // namespace

bool Capture::SavePng(const std::wstring& path) const
{
    std::vector<uint32_t> argb(m_pixels);
    for (auto& p : argb)
        p |= 0xFF000000u;
    return SaveArgbPng(path, m_width, m_height, argb);
}

bool WriteSlicesPng(const std::wstring& path, int sliceWidth, int height, const std::vector<COLORREF>& colours,
                    int extraColumns, COLORREF extraColour)
{
    const int width = sliceWidth * static_cast<int>(colours.size()) + extraColumns;
    std::vector<uint32_t> argb(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const size_t slice = static_cast<size_t>(x / sliceWidth);
            const COLORREF c = slice < colours.size() ? colours[slice] : extraColour;
            argb[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                0xFF000000u | (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) |
                GetBValue(c);
        }
    }
    return SaveArgbPng(path, width, height, argb);
}

ScratchSlicesPng::ScratchSlicesPng(const wchar_t* name, int sliceWidth, int height,
                                   const std::vector<COLORREF>& colours)
    : m_path(GetModuleDir() + L"\\" + name), m_written(WriteSlicesPng(m_path, sliceWidth, height, colours))
{
}

ScratchSlicesPng::~ScratchSlicesPng()
{
    DeleteFileW(m_path.c_str());
}

namespace {

std::wstring TextOf(HWND hwnd)
{
    wchar_t text[512] = {};
    GetWindowTextW(hwnd, text, 512);
    return text;
}

}  // namespace

MessageBoxWatcher::MessageBoxWatcher(DWORD timeoutMs)
    : m_watcher([this, watched = GetCurrentThreadId(), timeoutMs] { Watch(watched, timeoutMs); })
{
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    Finish();
}

SeenMessageBox MessageBoxWatcher::Finish()
{
    m_stop = true;
    if (m_watcher.joinable())
        m_watcher.join();
    return m_seen;
}

void MessageBoxWatcher::Watch(DWORD watchedThread, DWORD timeoutMs)
{
    HWND box = nullptr;
    WaitUntil([&] { return m_stop || (box = driver::FindMessageBox(driver::ThreadWindows(watchedThread))) != nullptr; },
              timeoutMs);
    if (!box)
        return;
    // The reads are answered by the box's modal loop on the watched thread.
    m_seen.caption = TextOf(box);
    m_seen.text = TextOf(GetDlgItem(box, 0xFFFF));  // the message text's control id
    m_seen.owner = GetWindow(box, GW_OWNER);
    m_seen.seen = true;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

namespace {

void SendMouse(DWORD flags, POINT screen = {0, 0})
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    if (flags & MOUSEEVENTF_ABSOLUTE) {
        // The system maps back with dx * width / 65536, truncated: rounding up here is the
        // one choice that lands on the pixel itself for every x.
        const int width = GetSystemMetrics(SM_CXSCREEN);
        const int height = GetSystemMetrics(SM_CYSCREEN);
        // Rounded up: the normalised coordinate is mapped back by truncation, so a rounded
        // one can land a pixel short.
        input.mi.dx = static_cast<LONG>((screen.x * 65536 + width - 1) / width);
        input.mi.dy = static_cast<LONG>((screen.y * 65536 + height - 1) / height);
    }
    SendInput(1, &input, sizeof(input));
}

}  // namespace

void MoveMouseTo(POINT screen)
{
    SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, screen);
    WaitUntil([&] {
        POINT now;
        return GetCursorPos(&now) && now.x == screen.x && now.y == screen.y;
    }, 2000);
    PumpPending();
}

void PressLeft()
{
    SendMouse(MOUSEEVENTF_LEFTDOWN);
    WaitUntil([] { return (GetAsyncKeyState(VK_LBUTTON) & 0x8000) != 0; }, 2000);
    PumpPending();
}

void ReleaseLeft()
{
    SendMouse(MOUSEEVENTF_LEFTUP);
    WaitUntil([] { return (GetAsyncKeyState(VK_LBUTTON) & 0x8000) == 0; }, 2000);
    PumpPending();
}

POINT ClientToScreenPoint(HWND hwnd, int x, int y)
{
    POINT point = {x, y};
    ClientToScreen(hwnd, &point);
    return point;
}

void ParkMouse()
{
    MoveMouseTo({1200, 950});
}

std::wstring ScreenshotDir()
{
    // Test programs run from build/<preset>/tests/<name>/.
    std::wstring dir = GetModuleDir() + L"\\..\\..\\..\\screenshots";
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void KeepScreenshotIfFailed(const Capture& shot, const std::wstring& name)
{
    if (testing::Test::HasFailure())
        shot.SavePng(ScreenshotDir() + L"\\" + name + L".png");
}

testing::AssertionResult SameRect(const RECT& actual, const RECT& expected)
{
    if (EqualRect(&actual, &expected))
        return testing::AssertionSuccess();
    const auto text = [](const RECT& r) {
        return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right) + ", " +
               std::to_string(r.bottom) + ")";
    };
    return testing::AssertionFailure() << text(actual) << " instead of " << text(expected);
}

bool ColoursNear(COLORREF a, COLORREF b, int tolerance)
{
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

}  // namespace gui_test
