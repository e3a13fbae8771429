#include "ui/group_button.h"

#include "ui/scale.h"

namespace {

// In 96-dpi pixels. The caption's band at the bottom of the button.
constexpr int kCaptionHeight = 24;
// The icon's bottom edge lies this far above the background slice's bottom.
constexpr int kIconBottomMargin = 30;
// Longer names are cut before drawing.
constexpr int kMaxCaptionLength = 255;

const ui::WindowClass kWindowClass = ui::SelfDrawnClass(L"Tovarin:CGroupButton");
}  // namespace

CGroupButton::CGroupButton() : ui::Window(kWindowClass) {}

void CGroupButton::SetSkin(const CGdiPlusBitmap* background, HFONT font)
{
    m_background = background;
    m_font = font;
}

void CGroupButton::SetSelected(bool selected)
{
    m_selected = selected;
    InvalidateRect(m_hwnd, nullptr, TRUE);
}

void CGroupButton::ClearLooks()
{
    m_hover.Leave();
    m_selected = false;
}

LRESULT CGroupButton::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return OnCreate();
    case WM_PAINT: return OnPaint();
    case WM_ERASEBKGND: return 1;
    case WM_MOUSEMOVE: return OnMouseMove();
    case WM_LBUTTONDOWN: return OnLButtonDown();
    case WM_MOUSELEAVE: return OnMouseLeave();
    default: return DefaultHandling(message, wParam, lParam);
    }
}

LRESULT CGroupButton::OnCreate()
{
    ClearLooks();
    return 0;
}

LRESULT CGroupButton::OnMouseMove()
{
    if (m_hover.Enter(m_hwnd))
        InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

// The press alone selects: no capture, nothing on release. The main window also sends this
// message itself (wParam 0, lParam 0) to select the first group.
LRESULT CGroupButton::OnLButtonDown()
{
    m_selected = true;
    InvalidateRect(m_hwnd, nullptr, TRUE);
    SendMessageW(GetParent(m_hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(m_hwnd), 0), reinterpret_cast<LPARAM>(m_hwnd));
    return 0;
}

LRESULT CGroupButton::OnMouseLeave()
{
    m_hover.Leave();
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

LRESULT CGroupButton::OnPaint()
{
    ui::PaintScope paint(m_hwnd);
    const RECT client = ui::ClientRect(m_hwnd);
    CMemorySurface surface(paint.dc(), client);
    DrawParentBackground(m_hwnd, surface.dc());
    DrawBackground(surface.dc(), client);
    DrawIcon(surface.dc());
    DrawCaption(surface.dc(), client);
    return 0;
}

// Selected wins over hover, so hovering the current group changes nothing.
void CGroupButton::DrawBackground(HDC dc, const RECT& client)
{
    if (!m_background)
        return;
    const int slice = m_selected ? SlicePressed : (m_hover.IsHover() ? SliceHover : SliceNormal);
    m_readyBackground.Draw(dc, *m_background, slice, client);
}

// Placed from the background slice's size, not the window's: with a slice of the button's
// size the icon is centred and ends 30 pixels above the bottom.
void CGroupButton::DrawIcon(HDC dc)
{
    if (!m_icon.bitmap() || !m_background)
        return;
    const int iconWidth = m_icon.Width();
    const int iconHeight = m_icon.Height();
    const int x = (SliceWidth(*m_background) - iconWidth) / 2;
    const int y = m_background->Height() - iconHeight - kIconBottomMargin;
    m_readyIcon.Draw(dc, m_icon, ui::Scaled(RECT{x, y, x + iconWidth, y + iconHeight}), {0, 0, iconWidth, iconHeight});
}

void CGroupButton::DrawCaption(HDC dc, const RECT& client) const
{
    wchar_t caption[kMaxCaptionLength + 1] = {};
    GetWindowTextW(m_hwnd, caption, kMaxCaptionLength + 1);
    RECT band = {client.left, client.bottom - ui::Scaled(kCaptionHeight), client.right, client.bottom};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    ui::SelectedObject font(dc, m_font);
    DrawTextW(dc, caption, -1, &band, DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);  // "&" as written
}
