// Start-up pieces that need no window: the /autorun switch and the main window's place.

#include <gtest/gtest.h>

#include "app/startup.h"

TEST(Startup, OnlyAnExactFirstArgumentIsTheAutorunSwitch)
{
    struct Case {
        const wchar_t* commandLine;
        bool autorun;
    } cases[] = {
        {L"/autorun", true},
        {L"/autorun /extra more", true},
        {L"\"/autorun\"", true},  // quotes are the system's splitting, not part of the argument
        {L"", false},             // splits into the program's own path
        {L"/AUTORUN", false},
        {L"/Autorun", false},
        {L"/autorunx", false},
        {L"/autorun2 /autorun", false},
        {L"x /autorun", false},
        {L" /autorun", false},    // a leading blank makes an empty first argument
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "[" << c.commandLine << "]");
        EXPECT_EQ(IsAutorunCommandLine(c.commandLine), c.autorun);
    }
}

TEST(Startup, MainWindowIsCentredOnTheWorkAreasSize)
{
    struct Case {
        RECT workArea;
        RECT window;
    } cases[] = {
        {{0, 0, 1024, 768}, {112, 85, 912, 684}},
        {{0, 0, 1365, 738}, {282, 70, 1082, 669}},
        {{100, 0, 1920, 1080}, {510, 241, 1310, 840}},  // the work area's left edge is ignored
        {{0, 0, 800, 600}, {0, 1, 800, 600}},
        {{0, 0, 640, 480}, {0, 0, 800, 599}},  // larger than the work area: its title stays on it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.workArea.right);
        const RECT window = MainWindowRect(c.workArea);
        EXPECT_EQ(window.left, c.window.left);
        EXPECT_EQ(window.top, c.window.top);
        EXPECT_EQ(window.right, c.window.right);
        EXPECT_EQ(window.bottom, c.window.bottom);
        EXPECT_EQ(window.right - window.left, 800);
        EXPECT_EQ(window.bottom - window.top, 599);
    }
}
