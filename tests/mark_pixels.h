#pragma once
// The installed mark a tile shows, read back from its pixels: the share of its place under the
// icon that holds one of the two pills' ground colours.

#include <windows.h>

#include "install/installed_programs.h"
#include "ui/installed_mark.h"

struct MarkPixels {
    int upToDateGround = 0;  // pixels of the "已安装" pill's ground
    int olderGround = 0;     // of the "可更新" pill's
    int other = 0;           // neither: the text, the smoothed corners, the tile's white
};

// `pixelAt(x, y)` gives the colour at a point of the tile's client area.
template <typename PixelAt>
MarkPixels CountMarkPixels(const PixelAt& pixelAt, const RECT& rect = kInstalledMarkRect)
{
    MarkPixels counted;
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x) {
            const COLORREF c = pixelAt(x, y);
            if (c == kUpToDateMarkColour)
                ++counted.upToDateGround;
            else if (c == kOlderMarkColour)
                ++counted.olderGround;
            else
                ++counted.other;
        }
    }
    return counted;
}

// A pill's ground covers more than half its place; anything less is no mark.
inline InstalledState MarkShown(const MarkPixels& pixels)
{
    const int half = (kInstalledMarkRect.right - kInstalledMarkRect.left) *
                     (kInstalledMarkRect.bottom - kInstalledMarkRect.top) / 2;
    if (pixels.upToDateGround > half && pixels.olderGround == 0)
        return InstalledState::UpToDate;
    if (pixels.olderGround > half && pixels.upToDateGround == 0)
        return InstalledState::Older;
    return InstalledState::NotInstalled;
}

// What a tile of any process shows on the screen now, as the program itself painted it.
inline InstalledState MarkOnScreen(HWND tile)
{
    POINT origin = {0, 0};
    ClientToScreen(tile, &origin);
    const HDC screen = GetDC(nullptr);
    const MarkPixels pixels =
        CountMarkPixels([&](int x, int y) { return GetPixel(screen, origin.x + x, origin.y + y); });
    ReleaseDC(nullptr, screen);
    return MarkShown(pixels);
}
