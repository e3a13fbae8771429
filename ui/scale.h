#pragma once
// The display's scale: every length the windows are laid out in is a 96-dpi pixel, shown at
// the system DPI the program reads once at start. The process is system-DPI-aware, so Windows
// does not scale it; these functions do, the same way for layout, painting and hit testing.

#include <windows.h>

namespace ui {

// The system DPI, read at the first call and kept: 96 at 100 %, 120 at 125 %, 144 at 150 %.
int SystemDpi();

// True at 96 dpi, where every length is used as it is.
bool IsUnscaled();

// A 96-dpi length at the system DPI, rounded to the nearest pixel, halves away from zero.
int Scaled(int length);

// Each edge through Scaled, so rectangles that share an edge at 96 dpi still share it.
RECT Scaled(const RECT& rect);

}  // namespace ui
