#include "ui/hover.h"

#include <commctrl.h>

namespace ui {

bool HoverTracker::Enter(HWND hwnd)
{
    if (m_hover)
        return false;
    TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, hwnd, HOVER_DEFAULT};
    m_hover = _TrackMouseEvent(&track) != FALSE;
    return m_hover;
}

void HoverTracker::Cancel(HWND hwnd)
{
    if (!m_hover)
        return;
    TRACKMOUSEEVENT cancel = {sizeof(cancel), TME_CANCEL | TME_LEAVE, hwnd, HOVER_DEFAULT};
    if (_TrackMouseEvent(&cancel))
        m_hover = false;
}

}  // namespace ui
