#pragma once
// One group of the catalogue as a large button: the group's icon above its name on a
// stretched background slice, in three looks (normal, hover, selected). A press selects it
// and tells the parent; clearing the previous selection is the parent's job.

#include <windows.h>

#include "ui/hover.h"
#include "ui/skin.h"
#include "ui/window.h"

class CGroupButton : public ui::Window {
public:
    CGroupButton();
    // Both stay the main window's; they must outlive this button's window.
    void SetSkin(const CGdiPlusBitmap* background, HFONT font);
    CGdiPlusBitmapResource& icon() { return m_icon; }

    void SetSelected(bool selected);
    // Forgets hover and selection without painting, for a reload that destroys the window.
    void ClearLooks();
    bool selected() const { return m_selected; }
    bool hover() const { return m_hover.IsHover(); }

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    LRESULT OnCreate();
    LRESULT OnPaint();
    LRESULT OnMouseMove();
    LRESULT OnLButtonDown();
    LRESULT OnMouseLeave();
    void DrawBackground(HDC dc, const RECT& client);
    void DrawIcon(HDC dc);
    void DrawCaption(HDC dc, const RECT& client) const;

    ui::HoverTracker m_hover;
    bool m_selected = false;  // this button's group is the current group
    CGdiPlusBitmapResource m_icon;  // owned; empty when the group's icon did not load
    const CGdiPlusBitmap* m_background = nullptr;  // borrowed from the main window
    CReadySlices m_readyBackground;  // m_background's slices stretched to the button
    CReadyBitmap m_readyIcon;
    HFONT m_font = nullptr;                        // borrowed from the main window
};
