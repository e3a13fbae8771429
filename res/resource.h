#pragma once
// Every resource and control id of the program, named once: the .rc files and the code
// include it, so that a number stands in one place only.

// Icon group.
#define IDI_APP 101

// Pictures: type "PNG", except the progress dialog's background of type "IMAGES".
#define IDR_PNG_CLOSE 103
#define IDR_PNG_MINIMIZE 104
#define IDR_PNG_SCROLL_TRACK 106
#define IDR_PNG_SCROLL_THUMB 107
#define IDR_PNG_SPINNER 114
#define IDR_IMAGES_PROGRESS_BACKGROUND 115
#define IDR_PNG_PROGRESS_FILL 116

// The progress dialog's template.
#define IDD_PROGRESS 113

// The main window's controls.
#define IDC_SOFTWARE_LIST 130
#define IDC_MINIMIZE 131
#define IDC_CLOSE 132
#define IDC_FIRST_GROUP 133  // group i has 133 + i, for i below CMainWindow::kMaxGroupButtons (20)
#define IDC_SELECT_ALL 158
#define IDC_ONE_KEY_INSTALL 159

// The software list's children, and each tile's own.
#define IDC_TILE_INSTALL 1
#define IDC_TILE_CHECK_BOX 2
#define IDC_LIST_SCROLL_BAR 10
#define IDC_FIRST_TILE 100  // tile k of the list has 100 + k

// The progress dialog's close button.
#define IDC_PROGRESS_CLOSE 157
