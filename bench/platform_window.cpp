// The platform floor: the bare window after the start-up every run of the program pays
// before its own work: COM, the common controls (version 6, through the program's
// manifest, linked in) and GDI+.

#include <windows.h>

#include <commctrl.h>

#include "bench/bare_window.h"
#include "ui/gdi.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, wchar_t*, int showCommand)
{
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {8, 0xFF};
    InitCommonControlsEx(&controls);
    int result = 0;
    {
        ui::GdiplusSession gdiplus;
        result = RunBareWindow(instance, L"platform window", showCommand);
    }
    CoUninitialize();
    return result;
}
