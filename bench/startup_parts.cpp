// Where the program's start-up goes: one process that does what SoftwareInstaller.exe does
// before its window is painted, in the same order, with the program's own code, and times
// each step. program_bench starts it several times and prints the medians.
//
//   startup_parts.exe RESULT_FILE    appends one line: loader platform first-window catalogue
//                                    images fonts create paint repaint (milliseconds), then
//                                    children, and the GDI objects and working set (KiB) after
//                                    the first paint, after a first visit of every group and
//                                    after 50 group switches, then installed entries
//                                    installed-400 (milliseconds, but entries)
//
// "installed" reads the Uninstall entries as the registry stands and finds the catalogue's
// programs among them (the main window does it after its first paint); "installed-400" does
// the same with 400 more entries written under HKCU for the measure, as many as a
// well-used PC lists, and removed again.

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/folders.h"
#include "app/startup.h"
#include "base/unique_handle.h"
#include "bench/gdi_objects.h"
#include "bench/stopwatch.h"
#include "catalog/catalogue.h"
#include "install/installed_programs.h"
#include "res/resource.h"
#include "ui/fonts.h"
#include "ui/gdi.h"
#include "ui/main_window.h"
#include "ui/skin.h"

namespace {

double NowMs()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<double>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000.0;
}

double ProcessCreationMs()
{
    FILETIME created;
    FILETIME unused;
    GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused);
    return static_cast<double>((static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime) /
           10000.0;
}

// Every picture the window decodes before its first paint: the skin files, the resource
// pictures of its buttons and scroll bar, the icons of the groups and of the first group's
// programs.
void LoadStartUpImages(const Catalogue& catalogue)
{
    for (const wchar_t* file : {L"window_background.jpg", L"onekey_button.png", L"group_button_background.png",
                                L"item_install_button.png"}) {
        CGdiPlusBitmapResource picture;
        picture.LoadFromFile(GetSkinDir() + L"\\" + file);
    }
    for (UINT id : {IDR_PNG_CLOSE, IDR_PNG_MINIMIZE, IDR_PNG_SCROLL_TRACK, IDR_PNG_SCROLL_THUMB}) {
        CGdiPlusBitmapResource picture;
        picture.LoadFromResource(id, L"PNG");
    }
    for (int size : {32, 16})
        DestroyIcon(static_cast<HICON>(LoadImageW(ui::ModuleInstance(), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, size,
                                                  size, LR_DEFAULTCOLOR)));
    std::vector<std::wstring> icons;
    for (const auto& group : catalogue)
        icons.push_back(GroupIconPath(*group));
    if (!catalogue.empty()) {
        for (const auto& program : catalogue.front()->applications)
            icons.push_back(ProgramIconPath(*program));
    }
    for (const auto& path : icons) {
        CGdiPlusBitmapResource icon;
        icon.LoadFromFile(path);
    }
}

constexpr int kExtraEntries = 400;
const std::wstring kExtraEntryPrefix = L"StartupPartsEntry";

