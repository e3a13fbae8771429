// Software list benchmark. Times SetItems for 16, 100 and 500 programs against the floor of
// this design, creating the same three windows per tile plainly, and one full repaint of the
// list; then rebuilds the list 200 times and shows whether the GDI and USER objects and the
// memory come back to where they were.

#include <windows.h>

#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/wait_until.h"
#include "ui/gdi.h"
#include "ui/software_list.h"
#include "bench/gdi_objects.h"
#include "bench/stopwatch.h"

namespace {

using Programs = std::vector<std::unique_ptr<CatalogueProgram>>;

constexpr double kGoalRatio = 1.3;
constexpr int kRebuilds = 200;
constexpr size_t kRebuildTiles = 100;

// The icons of the shipped sample catalogue, so every tile decodes a real one.
const wchar_t* const kIcons[] = {L"breezebrowser", L"chatter",   L"cloudtunes", L"disktidy",   L"docsuite",
                                 L"driverkit",     L"fontpack",  L"maildesk",   L"omniplayer", L"pdfleaf",
                                 L"quickview",     L"screenrec", L"shieldguard", L"swiftbrowser", L"wordpal",
                                 L"ziptool"};

Programs MakePrograms(size_t count)
{
    Programs programs;
    for (size_t k = 0; k < count; ++k) {
        auto program = std::make_unique<CatalogueProgram>();
        program->name = L"装机软件 " + std::to_wstring(k);
        program->icon = std::wstring(L"http://applib.example.com/AppLib/AppIcons/") +
                        kIcons[k % (sizeof(kIcons) / sizeof(kIcons[0]))] + L".png";
        programs.push_back(std::move(program));
    }
    return programs;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Stands where the main window would: a visible popup of its size.
class BenchWindow : public ui::Window {
public:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        return DefaultHandling(message, wParam, lParam);
    }
};

// --- The floor: the windows of the tiles, with nothing of their own ------------------------

const wchar_t* PlainClass()
{
    static const ATOM atom = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
        wc.lpszClassName = L"ListBenchPlain";
        return RegisterClassW(&wc);
    }();
    return atom ? L"ListBenchPlain" : nullptr;
}

