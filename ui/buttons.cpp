#include "ui/buttons.h"

namespace {

// Both are owner-drawn: everything they show is drawn into their client area, so a frameless
// one has nothing for the default WM_NCPAINT to paint, and skipping it saves the 8 cached DCs
// it would take at the first paint of the window's buttons.
ui::WindowClass OwnerDrawnButtonClass(const wchar_t* name)
{
    ui::WindowClass descriptor = ui::SelfDrawnClass(name);
    descriptor.superclassOf = L"BUTTON";
    return descriptor;
}

const ui::WindowClass kCheckBoxClass = OwnerDrawnButtonClass(L"DTCheckBox");
const ui::WindowClass kBitmapButtonClass = OwnerDrawnButtonClass(L"Tovarin:CAtlBitmapButton");

}  // namespace

DTCheckBox::DTCheckBox() : ui::Window(kCheckBoxClass) {}

HWND DTCheckBox::Create(HWND parent, const RECT& rect, UINT id)
{
    return ui::Window::Create(parent, rect, L"全选", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0, id);
}

LRESULT DTCheckBox::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ERASEBKGND)
        return 1;
    return DefaultHandling(message, wParam, lParam);
}

CAtlBitmapButton::CAtlBitmapButton() : ui::Window(kBitmapButtonClass) {}

LRESULT CAtlBitmapButton::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_MOUSEMOVE: return OnMouseMove(wParam, lParam);
    case WM_LBUTTONDOWN: return OnLButtonDown(wParam, lParam);
    case WM_LBUTTONUP: return OnLButtonUp(wParam, lParam);
    case WM_KILLFOCUS: return OnKillFocus(wParam, lParam);
    case WM_MOUSELEAVE: return OnMouseLeave();
    case WM_ERASEBKGND: return 1;
    default: return DefaultHandling(message, wParam, lParam);
    }
}

LRESULT CAtlBitmapButton::OnMouseMove(WPARAM wParam, LPARAM lParam)
{
    if (m_pressed && GetCapture() == m_hwnd)
        FollowCursorWhilePressed(lParam);
    else if (m_hover.Enter(m_hwnd))
        InvalidateRect(m_hwnd, nullptr, TRUE);
    return DefaultHandling(WM_MOUSEMOVE, wParam, lParam);
}

// The pushed look follows the cursor in and out of the button while it is held.
void CAtlBitmapButton::FollowCursorWhilePressed(LPARAM lParam)
{
    POINT point = {ui::PointX(lParam), ui::PointY(lParam)};
    ClientToScreen(m_hwnd, &point);
    const bool inside = WindowFromPoint(point) == m_hwnd;
    const bool pushed = (SendMessageW(m_hwnd, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
    if (pushed != inside) {
        SendMessageW(m_hwnd, BM_SETSTATE, inside, 0);
        InvalidateRect(m_hwnd, nullptr, TRUE);
    }
}

LRESULT CAtlBitmapButton::OnLButtonDown(WPARAM wParam, LPARAM lParam)
{
    m_hover.Cancel(m_hwnd);
    m_pressed = true;
    return DefaultHandling(WM_LBUTTONDOWN, wParam, lParam);
}

LRESULT CAtlBitmapButton::OnLButtonUp(WPARAM wParam, LPARAM lParam)
{
    m_pressed = false;
    return DefaultHandling(WM_LBUTTONUP, wParam, lParam);
}

LRESULT CAtlBitmapButton::OnKillFocus(WPARAM wParam, LPARAM lParam)
{
    if (GetCapture() == m_hwnd)
        ReleaseCapture();
    m_pressed = false;
    return DefaultHandling(WM_KILLFOCUS, wParam, lParam);
}

LRESULT CAtlBitmapButton::OnMouseLeave()
{
    m_hover.Leave();
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}
