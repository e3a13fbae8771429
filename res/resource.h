#pragma once
// Every resource of the program, and the main window's control ids, named once.

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

// The progress dialog's close button.
#define IDC_PROGRESS_CLOSE 157