HWND CreatePlain(HWND parent, int x, int y, int width, int height, DWORD style, UINT id)
{
    return CreateWindowExW(0, PlainClass(), L"", style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

// One window per tile in the list's grid, with two inside it where the install button and
// the check box sit.
double TimePlainWindows(HWND parent, size_t tiles)
{
    // Painted once before the clock starts, like the list, which is on screen when it is filled.
    const HWND container = CreatePlain(parent, 4, 87, 792, 456, WS_CHILD | WS_VISIBLE, 131);
    UpdateWindow(container);
    PumpPending();
    const Stopwatch stopwatch;
    for (size_t k = 0; k < tiles; ++k) {
        const int left = static_cast<int>(k % 4) * 194;
        const int top = static_cast<int>(k / 4) * 91;
        const HWND tile = CreatePlain(container, left, top, 194, 91, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                                      static_cast<UINT>(100 + k));
        CreatePlain(tile, 94, 48, 64, 24, WS_CHILD | WS_VISIBLE, 1);
        CreatePlain(tile, 164, 53, 14, 14, WS_CHILD | WS_VISIBLE, 2);
    }
    const double ms = stopwatch.Milliseconds();
    DestroyWindow(container);
    PumpPending();
    return ms;
}

double TimeSetItems(CSWListBox& list, const Programs& programs)
{
    list.SetItems({});
    PumpPending();
    const Stopwatch stopwatch;
    list.SetItems(programs);
    return stopwatch.Milliseconds();
}

// Every tile the list shows paints once, the list's ground and the bar included. The first
// paint after SetItems also decodes the icons of the tiles in view.
double TimeFullRepaint(CSWListBox& list)
{
    const Stopwatch stopwatch;
    RedrawWindow(list.hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    return stopwatch.Milliseconds();
}

void CompareWithTheFloor(HWND parent, CSWListBox& list)
{
    std::printf("%6s %12s %12s %14s %8s %15s %12s\n", "tiles", "SetItems ms", "per tile us", "plain 3/tile ms",
                "ratio", "first paint ms", "repaint ms");
    for (size_t tiles : {size_t{16}, size_t{100}, size_t{500}}) {
        const Programs programs = MakePrograms(tiles);
        const int runs = tiles > 100 ? 3 : tiles > 16 ? 7 : 15;
        std::vector<double> setItems, plain, firstPaint, repaint;
        for (int run = 0; run < runs; ++run) {
            setItems.push_back(TimeSetItems(list, programs));
            firstPaint.push_back(TimeFullRepaint(list));
            repaint.push_back(TimeFullRepaint(list));
            list.SetItems({});
            PumpPending();
            plain.push_back(TimePlainWindows(parent, tiles));
        }
        const double ratio = Median(setItems) / Median(plain);
        std::printf("%6zu %12.2f %12.1f %15.2f %7.2fx %15.2f %12.2f%s\n", tiles, Median(setItems),
                    1000.0 * Median(setItems) / static_cast<double>(tiles), Median(plain), ratio, Median(firstPaint),
                    Median(repaint), ratio <= kGoalRatio ? "" : "  over the goal");
    }
    std::printf("(medians; goal: SetItems within %.1fx of creating the same windows plainly)\n\n", kGoalRatio);
}

// --- Resources -------------------------------------------------------------------------------

BOOL CALLBACK CountWindow(HWND, LPARAM count)
{
    ++*reinterpret_cast<long*>(count);
    return TRUE;
}

BOOL CALLBACK CountWindowAndDescendants(HWND hwnd, LPARAM count)
{
    ++*reinterpret_cast<long*>(count);
    EnumChildWindows(hwnd, CountWindow, count);
    return TRUE;
}

// Without GetGuiResources the windows of this thread stand for the USER objects: they are the
// only kind the list makes (no menus, cursors or icons).
long CountUserObjects()
{
    if (GuiResourcesCount())
        return static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    long windows = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindowAndDescendants, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

struct Usage {
    long gdi;
    long user;
    double workingSetKiB;
    double commitKiB;
};

Usage MeasureUsage()
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    return {CountGdiObjects(), CountUserObjects(), static_cast<double>(memory.WorkingSetSize) / 1024.0,
            static_cast<double>(memory.PagefileUsage) / 1024.0};
}

void PrintUsage(const char* when, const Usage& usage, const Usage& start)
{
    std::printf("%-22s GDI %5ld (%+ld)  USER %5ld (%+ld)  working set %9.0f KiB (%+.0f)  commit %9.0f KiB (%+.0f)\n",
                when, usage.gdi, usage.gdi - start.gdi, usage.user, usage.user - start.user, usage.workingSetKiB,
                usage.workingSetKiB - start.workingSetKiB, usage.commitKiB, usage.commitKiB - start.commitKiB);
}

// Each rebuild replaces 100 tiles and lets them paint, as a group change does.
void RebuildRepeatedly(CSWListBox& list)
{
    const Programs programs = MakePrograms(kRebuildTiles);
    for (int warmUp = 0; warmUp < 5; ++warmUp) {
        list.SetItems(programs);
        PumpPending();
    }
    const Usage start = MeasureUsage();
    std::printf("SetItems of %zu programs, %d times:\n", kRebuildTiles, kRebuilds);
    PrintUsage("after warming up", start, start);
    for (int rebuild = 1; rebuild <= kRebuilds; ++rebuild) {
        list.SetItems(programs);
        PumpPending();
        if (rebuild % 25 == 0)
            PrintUsage(("after " + std::to_string(rebuild)).c_str(), MeasureUsage(), start);
    }
    list.SetItems({});
    PumpPending();
    if (GuiResourcesCount())
        std::printf("Counted by GetGuiResources.\n");
    else
        std::printf("GetGuiResources cannot count here: GDI = live entries of the GDI handle table (stock objects "
                    "included), USER = windows of this thread.\n");
}

}  // namespace

int main()
{
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), 0xFF};
    InitCommonControlsEx(&controls);
    {
        ui::GdiplusSession gdiplus;
        BenchWindow window;
        CSWListBox list;
        if (!window.Create(nullptr, {100, 100, 900, 699}, L"list bench", WS_POPUP | WS_VISIBLE) ||
            !list.Create(window.hwnd(), {4, 87, 796, 543}, L"软件列表", WS_CHILD | WS_VISIBLE, 0, IDC_SOFTWARE_LIST)) {
            std::fprintf(stderr, "list_bench: could not create the list (is AppLib beside the program?)\n");
            return 1;
        }
        PumpPending();
        CompareWithTheFloor(window.hwnd(), list);
        RebuildRepeatedly(list);
    }
    CoUninitialize();
    return 0;
}
