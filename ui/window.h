#pragma once
// The window framework: a C++ object bound to its window, a message dispatch that returns
// the message result, class registration under a fixed name per class, superclassing of
// system classes, and a modal dialog base. Everything runs on the UI thread.

#include <windows.h>

#include <string>

namespace ui {

// The parameters of one window class, declared once per class as a constant of static
// lifetime. The class is registered under `name` the first time one of its windows is
// created; the name identifies it, so no two classes share one. Names the program chooses
// itself begin with "Tovarin:".
struct WindowClass {
    const wchar_t* name = nullptr;
    const wchar_t* superclassOf = nullptr;  // a system class whose procedure and class data we take over
    UINT style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    const wchar_t* cursor = IDC_ARROW;
    int brush = COLOR_WINDOW + 1;
    // Its windows without a frame get no default WM_NCPAINT. That handling takes a window DC
    // and asks the display driver about the screen even when there is nothing to draw: six
    // round trips to Wine's server per window at the first paint. Only for classes that draw
    // everything they show in their client area; a system class we superclass keeps its own
    // non-client painting, and a window with a frame still gets its frame drawn.
    bool skipFramelessNcPaint = false;
};

// The class of windows that declare none of their own.
const WindowClass& DefaultWindowClass();

// The parameters of a class whose windows the program draws entirely itself, without a frame:
// the defaults, and no default WM_NCPAINT.
WindowClass SelfDrawnClass(const wchar_t* name);

HINSTANCE ModuleInstance();

// What windows and dialogs have in common: the bound handle, the dispatch and the hook
// after the last message.
class WindowBase {
public:
    WindowBase() = default;
    WindowBase(const WindowBase&) = delete;
    WindowBase& operator=(const WindowBase&) = delete;

    // Dispatches one message to the OnXxx handlers; returns the message result. Messages a
    // class does not handle go to DefaultHandling.
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual ~WindowBase() = default;

    HWND hwnd() const { return m_hwnd; }
    bool IsWindow() const { return m_hwnd != nullptr; }

protected:
    // Called once the window is gone (after WM_NCDESTROY); the handle is already cleared.
    // An object that owns itself deletes itself here.
    virtual void OnFinalMessage(HWND) {}

    HWND m_hwnd = nullptr;  // the bound window, null before creation and after WM_NCDESTROY
};

class Window : public WindowBase {
public:
    explicit Window(const WindowClass& windowClass = DefaultWindowClass()) : m_class(windowClass) {}
    ~Window() override;  // destroys a window that still exists

    // Creates the window with this object bound to it from WM_NCCREATE on. A child gets
    // `id` as its control id. Null when the system or a handler refused creation.
    HWND Create(HWND parent, const RECT& rect, const wchar_t* text, DWORD style, DWORD exStyle = 0, UINT id = 0);

    // The procedure that handles what this class leaves alone: the superclassed one, or
    // DefWindowProcW.
    virtual WNDPROC GetWindowProc() const;

protected:
    LRESULT DefaultHandling(UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend LRESULT CALLBACK WindowProcedure(HWND, UINT, WPARAM, LPARAM);
    void FinishMessages(HWND hwnd);

    const WindowClass& m_class;  // borrowed: the class's constant, which outlives every window
};

// A modal dialog from a dialog template in the program's module.
class Dialog : public WindowBase {
public:
    // Runs the dialog's own modal loop; returns the result given to EndDialog, or -1.
    INT_PTR DoModal(HWND owner, WORD templateId);

protected:
    // Marks the message as not handled: the dialog manager's default processing follows.
    LRESULT DefaultHandling(UINT message, WPARAM wParam, LPARAM lParam);
    void EndDialog(INT_PTR result);

private:
    friend INT_PTR CALLBACK DialogProcedure(HWND, UINT, WPARAM, LPARAM);
    bool m_handled = false;  // of the message being handled; DialogProcedure keeps one per nesting level
};

// Signed client coordinates of a mouse message.
inline int PointX(LPARAM lParam) { return static_cast<short>(LOWORD(lParam)); }
inline int PointY(LPARAM lParam) { return static_cast<short>(HIWORD(lParam)); }

RECT ClientRect(HWND hwnd);
int Width(const RECT& rect);
int Height(const RECT& rect);

}  // namespace ui
