#pragma once
// The mark of an installed program's tile: "已安装" when the copy on this machine is up to
// date, "可更新" when the catalogue brings a newer one. A small flat pill in the skin's colours
// under the tile's icon, in the free band above the tile's bottom edge, clear of the icon,
// the name, the install button and the check box.

#include <windows.h>

#include "install/installed_programs.h"
#include "ui/gdi.h"

// In the tile's client coordinates at 96 dpi: centred under the 48-pixel icon at (36, 24).
constexpr RECT kInstalledMarkRect = {36, 74, 84, 90};
// The pills' grounds: the skin's pale blue for "已安装", its orange for "可更新".
constexpr COLORREF kUpToDateMarkColour = RGB(0xE3, 0xEF, 0xFC);
constexpr COLORREF kOlderMarkColour = RGB(0xF5, 0x7C, 0x0F);

// The marks' font: the skin's face, smaller than the program names.
ui::UniqueFont CreateInstalledMarkFont();

// Draws the state's mark into a tile's DC; a program that is not installed has none.
void DrawInstalledMark(HDC dc, InstalledState state, HFONT font);
