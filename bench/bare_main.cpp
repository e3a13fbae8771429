// The bare floor: the window alone.

#include "bench/bare_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, wchar_t*, int showCommand)
{
    return RunBareWindow(instance, L"bare window", showCommand);
}
