#include "ui/scale.h"

namespace ui {

namespace {

constexpr int kUnscaledDpi = 96;

// GetDpiForSystem exists from Windows 10 1607 on; earlier systems give the screen's
// LOGPIXELSX, the same number for a system-DPI-aware process.
int ReadSystemDpi()
{
    using GetDpiForSystemFunction = UINT(WINAPI*)();
    const auto getDpiForSystem = reinterpret_cast<GetDpiForSystemFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForSystem")));
    if (getDpiForSystem)
        return static_cast<int>(getDpiForSystem());
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : kUnscaledDpi;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kUnscaledDpi;
}

}  // namespace

int SystemDpi()
{
    static const int dpi = ReadSystemDpi();
    return dpi;
}

bool IsUnscaled()
{
    return SystemDpi() == kUnscaledDpi;
}

int Scaled(int length)
{
    return MulDiv(length, SystemDpi(), kUnscaledDpi);
}

RECT Scaled(const RECT& rect)
{
    return {Scaled(rect.left), Scaled(rect.top), Scaled(rect.right), Scaled(rect.bottom)};
}

}  // namespace ui
