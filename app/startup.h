#pragma once
// Start-up of the program: the /autorun switch, the main window's place on the work area,
// and the one message loop of the UI thread.

#include <windows.h>

#include "base/autorun.h"  // g_autorunMode, which the entry point sets

// The first argument, and only the first, is "/autorun", exactly and in this letter case.
bool IsAutorunCommandLine(const wchar_t* commandLine);

// 800 x 599 at 96 dpi, scaled to the display, around the middle of the work area's size; the
// work area's own left and top are not added, so it is centred on a work area that starts at
// (0, 0). A window larger than the work area starts at its top or left edge.
RECT MainWindowRect(const RECT& workArea);

// Creates the main window, shows it unless started with /autorun, and runs the message
// loop. Returns WM_QUIT's wParam, or 1 when the main window could not be created.
int RunMainWindow(int showCommand);

// GetMessageW until WM_QUIT; returns its wParam. A -1 from GetMessageW is ignored.
int RunMessageLoop();
