#pragma once
// Messages the software list sends its parent, the main window, and the ones the main window
// posts itself.

#include <windows.h>

// wParam: tile index; lParam: 1 when its check box is now checked, 0 when unchecked.
constexpr UINT WM_ITEM_CHECK_CHANGED = WM_APP + 1;
// wParam: tile index; lParam: 0.
constexpr UINT WM_ITEM_INSTALL = WM_APP + 2;
// Posted by the main window to itself once created: read what is installed after the first
// paint. No parameters.
constexpr UINT WM_READ_INSTALLED = WM_APP + 3;
// Posted by the main window to itself once created, unless it waits for the network: start
// the catalogue refresh and the update check after the first paint, so that their threads'
// start-up does not slow it. No parameters.
constexpr UINT WM_START_BACKGROUND_TASKS = WM_APP + 4;
