#include "ui/scroll_bar.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "res/resource.h"
#include "ui/scale.h"

namespace {

// In 96-dpi pixels, shown through ui::Scaled.
constexpr int kTrackLeft = 3;
constexpr int kThumbLeft = 1;
constexpr int kThumbWidth = 12;
constexpr int kMinThumbHeight = 5;
constexpr int kThumbCapHeight = 5;
constexpr int kTrackClickToStart = 10;  // track clicks this close to the top go to the minimum

// Truncation toward zero that stays defined where the owner's numbers make the double huge,
// infinite or not a number.
int TruncateToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

// Shared by every bar: loaded when a bar is created, emptied when one is destroyed, so that
// no picture is left for static destruction, after the program's GDI+ session has ended.
CGdiPlusBitmapResource& SharedTrack()
{
    static CGdiPlusBitmapResource image;
    return image;
}

CGdiPlusBitmapResource& SharedThumb()
{
    static CGdiPlusBitmapResource image;
    return image;
}

const ui::WindowClass kWindowClass = ui::SelfDrawnClass(L"Tovarin:CDTVerticalScrollBar");
}  // namespace

CDTVerticalScrollBar::CDTVerticalScrollBar() : ui::Window(kWindowClass) {}

LRESULT CDTVerticalScrollBar::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return OnCreate();
    case WM_DESTROY: return OnDestroy();
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: return OnPaint();
    case WM_LBUTTONDOWN: return OnLButtonDown(lParam);
    case WM_MOUSEMOVE: return OnMouseMove(lParam);
    case WM_LBUTTONUP: return OnLButtonUp();
    case WM_MOUSELEAVE: return OnMouseLeave();
    case WM_CAPTURECHANGED: return OnCaptureChanged();
    default: return DefaultHandling(message, wParam, lParam);
    }
}

void CDTVerticalScrollBar::SetScrollState(const ScrollStateChange& change)
{
    m_pos = change.m_pos.value_or(m_pos);
    m_min = change.m_min.value_or(m_min);
    m_max = change.m_max.value_or(m_max);
    m_page = change.m_page.value_or(m_page);
    m_visible = change.m_visible.value_or(m_visible);
}

LRESULT CDTVerticalScrollBar::OnCreate()
{
    m_hover.Leave();
    m_dragging = false;
    m_captured = false;
    m_lastPoint = {};
    m_dragStartTop = 0;
    m_pos = 0;
    m_min = 0;
    m_max = 0;
    m_page = 1;
    m_visible = false;
    // No failure path: a bar without its images draws only its white ground.
    SharedTrack().LoadFromResource(IDR_PNG_SCROLL_TRACK, L"PNG");
    SharedThumb().LoadFromResource(IDR_PNG_SCROLL_THUMB, L"PNG");
    return 0;
}

LRESULT CDTVerticalScrollBar::OnDestroy()
{
    SharedTrack().Empty();
    SharedThumb().Empty();
    return 0;
}

CDTVerticalScrollBar::ThumbGeometry CDTVerticalScrollBar::Geometry() const
{
    const int barHeight = ui::Height(ui::ClientRect(m_hwnd));
    // The content is the range plus the page in view: the thumb is to the bar what the page is
    // to the content. Multiplied first, so that exact quotients stay exact.
    const int height = std::max(TruncateToInt(m_page * static_cast<double>(barHeight) / (Range() + m_page)),
                                ui::Scaled(kMinThumbHeight));
    const int freeHeight = barHeight - height;
    // m_pos is not offset by m_min: the list's range always starts at 0. In integers, so that
    // the position a drag derives from a thumb top gives that very top back.
    const long long top = static_cast<long long>(m_pos) * freeHeight / RangeWidth();
    return {height, freeHeight, static_cast<int>(std::clamp<long long>(top, INT_MIN, freeHeight))};
}

RECT CDTVerticalScrollBar::GetThumbRect() const
{
    if (!HasRange())
        return {};
    const ThumbGeometry thumb = Geometry();
    return {ui::Scaled(kThumbLeft), thumb.top, ui::Scaled(kThumbLeft + kThumbWidth), thumb.top + thumb.height};
}

LRESULT CDTVerticalScrollBar::OnLButtonDown(LPARAM lParam)
{
    const POINT point = {ui::PointX(lParam), ui::PointY(lParam)};
    const RECT thumb = GetThumbRect();
    if (!PtInRect(&thumb, point)) {
        ClickTrack(point.y);
        return 0;
    }
    m_lastPoint = point;
    m_dragStartTop = thumb.top;
    m_dragging = true;
    if (!m_captured) {
        m_captured = true;
        SetCapture(m_hwnd);
    }
    return 0;
}

