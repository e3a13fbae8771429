#pragma once
// Where Wine, which runs these tests, differs from Windows: each difference is named and
// explained here, once. A test that meets one marks the place with NoteWineDifference, which
// writes it into the test's output and its XML report, so it is never passed over in
// silence. A marked check is never loosened: it asserts what holds on both platforms.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

enum class WineDifference {
    DialogUnits,         // dialog templates in "MS Shell Dlg" measure otherwise
    ElevationPrompt,     // "runas" shows no prompt
    WorkAreaPerProcess,  // setting the work area changes this process's only
    NoEnabledPopup,      // GW_ENABLEDPOPUP finds nothing
    UntrustedCaError,    // an untrusted certificate gives 12057, not 12045
};

inline const char* Explain(WineDifference difference)
{
    switch (difference) {
    case WineDifference::DialogUnits:
        return "Wine maps \"MS Shell Dlg\" 8 pt to other metrics: template 113 measures 467 x 122 pixels "
               "there and 401 x 122 on Windows at 96 dpi; sizes are checked against MapDialogRect";
    case WineDifference::ElevationPrompt:
        return "under Wine \"runas\" starts a program at once, without an elevation prompt; the prompt and "
               "a refusal of it cannot be reached";
    case WineDifference::WorkAreaPerProcess:
        return "under Wine the work area is per process: a test can set its own, not another program's";
    case WineDifference::NoEnabledPopup:
        return "Wine does not implement GW_ENABLEDPOPUP: message boxes are found by owner and class";
    case WineDifference::UntrustedCaError:
        return "Wine's WinINet refuses a certificate from an untrusted CA with ERROR_INTERNET_SEC_CERT_REV_FAILED "
               "(12057) where Windows gives ERROR_INTERNET_INVALID_CA (12045)";
    }
    return "";
}

inline bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Marks the running test as meeting the difference (only when it runs under Wine).
inline void NoteWineDifference(WineDifference difference)
{
    if (!RunningUnderWine())
        return;
    testing::Test::RecordProperty("wine_difference", Explain(difference));
    std::printf("[ wine     ] %s\n", Explain(difference));
}
