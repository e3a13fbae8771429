#pragma once
// Messages the software list sends its parent, the main window.

#include <windows.h>

// wParam: tile index; lParam: 1 when its check box is now checked, 0 when unchecked.
constexpr UINT WM_ITEM_CHECK_CHANGED = WM_APP + 1;
// wParam: tile index; lParam: 0.
constexpr UINT WM_ITEM_INSTALL = WM_APP + 2;
