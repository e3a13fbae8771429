#pragma once
// The self-drawn image button: its face is one slice of a four-state image (normal, hover,
// pressed, disabled), drawn at the slice's own size over the parent's background.

#include <windows.h>

#include <string>

#include "ui/hover.h"
#include "ui/skin.h"
#include "ui/window.h"

class DTImageButton : public ui::Window {
public:
    DTImageButton();
    // Loads the "PNG" resource first; without it no window is made and the result is null.
    HWND CreateFromResource(HWND parent, const RECT& rect, const wchar_t* text, UINT id, UINT resourceId);
    // The one-key install button: the face comes from a skin file, the text is "一键安装".
    HWND CreateFromFile(HWND parent, const RECT& rect, UINT id, const std::wstring& imagePath);
    // The same with the face already decoded (by an owner that measured it first): the button
    // takes the picture over and leaves `picture` empty.
    HWND CreateFromPicture(HWND parent, const RECT& rect, UINT id, CGdiPlusBitmapResource& picture);

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    bool hover() const { return m_hover.IsHover(); }
    bool pressed() const { return m_pressed; }
    const std::wstring& text() const { return m_text; }

private:
    HWND CreateButton(HWND parent, const RECT& rect, const wchar_t* text, UINT id);
    LRESULT OnPaint();
    LRESULT OnMouseMove();
    LRESULT OnLButtonDown();
    LRESULT OnLButtonUp();
    LRESULT OnMouseLeave();
    int CurrentSlice() const;
    void DrawButton(HDC dc);
    void NotifyClicked();

    ui::HoverTracker m_hover;
    bool m_pressed = false;  // the left button went down here and was neither released nor lost
    CGdiPlusBitmapResource m_image;
    CReadySlices m_faces;  // m_image's slices at their own size
    std::wstring m_text;  // also the window text; never drawn
};
