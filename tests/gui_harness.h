#pragma once
// What the GUI tests share: a parent window that paints a known pattern for WM_PRINTCLIENT
// and records what its children tell it, pixels read back from real windows, test images
// of solid slices, message pumping with time-outs, and real mouse input.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/program_driver.h"
#include "ui/gdi.h"
#include "ui/window.h"

namespace gui_test {

// The colour the test parent paints at (x, y) of its client area when a child asks for its
// background: every point differs from its neighbours and from any skin colour.
COLORREF ParentPatternAt(int x, int y);

struct RecordedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const RecordedMessage& other) const
    {
        return message == other.message && wParam == other.wParam && lParam == other.lParam;
    }
};
// Names the message and its parameters in a failed expectation.
void PrintTo(const RecordedMessage& recorded, std::ostream* out);

// A visible top-level window at a fixed screen position, parent of the control under test.
// It records WM_COMMAND, WM_VSCROLL, WM_ITEM_CHECK_CHANGED and WM_ITEM_INSTALL.
class TestParent : public ui::Window {
public:
    explicit TestParent(const RECT& screenRect = {100, 100, 1000, 750});

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    std::vector<RecordedMessage> messages;
    // Optional answers, called after the message is recorded.
    std::function<void(WPARAM)> onVScroll;
    std::function<void(const DRAWITEMSTRUCT&)> onDrawItem;
    std::function<void(WPARAM, LPARAM)> onCommand;

private:
    void PaintPattern(HDC dc);
};

// A copy of what a window shows on screen, client coordinates.
class Capture {
public:
    explicit Capture(HWND hwnd);
    COLORREF At(int x, int y) const;
    int width() const { return m_width; }
    int height() const { return m_height; }
    // Writes a PNG; false when it could not be written.
    bool SavePng(const std::wstring& path) const;

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<uint32_t> m_pixels;  // 0x00RRGGBB, top-down
};

// What a window paints for WM_PRINTCLIENT (PRF_CLIENT) into a DIB of its client size that
// was filled with `ground` first: the pixels it leaves alone keep that colour.
class Printed {
public:
    Printed(HWND hwnd, COLORREF ground);
    COLORREF At(int x, int y) const;

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<uint32_t> m_pixels;  // 0x00RRGGBB, top-down
};

// Writes a PNG of `colours.size()` slices of `sliceWidth` x `height`, each one solid colour,
// plus `extraColumns` columns of `extraColour` at the right. Alpha 255 everywhere.
bool WriteSlicesPng(const std::wstring& path, int sliceWidth, int height, const std::vector<COLORREF>& colours,
                    int extraColumns = 0, COLORREF extraColour = RGB(0, 0, 0));

// Such an image beside the test program, written on construction and deleted with the object.
class ScratchSlicesPng {
public:
    ScratchSlicesPng(const wchar_t* name, int sliceWidth, int height, const std::vector<COLORREF>& colours);
    ~ScratchSlicesPng();
    ScratchSlicesPng(const ScratchSlicesPng&) = delete;
    ScratchSlicesPng& operator=(const ScratchSlicesPng&) = delete;
    const std::wstring& path() const { return m_path; }
    bool written() const { return m_written; }

private:
    std::wstring m_path;
    bool m_written;
};

// What a message box showed before the watcher pressed its OK button.
struct SeenMessageBox {
    bool seen = false;
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
};

// Watches, on a thread of its own, for a message box of the thread that made the watcher:
// the first one that becomes visible is read and answered with OK. The box's modal loop runs
// on the watched thread, so Finish() is called once the code that shows it has returned.
class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(DWORD timeoutMs = 5000);
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    SeenMessageBox Finish();  // stops watching; what was seen, if anything

private:
    void Watch(DWORD watchedThread, DWORD timeoutMs);

    std::atomic<bool> m_stop{false};
    SeenMessageBox m_seen;  // written by the watcher thread until it is joined
    std::thread m_watcher;
};

// Real input through SendInput, in screen coordinates.
void MoveMouseTo(POINT screen);
void PressLeft();
void ReleaseLeft();
POINT ClientToScreenPoint(HWND hwnd, int x, int y);
// Puts the cursor on the screen outside the test parent's default rectangle, so that no
// window of a test sees the mouse until the test moves it there.
void ParkMouse();

// Where screenshots of the GUI tests go: build/screenshots beside the build tree, made on
// first use.
std::wstring ScreenshotDir();
// Saves the capture as <ScreenshotDir>\<name>.png when the running test has failed so far.
void KeepScreenshotIfFailed(const Capture& shot, const std::wstring& name);

// Class names and rectangles in the parent are read with driver::ClassName and
// driver::ClientRectInParent (tests/program_driver.h).
// Equal rectangles, or a failure that shows both.
testing::AssertionResult SameRect(const RECT& actual, const RECT& expected);

// A colour channel by channel within `tolerance`.
bool ColoursNear(COLORREF a, COLORREF b, int tolerance = 0);

}  // namespace gui_test
