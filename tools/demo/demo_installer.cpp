// A harmless stand-in installer for the demo: shows "正在安装 <name> …" with a moving bar
// for a few seconds, then exits. <name> is its own file name without ".exe".

#include <windows.h>

#include <string>

#include "ui/gdi.h"
#include "ui/window.h"

namespace {

constexpr UINT_PTR kAnimationTimer = 1;
constexpr UINT kFrameMs = 50;
constexpr int kFrames = 60;  // three seconds

std::wstring OwnName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.rfind(L'\\') + 1);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

class InstallerWindow : public ui::Window {
public:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case WM_CREATE: SetTimer(m_hwnd, kAnimationTimer, kFrameMs, nullptr); return 0;
        case WM_TIMER: return OnTimer();
        case WM_PAINT: return OnPaint();
        case WM_DESTROY: PostQuitMessage(0); return 0;
        default: return DefaultHandling(message, wParam, lParam);
        }
    }

private:
    LRESULT OnTimer()
    {
        if (++m_frame >= kFrames)
            DestroyWindow(m_hwnd);
        else
            InvalidateRect(m_hwnd, nullptr, FALSE);
        return 0;
    }

    LRESULT OnPaint()
    {
        ui::PaintScope paint(m_hwnd);
        const RECT client = ui::ClientRect(m_hwnd);
        FillRect(paint.dc(), &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        RECT text = {16, 16, client.right - 16, 48};
        SetBkMode(paint.dc(), TRANSPARENT);
        std::wstring line = L"正在安装 " + OwnName() + L" …";
        DrawTextW(paint.dc(), line.c_str(), -1, &text, DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
        RECT track = {16, 60, client.right - 16, 74};
        FrameRect(paint.dc(), &track, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
        RECT fill = track;
        InflateRect(&fill, -2, -2);
        fill.right = fill.left + (fill.right - fill.left) * (m_frame + 1) / kFrames;
        ui::UniqueBrush blue(CreateSolidBrush(RGB(18, 107, 188)));
        FillRect(paint.dc(), &fill, blue.get());
        return 0;
    }

    int m_frame = 0;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int)
{
    InstallerWindow window;
    const int width = 360;
    const int height = 100;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    if (!window.Create(nullptr, {x, y, x + width, y + height}, (L"正在安装 " + OwnName()).c_str(),
                       WS_POPUP | WS_CAPTION | WS_VISIBLE))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
