#pragma once
// The floors for the start-up benchmark: one 800 x 599 window, shown, painted once, then
// waiting to be closed, with nothing else of the program's.

#include <windows.h>

int RunBareWindow(HINSTANCE instance, const wchar_t* title, int showCommand);
