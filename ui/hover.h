#pragma once
// Hover tracking for the self-drawn controls: the cursor is over a control from its first
// WM_MOUSEMOVE, which asks for a WM_MOUSELEAVE, until that leave notification arrives.

#include <windows.h>

namespace ui {

class HoverTracker {
public:
    // On WM_MOUSEMOVE. True when the cursor has just come in and the leave notification is
    // now requested; the control then repaints its hover look.
    bool Enter(HWND hwnd);
    // On WM_MOUSELEAVE, or to forget the hover without touching the notification.
    void Leave() { m_hover = false; }
    // Withdraws the leave notification and drops the hover, when the withdrawal succeeds.
    void Cancel(HWND hwnd);

    bool IsHover() const { return m_hover; }

private:
    bool m_hover = false;
};

}  // namespace ui
