// Entry of the GUI test programs: the process set-up the program itself makes before its
// first window (COM, common controls, GDI+), held for the whole run.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include "ui/gdi.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    int result = 0;
    {
        ui::GdiplusSession gdiplus;
        result = RUN_ALL_TESTS();
    }
    CoUninitialize();
    return result;
}
