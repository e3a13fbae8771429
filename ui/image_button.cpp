#include "ui/image_button.h"

#include "ui/scale.h"

namespace {
const ui::WindowClass kWindowClass = ui::SelfDrawnClass(L"DTImageButton");
}  // namespace

DTImageButton::DTImageButton() : ui::Window(kWindowClass) {}

HWND DTImageButton::CreateFromResource(HWND parent, const RECT& rect, const wchar_t* text, UINT id, UINT resourceId)
{
    if (!m_image.LoadFromResource(resourceId, L"PNG"))
        return nullptr;
    return CreateButton(parent, rect, text, id);
}

HWND DTImageButton::CreateFromFile(HWND parent, const RECT& rect, UINT id, const std::wstring& imagePath)
{
    CGdiPlusBitmapResource picture;
    if (!picture.LoadFromFile(imagePath))
        return nullptr;
    return CreateFromPicture(parent, rect, id, picture);
}

HWND DTImageButton::CreateFromPicture(HWND parent, const RECT& rect, UINT id, CGdiPlusBitmapResource& picture)
{
    if (!picture.bitmap())
        return nullptr;
    m_image.TakeFrom(picture);
    return CreateButton(parent, rect, L"一键安装", id);
}

HWND DTImageButton::CreateButton(HWND parent, const RECT& rect, const wchar_t* text, UINT id)
{
    m_text = text;
    return Create(parent, rect, m_text.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, id);
}

LRESULT DTImageButton::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: return OnPaint();
    case WM_ERASEBKGND: return 1;
    case WM_MOUSEMOVE: return OnMouseMove();
    case WM_LBUTTONDOWN: return OnLButtonDown();
    case WM_LBUTTONUP: return OnLButtonUp();
    case WM_MOUSELEAVE: return OnMouseLeave();
    default: return DefaultHandling(message, wParam, lParam);
    }
}

LRESULT DTImageButton::OnPaint()
{
    ui::PaintScope paint(m_hwnd);
    DrawButton(paint.dc());
    return 0;
}

LRESULT DTImageButton::OnMouseMove()
{
    if (m_hover.Enter(m_hwnd))
        InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

LRESULT DTImageButton::OnLButtonDown()
{
    m_pressed = true;
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

// There is no capture: a press that left the button was already dropped by WM_MOUSELEAVE,
// so only a release over the button that took the press completes a click.
LRESULT DTImageButton::OnLButtonUp()
{
    if (m_pressed) {
        m_pressed = false;
        InvalidateRect(m_hwnd, nullptr, TRUE);
        NotifyClicked();
    }
    return 0;
}

LRESULT DTImageButton::OnMouseLeave()
{
    m_hover.Leave();
    m_pressed = false;
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

// Sent, not posted: the parent's handler (which may run a modal dialog) runs before the
// button handles anything else.
void DTImageButton::NotifyClicked()
{
    const int id = GetDlgCtrlID(m_hwnd);
    SendMessageW(GetParent(m_hwnd), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(m_hwnd));
}

int DTImageButton::CurrentSlice() const
{
    if (m_pressed)
        return SlicePressed;
    return m_hover.IsHover() ? SliceHover : SliceNormal;
}

// The slice keeps its own size, scaled to the display: a larger rectangle shows the parent's
// background around it.
void DTImageButton::DrawButton(HDC dc)
{
    CMemorySurface surface(dc, ui::ClientRect(m_hwnd));
    DrawParentBackground(m_hwnd, surface.dc());
    m_faces.Draw(surface.dc(), m_image, CurrentSlice(), ui::Scaled(RECT{0, 0, SliceWidth(m_image), m_image.Height()}));
}
