#pragma once
// Button controls of the skin: the owner-drawn select-all box class and the owner-drawn
// push button that tracks hover and the pushed look for its owner.

#include "ui/hover.h"
#include "ui/window.h"

// The "全选" box: a superclass of "BUTTON" that erases nothing; its owner draws it on
// WM_DRAWITEM and gets BN_CLICKED like from any button.
class DTCheckBox : public ui::Window {
public:
    DTCheckBox();
    HWND Create(HWND parent, const RECT& rect, UINT id);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};

// An owner-drawn push button (a superclass of "BUTTON" under the program's own name). Its
// owner picks the pressed slice from ODS_SELECTED and the hover slice from IsHover().
class CAtlBitmapButton : public ui::Window {
public:
    CAtlBitmapButton();
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsHover() const { return m_hover.IsHover(); }

private:
    LRESULT OnMouseMove(WPARAM wParam, LPARAM lParam);
    LRESULT OnLButtonDown(WPARAM wParam, LPARAM lParam);
    LRESULT OnLButtonUp(WPARAM wParam, LPARAM lParam);
    LRESULT OnKillFocus(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseLeave();
    void FollowCursorWhilePressed(LPARAM lParam);

    ui::HoverTracker m_hover;
    bool m_pressed = false;  // the left button went down on the button
};