void WriteExtraEntries()
{
    for (int i = 0; i < kExtraEntries; ++i) {
        RegKey key;
        const std::wstring name = std::wstring(kUninstallKey) + L"\\" + kExtraEntryPrefix + std::to_wstring(i);
        if (RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS)
            return;
        const std::wstring displayName = L"Startup Parts Program " + std::to_wstring(i) + L" (x64 en-US)";
        const std::wstring version = L"1." + std::to_wstring(i) + L".0";
        RegSetValueExW(key.get(), L"DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(displayName.c_str()),
                       static_cast<DWORD>((displayName.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(key.get(), L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    }
}

void RemoveExtraEntries()
{
    for (int i = 0; i < kExtraEntries; ++i) {
        const std::wstring name = std::wstring(kUninstallKey) + L"\\" + kExtraEntryPrefix + std::to_wstring(i);
        RegDeleteKeyW(HKEY_CURRENT_USER, name.c_str());
    }
}

BOOL CALLBACK CountChild(HWND, LPARAM count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// The whole window painted again, children included, as a user's uncovering it asks for:
// the median of 21.
double RepaintMs(HWND window)
{
    std::vector<double> times;
    for (int i = 0; i < 21; ++i) {
        const Stopwatch stopwatch;
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        times.push_back(stopwatch.Milliseconds());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Usage {
    long gdiObjects;
    double workingSetKiB;
};

Usage MeasureUsage()
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    return {CountGdiObjects(), static_cast<double>(memory.WorkingSetSize) / 1024.0};
}

// A press on the group button of `index`, then the window painted, as a user's click does.
void SwitchToGroup(HWND window, int index)
{
    SendMessageW(GetDlgItem(window, IDC_FIRST_GROUP + index), WM_LBUTTONDOWN, 0, 0);
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// Usage after a first visit of every group (its icons decoded) and after 50 switches more.
void SwitchGroups(HWND window, int groups, Usage& visited, Usage& switched)
{
    if (groups < 2) {
        visited = switched = MeasureUsage();
        return;
    }
    for (int i = 1; i <= groups; ++i)
        SwitchToGroup(window, i % groups);
    visited = MeasureUsage();
    for (int i = 1; i <= 50; ++i)
        SwitchToGroup(window, i % groups);
    switched = MeasureUsage();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 2)
        return 2;
    double mark = NowMs();
    const double loader = mark - ProcessCreationMs();
    auto lap = [&mark] {
        const double now = NowMs();
        const double elapsed = now - mark;
        mark = now;
        return elapsed;
    };

    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {8, 0xFF};
    InitCommonControlsEx(&controls);
    ui::GdiplusSession gdiplus;
    const double platform = lap();

    // The first window of a process also starts the display driver; every program pays it,
    // the bare window too.
    DestroyWindow(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    const double firstWindow = lap();

    Catalogue catalogue;
    LoadCatalogue(catalogue, GetAppLibDir() + L"\\AppLib.xml");
    const double catalogueMs = lap();

    LoadStartUpImages(catalogue);
    const double images = lap();

    for (LONG weight : {FW_NORMAL, FW_NORMAL, FW_BOLD})
        ui::CreateSkinFont(weight);
    const double fonts = lap();

    const size_t entries = ReadUninstallEntries().size();
    lap();
    FindInstalledPrograms(catalogue, ReadUninstallEntries());
    const double installed = lap();
    WriteExtraEntries();
    lap();
    FindInstalledPrograms(catalogue, ReadUninstallEntries());
    const double installedWithMore = lap();
    RemoveExtraEntries();
    lap();

    // The real window, now with warm caches, started as the program starts it: its pictures
    // are prefetched on a worker while it is created and makes its child windows; the first
    // paint draws them all.
    int children = 0;
    double createMs = 0;
    double paintMs = 0;
    double repaintMs = 0;
    Usage painted = {};
    Usage visited = {};
    Usage switched = {};
    {
        RECT workArea = {};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
        CMainWindow window;
        {
            const CPicturePrefetch prefetch(CMainWindow::StartUpPictures());
            window.Create(nullptr, MainWindowRect(workArea), L"startup parts", WS_POPUP | WS_CLIPSIBLINGS | WS_SYSMENU);
            createMs = lap();
            ShowWindow(window.hwnd(), SW_SHOWNORMAL);
            UpdateWindow(window.hwnd());
            paintMs = lap();
        }
        EnumChildWindows(window.hwnd(), CountChild, reinterpret_cast<LPARAM>(&children));
        repaintMs = RepaintMs(window.hwnd());
        painted = MeasureUsage();
        SwitchGroups(window.hwnd(), static_cast<int>(std::min<size_t>(catalogue.size(), CMainWindow::kMaxGroupButtons)),
                     visited, switched);
        DestroyWindow(window.hwnd());
    }
    CoUninitialize();

    FILE* out = _wfopen(argv[1], L"a");
    LocalFree(argv);
    if (!out)
        return 1;
    std::fprintf(out, "%.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %d %ld %ld %ld %.0f %.0f %.0f %.2f %zu %.2f\n",
                 loader, platform, firstWindow, catalogueMs, images, fonts, createMs, paintMs, repaintMs, children,
                 painted.gdiObjects, visited.gdiObjects, switched.gdiObjects, painted.workingSetKiB,
                 visited.workingSetKiB, switched.workingSetKiB, installed, entries, installedWithMore);
    std::fclose(out);
    return 0;
}
