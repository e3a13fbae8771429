// Figures for the real program, not a test: start-up against a bare window program, and the
// working set and window count after start-up and after 50 group switches.
//
//   program_bench.exe [RUNS]    from build/<preset>/bench, beside SoftwareInstaller.exe

#include <winsock2.h>
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "app/folders.h"
#include "net/servers.h"
#include "tests/loopback_http_server.h"
#include "tests/program_driver.h"

namespace {

const wchar_t kTitle[] = L"U盘装系统装机必备软件包";

// Milliseconds from process start to its window visible and painted (no update region left).
double StartUpMs(const std::wstring& exe, const std::wstring& title)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER shown;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    driver::RunningProgram program(exe);
    HWND window = nullptr;
    driver::PollUntil([&] {
        window = program.FindTopLevel(title, true);
        return window && !GetUpdateRect(window, nullptr, FALSE);
    }, 30000);
    QueryPerformanceCounter(&shown);
    PostMessageW(window, WM_CLOSE, 0, 0);
    program.WaitForExit(10000);
    return static_cast<double>(shown.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Footprint {
    double workingSetMiB;
    size_t windows;
};

Footprint FootprintOf(const driver::RunningProgram& program)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(program.process(), &counters, sizeof(counters));
    size_t windows = 0;
    for (HWND top : program.TopLevelWindows(false)) {
        ++windows;
        EnumChildWindows(top, [](HWND, LPARAM count) { ++*reinterpret_cast<size_t*>(count); return TRUE; },
                         reinterpret_cast<LPARAM>(&windows));
    }
    return {static_cast<double>(counters.WorkingSetSize) / (1024.0 * 1024.0), windows};
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 7;
    // The program's refresh and update check find nothing here and change nothing.
    LoopbackHttpServer catalogueServer(PortOfServer(kCatalogueServer));
    LoopbackHttpServer updateServer(PortOfServer(kUpdateServer));
    const std::wstring program = GetModuleDir() + L"\\SoftwareInstaller.exe";
    const std::wstring bare = GetModuleDir() + L"\\bare_window.exe";

    StartUpMs(program, kTitle);  // warm the file cache and the wineserver
    std::vector<double> programTimes;
    std::vector<double> bareTimes;
    for (int i = 0; i < runs; ++i) {
        programTimes.push_back(StartUpMs(program, kTitle));
        bareTimes.push_back(StartUpMs(bare, L"bare window"));
    }
    const double programMs = Median(programTimes);
    const double bareMs = Median(bareTimes);
    std::printf("start-up to a painted window, median of %d: SoftwareInstaller %.1f ms, bare window %.1f ms, "
                "ratio %.2f\n", runs, programMs, bareMs, programMs / bareMs);

    driver::RunningProgram running(program);
    const HWND main = running.WaitForTopLevel(kTitle, true, 30000);
    driver::PollUntil([&] { return !GetUpdateRect(main, nullptr, FALSE); }, 5000);
    const Footprint started = FootprintOf(running);
    size_t groups = 0;
    while (driver::ChildById(main, 133 + static_cast<int>(groups)))
        ++groups;
    for (int i = 0; i < 50 && groups > 1; ++i) {
        SendMessageW(driver::ChildById(main, 133 + static_cast<int>((i + 1) % groups)), WM_LBUTTONDOWN, 0, 0);
        UpdateWindow(main);
        RedrawWindow(main, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
    const Footprint switched = FootprintOf(running);
    std::printf("after start-up: working set %.1f MiB, %zu windows\n", started.workingSetMiB, started.windows);
    std::printf("after 50 group switches over %zu groups: working set %.1f MiB, %zu windows\n", groups,
                switched.workingSetMiB, switched.windows);
    std::printf("(Wine answers GetGuiResources with 0, so USER objects are counted as windows here)\n");
    PostMessageW(main, WM_CLOSE, 0, 0);
    running.WaitForExit(10000);
    return 0;
}
