// The program's entry: one instance per user logon, then COM, the common controls and
// GDI+ around the main window's message loop.

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "app/startup.h"
#include "ui/gdi.h"

// The mutex that keeps one instance per user logon: created during static initialisation,
// before the entry point runs, and kept for the whole process. Only the name's existence
// matters; it is never waited on. Closed at exit.
DWORD g_instanceMutexError = 0;  // GetLastError() right after creating it

namespace {

const wchar_t kInstanceMutexName[] = L"{B28F00DF-9318-4D16-BFF0-22899B0F875F}";

void CloseInstanceMutex();

HANDLE CreateInstanceMutex()
{
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceMutexName);
    g_instanceMutexError = GetLastError();
    std::atexit(CloseInstanceMutex);
    return mutex;
}

}  // namespace

HANDLE g_instanceMutex = CreateInstanceMutex();

namespace {

void CloseInstanceMutex()
{
    if (g_instanceMutex) {
        CloseHandle(g_instanceMutex);
        g_instanceMutex = nullptr;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t* commandLine, int showCommand)
{
    // A first instance that runs as administrator leaves a mutex this start may not open:
    // "access denied" means another instance as surely as "already exists".
    if (g_instanceMutexError == ERROR_ALREADY_EXISTS || g_instanceMutexError == ERROR_ACCESS_DENIED)
        return 0;
    g_autorunMode = IsAutorunCommandLine(commandLine);

    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {8, 0xFF};
    InitCommonControlsEx(&controls);
    int result = 0;
    {
        ui::GdiplusSession gdiplus;
        result = RunMainWindow(showCommand);
    }
    CoUninitialize();
    return result;
}
