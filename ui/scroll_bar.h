#pragma once
// The skinned vertical scroll bar of the software list: a flat track and a thumb drawn from
// two embedded images. It keeps no scrolling logic of its own: it asks its parent for
// absolute positions (WM_VSCROLL, wParam = the position) and the parent writes the state back.

#include <optional>

#include "ui/hover.h"
#include "ui/skin.h"
#include "ui/window.h"

// A write of the owner into the bar's state: the fields it names change, the others keep
// their values. For example ScrollStateChange().Pos(0).Max(456).Visible(true).
class ScrollStateChange {
public:
    ScrollStateChange& Pos(int pos) { return Set(m_pos, pos); }
    ScrollStateChange& Min(int min) { return Set(m_min, min); }
    ScrollStateChange& Max(int max) { return Set(m_max, max); }
    ScrollStateChange& Page(int page) { return Set(m_page, page); }
    ScrollStateChange& Visible(bool visible) { return Set(m_visible, visible); }

private:
    friend class CDTVerticalScrollBar;
    template <typename T>
    ScrollStateChange& Set(std::optional<T>& field, T value)
    {
        field = value;
        return *this;
    }

    std::optional<int> m_pos;
    std::optional<int> m_min;
    std::optional<int> m_max;
    std::optional<int> m_page;
    std::optional<bool> m_visible;
};

class CDTVerticalScrollBar : public ui::Window {
public:
    CDTVerticalScrollBar();
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The owner invalidates the bar after a change; the bar never changes these fields itself.
    void SetScrollState(const ScrollStateChange& change);

    // Client coordinates; at 96 dpi 12 pixels wide, one pixel in from the left edge. It may
    // reach above the bar when the thumb is taller than the bar. Empty when the range is empty.
    RECT GetThumbRect() const;

    int Pos() const { return m_pos; }
    int Min() const { return m_min; }
    int Max() const { return m_max; }
    int Page() const { return m_page; }
    bool IsHover() const { return m_hover.IsHover(); }

private:
    // The thumb along the bar, for a non-empty range: its height (at least 5), the room it
    // can move in, and its top.
    struct ThumbGeometry {
        int height;
        int freeHeight;  // zero or negative when the thumb is at least as tall as the bar
        int top;
    };

    LRESULT OnCreate();
    LRESULT OnDestroy();
    LRESULT OnPaint();
    LRESULT OnLButtonDown(LPARAM lParam);
    LRESULT OnMouseMove(LPARAM lParam);
    LRESULT OnLButtonUp();
    LRESULT OnMouseLeave();
    LRESULT OnCaptureChanged();

    bool HasRange() const { return m_max > m_min; }
    // Wider than int: m_max - m_min can exceed it.
    double Range() const { return static_cast<double>(m_max) - static_cast<double>(m_min); }
    long long RangeWidth() const { return static_cast<long long>(m_max) - m_min; }
    ThumbGeometry Geometry() const;
    void ClickTrack(int y);
    void DragTo(POINT point);
    void EndDrag();
    void RequestPosition(int position);
    void DrawTrackAndThumb(HDC dc);

    ui::HoverTracker m_hover;
    bool m_dragging = false;  // the left button went down on the thumb and the drag goes on
    bool m_captured = false;  // the bar holds the mouse capture for the drag
    POINT m_lastPoint = {};   // cursor at the drag's start, client coordinates
    int m_dragStartTop = 0;   // the thumb's top at the drag's start
    int m_pos = 0;
    int m_min = 0;
    int m_max = 0;
    int m_page = 1;
    bool m_visible = false;  // track and thumb are drawn; hidden, the bar is a white strip
    // The shared pictures' parts at the size this bar shows them.
    CReadyBitmap m_readyTrack;
    CReadyBitmap m_readyThumbTop;
    CReadyBitmap m_readyThumbMiddle;
    CReadyBitmap m_readyThumbBottom;
};
