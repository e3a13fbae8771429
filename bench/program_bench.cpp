// Figures for the real program, not a test: start-up against two floors (a bare window
// program, and the same window after the platform start-up the program pays), where the
// program's own start-up goes (startup_parts.exe), the working set and window count after start-up and after 50 group switches, and the overhead
// of a one-key install of five 20 MiB programs whose installers each take 1 s.
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

#include "base/folders.h"
#include "net/servers.h"
#include "res/resource.h"
#include "tests/loopback_http_server.h"
#include "net/download.h"
#include "tests/program_driver.h"
#include "tests/test_files.h"
#include "bench/stopwatch.h"

namespace {

const wchar_t kTitle[] = L"U盘装系统装机必备软件包";

// Milliseconds from process start to its window visible and painted (no update region left).
double StartUpMs(const std::wstring& exe, const std::wstring& title)
{
    const Stopwatch stopwatch;
    driver::RunningProgram program(exe);
    HWND window = nullptr;
    WaitUntil([&] {
        window = program.FindTopLevel(title, true);
        return window && !GetUpdateRect(window, nullptr, FALSE);
    }, 30000);
    const double shown = stopwatch.Milliseconds();
    PostMessageW(window, WM_CLOSE, 0, 0);
    program.WaitForExit(10000);
    return shown;
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

BOOL CALLBACK CountWindow(HWND, LPARAM count)
{
    ++*reinterpret_cast<size_t*>(count);
    return TRUE;
}

Footprint FootprintOf(const driver::RunningProgram& program)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(program.process(), &counters, sizeof(counters));
    size_t windows = 0;
    for (HWND top : program.TopLevelWindows(false)) {
        ++windows;
        EnumChildWindows(top, CountWindow, reinterpret_cast<LPARAM>(&windows));
    }
    return {static_cast<double>(counters.WorkingSetSize) / (1024.0 * 1024.0), windows};
}

// Five programs of 20 MiB from loopback, each installer running 1 s. The ideal pipeline
// downloads the first, then overlaps every later download with the previous install:
// one download plus five installs.
void InstallRunOverhead(LoopbackHttpServer& server)
{
    constexpr int kPrograms = 5;
    constexpr size_t kBodyBytes = 20u << 20;
    constexpr double kInstallSeconds = 1.0;
    std::string body = ReadWholeFile(GetModuleDir() + L"\\test_installer.exe");
    body.resize(kBodyBytes, '\0');  // an overlay after the image: it still runs
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><dict>"
                      "<key>name</key><string>Bench</string><key>icon</key><string>tools.png</string>"
                      "<key>applications</key><array>";
    for (int i = 0; i < kPrograms; ++i) {
        const std::string file = "bench" + std::to_string(i) + ".exe";
        server.Serve("/soft/" + file, Body(body));
        xml += "<dict><key>name</key><string>" + file + "</string><key>url</key><string>http://" +
               Narrow(kCatalogueServer) + "/soft/" + file + "</string><key>install</key><string>" + file +
               "</string><key>icon</key><string>ziptool.png</string></dict>";
    }
    xml += "</array></dict></array></plist>";

    Stopwatch stopwatch;
    const std::wstring probe = GetModuleDir() + L"\\one-download.tmp";
    DownloadToFile(L"http://" + std::wstring(kCatalogueServer) + L"/soft/bench0.exe", probe);
    const double oneDownload = stopwatch.Seconds();
    DeleteFileW(probe.c_str());

    driver::ProgramCopy copy(L"bench");
    WriteWholeFile(copy.appLib() + L"\\AppLib.xml", xml);
    const std::wstring log = GetModuleDir() + L"\\bench-installers.log";
    DeleteFileW(log.c_str());
    driver::RunningProgram program(copy.exe(), L"",
                                   {L"TEST_INSTALLER_LOG=" + log, L"TEST_INSTALLER_DELAY_MS=1000"});
    const HWND main = program.WaitForTopLevel(kTitle, true, 30000);
    SendMessageW(driver::ChildById(main, IDC_SELECT_ALL), BM_CLICK, 0, 0);
    const HWND oneKey = driver::ChildById(main, IDC_ONE_KEY_INSTALL);
    stopwatch.Restart();
    SendMessageW(oneKey, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    PostMessageW(oneKey, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    WaitUntil([&] { return !IsWindowVisible(main); }, 10000);
    WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 300000);
    const double total = stopwatch.Seconds();
    const double ideal = oneDownload + kPrograms * kInstallSeconds;
    std::printf("install run of %d x 20 MiB, 1 s installers: %.2f s; ideal pipeline %.2f s (one download %.2f s); "
                "overhead %.0f ms per program\n",
                kPrograms, total, ideal, oneDownload, (total - ideal) * 1000.0 / kPrograms);
    PostMessageW(main, WM_CLOSE, 0, 0);
    program.WaitForExit(10000);
    DeleteFileW(log.c_str());
}

// The program's start-up steps, timed inside startup_parts.exe, one fresh process a run.
void PrintStartUpParts(int runs)
{
    const std::wstring results = GetModuleDir() + L"\\startup-parts.txt";
    DeleteFileW(results.c_str());
    for (int i = 0; i < runs; ++i) {
        driver::RunningProgram parts(GetModuleDir() + L"\\startup_parts.exe", L"\"" + results + L"\"");
        parts.WaitForExit(60000);
    }
    // Columns: the nine times of startup_parts.exe, the child windows, GDI objects and working
    // set after the first paint, after a first visit of every group, after 50 switches, then
    // the installed programs' read, its Uninstall entries, and the read with 400 more.
    constexpr int kColumns = 19;
    std::vector<double> column[kColumns];
    FILE* in = _wfopen(results.c_str(), L"r");
    double value[kColumns];
    while (in && std::fscanf(in, "%lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf",
                             &value[0], &value[1], &value[2], &value[3], &value[4], &value[5], &value[6], &value[7],
                             &value[8], &value[9], &value[10], &value[11], &value[12], &value[13], &value[14],
                             &value[15], &value[16], &value[17], &value[18]) == kColumns) {
        for (int k = 0; k < kColumns; ++k)
            column[k].push_back(value[k]);
    }
    if (in)
        std::fclose(in);
    DeleteFileW(results.c_str());
    if (column[0].empty()) {
        std::printf("startup_parts.exe gave no figures\n");
        return;
    }
    std::printf("start-up steps, median of %zu fresh processes (ms): process start to entry %.1f, platform (COM, "
                "common controls, GDI+) %.1f, first window (display driver) %.1f, catalogue %.1f, images %.1f, "
                "fonts %.1f; then the main window with warm caches: creation (its pictures prefetched on a "
                "worker meanwhile, %.0f child windows) %.1f, first paint %.1f (goal 15)\n",
                column[0].size(), Median(column[0]), Median(column[1]), Median(column[2]), Median(column[3]),
                Median(column[4]), Median(column[5]), Median(column[9]), Median(column[6]), Median(column[7]));
    std::printf("repaint of the whole window (RedrawWindow RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN), "
                "median: %.2f ms (goal 10)\n",
                Median(column[8]));
    std::printf("in the same processes, GDI objects / working set: after the first paint %.0f / %.1f MiB, after a "
                "first visit of every group %.0f / %.1f MiB, after 50 group switches more %.0f / %.1f MiB\n",
                Median(column[10]), Median(column[13]) / 1024.0, Median(column[11]), Median(column[14]) / 1024.0,
                Median(column[12]), Median(column[15]) / 1024.0);
    std::printf("installed programs, read after the first paint (ms): %.0f Uninstall entries %.2f, with 400 more "
                "%.2f\n",
                Median(column[17]), Median(column[16]), Median(column[18]));
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

    const std::wstring platform = GetModuleDir() + L"\\platform_window.exe";

    StartUpMs(program, kTitle);  // warm the file cache and the wineserver
    std::vector<double> programTimes;
    std::vector<double> bareTimes;
    std::vector<double> platformTimes;
    for (int i = 0; i < runs; ++i) {
        programTimes.push_back(StartUpMs(program, kTitle));
        bareTimes.push_back(StartUpMs(bare, L"bare window"));
        platformTimes.push_back(StartUpMs(platform, L"platform window"));
    }
    const double programMs = Median(programTimes);
    const double bareMs = Median(bareTimes);
    const double platformMs = Median(platformTimes);
    std::printf("start-up to a painted window, median of %d: SoftwareInstaller %.1f ms, bare window %.1f ms "
                "(ratio %.2f), bare window after COM, common controls 6 and GDI+ %.1f ms (ratio %.2f, goal 1.5)\n",
                runs, programMs, bareMs, programMs / bareMs, platformMs, programMs / platformMs);
    PrintStartUpParts(runs);

    driver::RunningProgram running(program);
    const HWND main = running.WaitForTopLevel(kTitle, true, 30000);
    WaitUntil([&] { return !GetUpdateRect(main, nullptr, FALSE); }, 5000);
    const Footprint started = FootprintOf(running);
    size_t groups = 0;
    while (driver::ChildById(main, IDC_FIRST_GROUP + static_cast<int>(groups)))
        ++groups;
    for (int i = 0; i < 50 && groups > 1; ++i) {
        SendMessageW(driver::ChildById(main, IDC_FIRST_GROUP + static_cast<int>((i + 1) % groups)), WM_LBUTTONDOWN, 0, 0);
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

    InstallRunOverhead(catalogueServer);
    return 0;
}