// The thumb's top jumps to the clicked height.
void CDTVerticalScrollBar::ClickTrack(int y)
{
    // With an empty range, or a thumb that fills the bar, there is no height to aim at.
    const int freeHeight = HasRange() ? Geometry().freeHeight : 0;
    if (freeHeight <= 0) {
        RequestPosition(m_min);
        return;
    }
    const int target = y > freeHeight ? freeHeight : (y < ui::Scaled(kTrackClickToStart) ? 0 : y);
    RequestPosition(TruncateToInt(Range() * (static_cast<double>(target) / freeHeight) + m_min));
}

LRESULT CDTVerticalScrollBar::OnMouseMove(LPARAM lParam)
{
    if (m_hover.Enter(m_hwnd))
        InvalidateRect(m_hwnd, nullptr, TRUE);
    if (m_dragging)
        DragTo({ui::PointX(lParam), ui::PointY(lParam)});
    return 0;
}

// The thumb follows the cursor 1:1: its top moves as far as the cursor has from the press,
// within the free height, and the position asked for is the smallest one whose thumb top
// is there.
void CDTVerticalScrollBar::DragTo(POINT point)
{
    // A thumb that fills the bar has no room to move in: the drag asks for nothing. The owner
    // may also have emptied the range since the drag began.
    const int freeHeight = HasRange() ? Geometry().freeHeight : 0;
    if (freeHeight <= 0)
        return;
    const long long moved = static_cast<long long>(point.y) - m_lastPoint.y;
    const long long top = std::clamp(m_dragStartTop + moved, 0LL, static_cast<long long>(freeHeight));
    const long long requested = m_min + (top * RangeWidth() + freeHeight - 1) / freeHeight;
    RequestPosition(static_cast<int>(std::min(requested, static_cast<long long>(m_max))));
}

LRESULT CDTVerticalScrollBar::OnLButtonUp()
{
    EndDrag();
    return 0;
}

LRESULT CDTVerticalScrollBar::OnMouseLeave()
{
    m_hover.Leave();
    EndDrag();
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

// Another window took the mouse mid-drag (or the bar let go of it itself): the release will
// not come here, so the drag ends now.
LRESULT CDTVerticalScrollBar::OnCaptureChanged()
{
    m_dragging = false;
    m_captured = false;
    return 0;
}

void CDTVerticalScrollBar::EndDrag()
{
    m_dragging = false;
    if (m_captured) {
        m_captured = false;
        ReleaseCapture();
    }
}

// Synchronous: the owner scrolls and writes m_pos back before the next drag step.
void CDTVerticalScrollBar::RequestPosition(int position)
{
    SendMessageW(GetParent(m_hwnd), WM_VSCROLL, static_cast<WPARAM>(static_cast<INT_PTR>(position)), 0);
}

LRESULT CDTVerticalScrollBar::OnPaint()
{
    ui::PaintScope paint(m_hwnd);
    const RECT client = ui::ClientRect(m_hwnd);
    CMemorySurface surface(paint.dc(), client);
    FillWhite(surface.dc(), client);
    if (m_visible)
        DrawTrackAndThumb(surface.dc());
    return 0;
}

// The track at its own size from the top; the thumb as two caps and a stretched middle.
void CDTVerticalScrollBar::DrawTrackAndThumb(HDC dc)
{
    const CGdiPlusBitmap& track = SharedTrack();
    m_readyTrack.Draw(dc, track, ui::Scaled(RECT{kTrackLeft, 0, kTrackLeft + track.Width(), track.Height()}),
                      {0, 0, track.Width(), track.Height()});

    const RECT thumb = GetThumbRect();
    if (IsRectEmpty(&thumb))
        return;
    const CGdiPlusBitmap& image = SharedThumb();
    const int width = image.Width();
    const int height = image.Height();
    const int right = thumb.left + ui::Scaled(width);
    // A thumb shorter than two caps shares its height between them and has no middle; a cap
    // cut so shows the same share of the picture's cap.
    const int capHeight = ui::Scaled(kThumbCapHeight);
    const int topCap = std::min(capHeight, ui::Height(thumb) / 2);
    const int bottomCap = std::min(capHeight, ui::Height(thumb) - topCap);
    const int middleTop = thumb.top + topCap;
    const int middleBottom = thumb.bottom - bottomCap;
    m_readyThumbTop.Draw(dc, image, {thumb.left, thumb.top, right, middleTop},
                         {0, 0, width, topCap * kThumbCapHeight / capHeight});
    if (middleBottom > middleTop)
        m_readyThumbMiddle.Draw(dc, image, {thumb.left, middleTop, right, middleBottom},
                                {0, kThumbCapHeight, width, height - kThumbCapHeight});
    m_readyThumbBottom.Draw(dc, image, {thumb.left, middleBottom, right, thumb.bottom},
                            {0, height - bottomCap * kThumbCapHeight / capHeight, width, height});
}
