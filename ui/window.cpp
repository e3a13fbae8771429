#include "ui/window.h"

#include <map>

namespace ui {

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

struct RegisteredClass {
    ATOM atom = 0;
    std::wstring name;
    WNDPROC baseProcedure = DefWindowProcW;
};

// UI thread only, like every window.
std::map<std::wstring, RegisteredClass>& ClassesByName()
{
    static std::map<std::wstring, RegisteredClass> classes;
    return classes;
}

std::map<ATOM, WNDPROC>& BaseProceduresByAtom()
{
    static std::map<ATOM, WNDPROC> procedures;
    return procedures;
}

const RegisteredClass* Register(const WindowClass& descriptor)
{
    auto& classes = ClassesByName();
    const auto found = classes.find(descriptor.name);
    if (found != classes.end())
        return &found->second;

    RegisteredClass registered;
    registered.name = descriptor.name;

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (descriptor.superclassOf) {
        if (!GetClassInfoExW(nullptr, descriptor.superclassOf, &wc))
            return nullptr;
        registered.baseProcedure = wc.lpfnWndProc;
        wc.style &= ~static_cast<UINT>(CS_GLOBALCLASS);  // ours is local to the program
    } else {
        wc.style = descriptor.style;
        wc.hCursor = LoadCursorW(nullptr, descriptor.cursor);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(descriptor.brush));
    }
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = ModuleInstance();
    wc.lpszClassName = registered.name.c_str();
    registered.atom = RegisterClassExW(&wc);
    if (!registered.atom)
        return nullptr;
    BaseProceduresByAtom()[registered.atom] = registered.baseProcedure;
    return &classes.emplace(descriptor.name, std::move(registered)).first->second;
}

WNDPROC BaseProcedureOf(HWND hwnd)
{
    const auto atom = static_cast<ATOM>(GetClassLongPtrW(hwnd, GCW_ATOM));
    const auto& procedures = BaseProceduresByAtom();
    const auto found = procedures.find(atom);
    return found == procedures.end() ? DefWindowProcW : found->second;
}

Window* BoundWindow(HWND hwnd)
{
    return reinterpret_cast<Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

// True when the window's rectangle is larger than its client area: a border, a caption or a
// scroll bar that WM_NCPAINT draws.
bool HasFrame(HWND hwnd)
{
    RECT window = {};
    GetWindowRect(hwnd, &window);
    const RECT client = ClientRect(hwnd);
    return Width(window) != Width(client) || Height(window) != Height(client);
}

}  // namespace

const WindowClass& DefaultWindowClass()
{
    static const WindowClass descriptor{L"Tovarin:Window"};
    return descriptor;
}

WindowClass SelfDrawnClass(const wchar_t* name)
{
    WindowClass descriptor{name};
    descriptor.skipFramelessNcPaint = true;
    return descriptor;
}

HINSTANCE ModuleInstance()
{
    return GetModuleHandleW(nullptr);
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* self = BoundWindow(hwnd);
    if (!self && message == WM_NCCREATE) {
        self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (self) {
            self->m_hwnd = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    }
    if (!self)
        return CallWindowProcW(BaseProcedureOf(hwnd), hwnd, message, wParam, lParam);

    if (message == WM_NCPAINT && self->m_class.skipFramelessNcPaint && !HasFrame(hwnd))
        return 0;
    const LRESULT result = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY)
        self->FinishMessages(hwnd);
    return result;
}

Window::~Window()
{
    if (!m_hwnd)
        return;
    // The derived part is gone: the window's last messages must not reach it.
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
    DestroyWindow(m_hwnd);
    m_hwnd = nullptr;
}

HWND Window::Create(HWND parent, const RECT& rect, const wchar_t* text, DWORD style, DWORD exStyle, UINT id)
{
    const RegisteredClass* registered = Register(m_class);
    if (!registered)
        return nullptr;
    const HMENU menuOrId = (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)) : nullptr;
    const HWND hwnd = CreateWindowExW(exStyle, registered->name.c_str(), text, style, rect.left, rect.top,
                                      Width(rect), Height(rect), parent, menuOrId, ModuleInstance(), this);
    if (!hwnd)
        m_hwnd = nullptr;  // a refused creation has already run WM_NCDESTROY
    return hwnd;
}

WNDPROC Window::GetWindowProc() const
{
    const auto found = ClassesByName().find(m_class.name);
    return found == ClassesByName().end() ? DefWindowProcW : found->second.baseProcedure;
}

LRESULT Window::DefaultHandling(UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcW(GetWindowProc(), m_hwnd, message, wParam, lParam);
}

void Window::FinishMessages(HWND hwnd)
{
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    m_hwnd = nullptr;
    OnFinalMessage(hwnd);
}

namespace {

// Messages whose result is the dialog procedure's own return value rather than
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

}  // namespace

INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self && message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        self->m_hwnd = hwnd;
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self)
        return FALSE;

    // The flag belongs to this message: a handler that sends nested messages to the dialog
    // gets its own flag back when they return, whatever they set.
    const bool outerHandled = self->m_handled;
    self->m_handled = true;
    const LRESULT result = self->HandleMessage(message, wParam, lParam);
    const bool handled = self->m_handled;
    self->m_handled = outerHandled;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->m_hwnd = nullptr;
        self->OnFinalMessage(hwnd);
    }
    if (!handled)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR Dialog::DoModal(HWND owner, WORD templateId)
{
    return DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(templateId), owner, DialogProcedure,
                           reinterpret_cast<LPARAM>(this));
}

LRESULT Dialog::DefaultHandling(UINT, WPARAM, LPARAM)
{
    m_handled = false;
    return 0;
}

void Dialog::EndDialog(INT_PTR result)
{
    ::EndDialog(m_hwnd, result);
}

RECT ClientRect(HWND hwnd)
{
    RECT rect = {};
    GetClientRect(hwnd, &rect);
    return rect;
}

int Width(const RECT& rect)
{
    return rect.right - rect.left;
}

int Height(const RECT& rect)
{
    return rect.bottom - rect.top;
}

}  // namespace ui
