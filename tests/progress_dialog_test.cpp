// The install run under its progress dialog: the template, the dialog's geometry, the
// pipeline of downloads and installers, the failure message, the close button, and the
// painting.
//
// Every dialog here is the real one, run modally on the test thread against a loopback
// HTTP server in this process, with the stand-in installer (test_installer.cpp) served under
// the programs' names. It is watched from inside its own modal loop: a thread timer fires
// every 10 ms while the dialog (or its message box) pumps messages, and runs the test's
// steps in order. Watching from the same thread reads the dialog's state between its own
// messages, with no lock and no race. Steps only look and act; one that pumps messages
// itself (real mouse input) cannot start the steps over. A second thread could read the
// dialog's strings only unsafely.
//
// Under Wine the elevation prompt cannot be reached (WineDifference::ElevationPrompt).

#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/folders.h"
#include "base/unique_handle.h"
#include "install/install_run.h"
#include "install/installed_programs.h"
#include "install/process_tree.h"
#include "net/sha256.h"
#include "res/resource.h"
#include "tests/gui_harness.h"
#include "tests/installer_log.h"
#include "tests/test_files.h"
#include "tests/wine_differences.h"
#include "ui/progress_dialog.h"

using gui_test::Capture;
using gui_test::ColoursNear;
using gui_test::Printed;

namespace {

constexpr COLORREF kFillInside = RGB(18, 107, 188);  // the bar picture inside its border
constexpr COLORREF kStatusColour = RGB(10, 66, 107);
constexpr COLORREF kMagenta = RGB(255, 0, 255);       // a ground no picture holds
constexpr int kBlock = 4096;                          // the download's read block

// --- Watching a modal run ------------------------------------------------------------------

HWND OwnedMessageBox(HWND dialog);

struct Step {
    const char* what;
    std::function<bool()> ready;  // polled every tick until it holds
    std::function<void()> act;    // then run once
};

struct Observation {
    ULONGLONG tick;
    std::wstring status;
    int percent;
};

class ModalRun {
public:
    // Runs the dialog to its end; the steps run in order as they become ready. After the
    // time-out the dialog is closed and the run counts as stuck.
    ModalRun(CProgressDlg& dialog, std::vector<Step> steps, std::function<void()> everyTick = {},
             DWORD timeoutMs = 30000)
        : m_dialog(dialog), m_steps(std::move(steps)), m_everyTick(std::move(everyTick)),
          m_deadline(GetTickCount64() + timeoutMs)
    {
        t_current = this;
        const UINT_PTR timer = SetTimer(nullptr, 0, 10, Tick);
        result = dialog.DoModal(nullptr);
        endTick = GetTickCount64();
        KillTimer(nullptr, timer);
        t_current = nullptr;
    }

    INT_PTR result = 0;
    ULONGLONG endTick = 0;
    bool stuck = false;
    std::vector<Observation> timeline;  // one entry per change of status line or percent

    // The step the run never got past, or "" when every step ran.
    std::string Unfinished() const { return m_next < m_steps.size() ? m_steps[m_next].what : ""; }

    // Distinct status lines in the order they were shown.
    std::vector<std::wstring> Statuses() const
    {
        std::vector<std::wstring> statuses;
        for (const Observation& seen : timeline) {
            if (statuses.empty() || statuses.back() != seen.status)
                statuses.push_back(seen.status);
        }
        return statuses;
    }

    // The percent when a status line was first shown; -1 when it never was.
    int PercentWhenFirst(const std::wstring& status) const
    {
        for (const Observation& seen : timeline) {
            if (seen.status == status)
                return seen.percent;
        }
        return -1;
    }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
    {
        if (t_current)
            t_current->OnTick();
    }

    void OnTick()
    {
        if (m_inTick || !m_dialog.hwnd())
            return;  // a step that pumps messages must not run the steps again
        m_inTick = true;
        Record();
        if (m_everyTick)
            m_everyTick();
        while (m_next < m_steps.size() && m_steps[m_next].ready()) {
            m_steps[m_next].act();
            ++m_next;
        }
        if (!stuck && GetTickCount64() > m_deadline)
            GiveUp();
        m_inTick = false;
    }

    void Record()
    {
        const std::wstring& status = m_dialog.run().StatusText();
        const int percent = m_dialog.run().Percent();
        if (timeline.empty() || timeline.back().status != status || timeline.back().percent != percent)
            timeline.push_back({GetTickCount64(), status, percent});
    }

    void GiveUp()
    {
        stuck = true;
        if (const HWND box = OwnedMessageBox(m_dialog.hwnd()))
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        PostMessageW(m_dialog.hwnd(), WM_COMMAND, IDC_PROGRESS_CLOSE, 0);
    }

    static thread_local ModalRun* t_current;
    CProgressDlg& m_dialog;
    std::vector<Step> m_steps;
    std::function<void()> m_everyTick;
    ULONGLONG m_deadline;
    size_t m_next = 0;
    bool m_inTick = false;
};

thread_local ModalRun* ModalRun::t_current = nullptr;

// The visible message box the dialog owns, or null (WineDifference::NoEnabledPopup).
HWND OwnedMessageBox(HWND dialog)
{
    return driver::FindMessageBox(driver::ThreadWindows(GetCurrentThreadId()), dialog);
}

std::wstring TextOf(HWND hwnd)
{
    wchar_t text[1024] = {};
    GetWindowTextW(hwnd, text, 1024);
    return text;
}

// The icon a message box shows: its one static control with SS_ICON.
HICON MessageBoxIcon(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            return reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    }
    return nullptr;
}

// The message text: the static control that is neither the icon nor a button.
std::wstring MessageBoxText(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (lstrcmpiW(className, L"Static") == 0 && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            return TextOf(child);
    }
    return L"";
}

// --- The run's surroundings ----------------------------------------------------------------

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// True once nothing stands at the installers folder's place. A running installer's file
// cannot be deleted yet.
bool RemoveInstallersFolder()
{
    const std::wstring soft = GetSoftDir();
    if (IsFolder(soft)) {
        RemoveTree(soft);
    } else {
        DeleteFileW(soft.c_str());
    }
    return !PathExists(soft);
}

std::wstring InSoft(const std::wstring& name)
{
    return GetSoftDir() + L"\\" + name;
}

std::string Held(size_t size)
{
    return std::string(size, 'h');
}

class DialogRun : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.IsListening());
        ASSERT_NE(m_installerBytes, "<missing>");
        ASSERT_EQ(m_installerHash.size(), 64u);
        ASSERT_TRUE(WaitUntil(RemoveInstallersFolder));
        DeleteFileW(m_log.c_str());
        SetEnvironmentVariableW(L"TEST_INSTALLER_LOG", m_log.c_str());
        SetInstallerDelay(300);
        // Away from where the dialog stands: a cursor left over the close button by an
        // earlier test would give it the hover look.
        gui_test::MoveMouseTo({5, 5});
    }

    void TearDown() override
    {
        // Installers a run left running hold their files; download threads finish by themselves.
        EXPECT_TRUE(WaitUntil(RemoveInstallersFolder, 15000));
        DeleteFileW(m_log.c_str());
    }

    static void SetInstallerDelay(DWORD ms)
    {
        SetEnvironmentVariableW(L"TEST_INSTALLER_DELAY_MS", std::to_wstring(ms).c_str());
    }

    // A program of the run; the dialog borrows it for the test's length.
    const CatalogueProgram* Program(const std::wstring& name, const std::string& path, const std::wstring& install,
                                    const std::wstring& sha256 = L"")
    {
        CatalogueProgram program;
        program.name = name;
        program.url = m_server.Url(path);
        program.install = install;
        program.sha256 = sha256;
        m_programs.push_back(program);
        return &m_programs.back();
    }

    // The stand-in installer at `path`; its body stops after `pauseAfter` bytes until Resume.
    void ServeInstaller(const std::string& path, std::optional<uint64_t> pauseAfter = std::nullopt)
    {
        HttpAnswer answer = Body(m_installerBytes);
        answer.pauseAfter = pauseAfter;
        m_server.Serve(path, answer);
    }

    // A download the run never gets past until the test closes the dialog: half of 8 KiB
    // arrives, then the body stops. The dialog shows 50 % meanwhile.
    const CatalogueProgram* HeldProgram(const std::wstring& name)
    {
        HttpAnswer answer = Body(Held(2 * kBlock));
        answer.pauseAfter = kBlock;
        m_server.Serve("/held/held.exe", answer);
        return Program(name, "/held/held.exe", L"held.exe");
    }

    bool ServerHeld() { return m_server.WaitUntilPaused(0); }

    std::vector<LoggedInstall> Log() const { return ReadInstallerLog(m_log); }

    // The percent of the stand-in installer shown while its body is held after `held` bytes.
    int PercentHeldAfter(size_t held) const
    {
        return static_cast<int>(held * 100 / m_installerBytes.size());
    }

    LoopbackHttpServer m_server;
    const std::string m_installerBytes = ReadWholeFile(GetModuleDir() + L"\\test_installer.exe");
    const std::wstring m_installerHash = Sha256OfFile(GetModuleDir() + L"\\test_installer.exe");
    const std::wstring m_log = GetModuleDir() + L"\\installers.log";
    std::deque<CatalogueProgram> m_programs;  // stable addresses for the dialog's pointers
};

std::wstring Downloading(int percent, const std::wstring& name)
{
    return L"正在下载(" + std::to_wstring(percent) + L"%) - " + name;
}

std::wstring Installing(const std::wstring& name)
{
    return L"正在安装 - " + name;
}

bool IsDownloadStatusOf(const std::wstring& status, const std::wstring& name)
{
    const std::wstring tail = L") - " + name;
    return status == L"正在下载..." || status == L"正在下载 - " + name ||
           (status.rfind(L"正在下载(", 0) == 0 && status.size() > tail.size() &&
            status.compare(status.size() - tail.size(), tail.size(), tail) == 0);
}

// A process handle still open on the process it was opened for. Handle values are used
// again once closed, so a handle is known by its process.
struct WatchedHandle {
    HANDLE handle;
    DWORD processId;
    bool StillOpen() const { return GetProcessId(handle) == processId; }
};

void RecordInstallerHandle(const CProgressDlg& dialog, std::vector<WatchedHandle>& handles)
{
    const HANDLE process = dialog.run().InstallerProcess();
    const DWORD processId = process ? GetProcessId(process) : 0;
    if (process && (handles.empty() || handles.back().processId != processId))
        handles.push_back({process, processId});
}

HWND CloseButton(const CProgressDlg& dialog)
{
    return GetDlgItem(dialog.hwnd(), IDC_PROGRESS_CLOSE);
}

// What the dialog shows now: the run's timer changes the status without repainting, and
// the animation's timer repaints only ten times a second.
Capture Shown(const CProgressDlg& dialog)
{
    InvalidateRect(dialog.hwnd(), nullptr, FALSE);
    return Capture(dialog.hwnd());
}

// The pictures the spinner showed, one per change.
using SpinnerPictures = std::vector<std::vector<COLORREF>>;

// Adds the spinner's 40 x 40 pixels as the dialog shows them now, when they changed.
void RecordSpinner(const CProgressDlg& dialog, SpinnerPictures& pictures)
{
    if (!IsWindowVisible(dialog.hwnd()))
        return;
    const Capture shot(dialog.hwnd());
    std::vector<COLORREF> picture;
    for (int y = 56; y < 96; ++y) {
        for (int x = 23; x < 63; ++x)
            picture.push_back(shot.At(x, y));
    }
    if (pictures.empty() || pictures.back() != picture)
        pictures.push_back(std::move(picture));
}

// The WM_TIMER messages for t_timedWindow that this thread's message loops, a message box's
// included, take while CountTimerMessages hooks them.
thread_local HWND t_timedWindow = nullptr;
thread_local int t_timerMessages = 0;

LRESULT CALLBACK CountTimerMessages(int code, WPARAM removed, LPARAM lParam)
{
    const MSG& msg = *reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removed == PM_REMOVE && msg.message == WM_TIMER && msg.hwnd == t_timedWindow)
        ++t_timerMessages;
    return CallNextHookEx(nullptr, code, removed, lParam);
}

struct HookTraits {
    using Handle = HHOOK;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle hook) { UnhookWindowsHookEx(hook); }
};

}  // namespace

// --- Template ------------------------------------------------------------------------------

// The extended template, read from the program's own resources field by field.
TEST(ProgressDialogTemplate, IsABareTopmostPopupOfFixedDialogUnits)
{
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(IDD_PROGRESS),
                                           MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    ASSERT_NE(resource, nullptr) << "template 113 in language 2052";
    const auto* words = static_cast<const WORD*>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(words, nullptr);
    auto dword = [&](size_t at) { return static_cast<DWORD>(words[at] | (static_cast<DWORD>(words[at + 1]) << 16)); };
    EXPECT_EQ(words[0], 1) << "dlgVer";
    EXPECT_EQ(words[1], 0xFFFF) << "an extended template";
    EXPECT_EQ(dword(4), static_cast<DWORD>(WS_EX_TOPMOST)) << "extended style";
    EXPECT_EQ(dword(6), 0x80000048u) << "WS_POPUP | DS_SHELLFONT";
    EXPECT_EQ(words[8], 0) << "no controls";
    EXPECT_EQ(static_cast<short>(words[9]), 0);
    EXPECT_EQ(static_cast<short>(words[10]), 0);
    EXPECT_EQ(words[11], 267);
    EXPECT_EQ(words[12], 75);
    EXPECT_EQ(words[13], 0) << "no menu";
    EXPECT_EQ(words[14], 0) << "the dialog class";
    EXPECT_EQ(words[15], 0) << "no caption";
    EXPECT_EQ(words[16], 8) << "point size";
    EXPECT_EQ(words[17], 400) << "weight";
    EXPECT_EQ(words[18], 0x0100) << "not italic, character set 1";
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(&words[19])), L"MS Shell Dlg");
}

// --- Geometry ------------------------------------------------------------------------------

// The template stays as it is; its size is checked against its own dialog units
// (WineDifference::DialogUnits).
TEST_F(DialogRun, DialogSizePlacementStylesAndCloseButton)
{
    NoteWineDifference(WineDifference::DialogUnits);
    NoteWineDifference(WineDifference::WorkAreaPerProcess);
    // This process's work area keeps a taskbar at the left and top.
    RECT savedWorkArea = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &savedWorkArea, 0);
    RECT workArea = {60, 40, 1200, 980};
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &workArea, 0));

    CProgressDlg dialog;
    dialog.m_programs = {HeldProgram(L"暂停的软件")};
    SpinnerPictures frames;
    const auto cameRound = [&] { return frames.size() > 16 && frames.back() == frames.front(); };
    const ModalRun run(
        dialog,
        {{"the spinner round once", cameRound,
          [&] {
              const HWND hwnd = dialog.hwnd();
              RECT units = {0, 0, 267, 75};
              ASSERT_TRUE(MapDialogRect(hwnd, &units));
              RECT window = {};
              GetWindowRect(hwnd, &window);
              EXPECT_EQ(ui::Width(window), units.right) << Explain(WineDifference::DialogUnits);
              EXPECT_EQ(ui::Height(window), units.bottom);
              const RECT client = ui::ClientRect(hwnd);
              EXPECT_EQ(ui::Width(client), units.right) << "no border, no caption";
              EXPECT_EQ(window.right, workArea.right);
              EXPECT_EQ(window.bottom, workArea.bottom);

              const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
              // The dialog manager adds DS_3DLOOK and the window manager WS_CLIPSIBLINGS, as
              // on Windows; the template itself holds exactly 0x80000048.
              EXPECT_EQ(style & ~static_cast<DWORD>(WS_VISIBLE | WS_CLIPSIBLINGS | DS_3DLOOK), 0x80000048u);
              EXPECT_EQ(style & WS_CAPTION, 0u);
              EXPECT_NE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
              EXPECT_EQ(GetMenu(hwnd), nullptr);
              EXPECT_EQ(TextOf(hwnd), L"");

              const HWND close = CloseButton(dialog);
              ASSERT_NE(close, nullptr);
              EXPECT_EQ(GetDlgCtrlID(close), IDC_PROGRESS_CLOSE);
              EXPECT_EQ(TextOf(close), L"关闭");
              EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(close, GWL_STYLE)), 0x5000000Bu);
              RECT button = {};
              GetWindowRect(close, &button);
              MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&button), 2);
              EXPECT_EQ(button.left, 372);
              EXPECT_EQ(button.top, 0);
              EXPECT_EQ(button.right, 401);
              EXPECT_EQ(button.bottom, 17);

              // Dragged by any point of its own; the close button answers for itself.
              for (const POINT at : {POINT{5, 5}, POINT{200, 60}, POINT{ui::Width(client) - 3, 100}}) {
                  const POINT screen = gui_test::ClientToScreenPoint(hwnd, at.x, at.y);
                  EXPECT_EQ(SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y)), HTCAPTION)
                      << at.x << "," << at.y;
              }
              EXPECT_EQ(WindowFromPoint(gui_test::ClientToScreenPoint(hwnd, 386, 8)), close);
              SendMessageW(close, BM_CLICK, 0, 0);
          }}},
        [&] { RecordSpinner(dialog, frames); });
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &savedWorkArea, 0);

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_EQ(run.result, 1);
    ASSERT_FALSE(run.timeline.empty());
    EXPECT_EQ(run.timeline.front().status, L"正在下载...");
    EXPECT_EQ(run.timeline.front().percent, 0);
    ASSERT_GE(frames.size(), 17u);
    EXPECT_EQ(frames[16], frames[0]);
    std::sort(frames.begin(), frames.begin() + 16);
    EXPECT_EQ(std::unique(frames.begin(), frames.begin() + 16), frames.begin() + 16) << "sixteen frames, then the first";
    m_server.Resume();
}

// --- The pipeline --------------------------------------------------------------------------

TEST_F(DialogRun, OneProgramIntoAFolderThatWasAFile)
{
    ASSERT_TRUE(WriteWholeFile(GetSoftDir(), "a plain file where the folder belongs"));
    const size_t held = (m_installerBytes.size() / 2 / kBlock) * kBlock;
    ServeInstaller("/solo/solo.exe", held);
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"独个软件", "/solo/solo.exe", L"solo.exe /quiet")};
    const int percent = PercentHeldAfter(held);

    const ModalRun run(
        dialog,
        {{"the download held halfway",
          [&] { return ServerHeld() && dialog.run().StatusText() == Downloading(percent, L"独个软件"); },
          [&] {
              EXPECT_TRUE(IsFolder(GetSoftDir())) << "the file was replaced by a folder";
              EXPECT_FALSE(PathExists(InSoft(L"solo.exe")));
              EXPECT_EQ(dialog.run().Percent(), percent);

              const Capture shot = Shown(dialog);
              EXPECT_TRUE(shot.SavePng(gui_test::ScreenshotDir() + L"\\progress_dialog_downloading.png"));
              const Printed background(dialog.hwnd(), kMagenta);
              const int fill = static_cast<int>(percent / 100.0 * 310);
              EXPECT_TRUE(ColoursNear(shot.At(76 + fill / 2, 86), kFillInside, 3));
              EXPECT_TRUE(ColoursNear(shot.At(76 + fill + 8, 86), background.At(76 + fill + 8, 86), 3))
                  << "the track beyond the fill";
              EXPECT_TRUE(ColoursNear(background.At(200, 8), shot.At(200, 8), 3)) << "the title band";
              // Smoothed glyphs: a few pixels carry the text colour itself, many more a blend
              // of it with the white body.
              int inTextColour = 0;
              int inked = 0;
              for (int y = 53; y < 65; ++y) {
                  for (int x = 74; x < 401; ++x) {
                      const COLORREF pixel = shot.At(x, y);
                      inTextColour += ColoursNear(pixel, kStatusColour, 4) ? 1 : 0;
                      inked += GetBValue(pixel) > GetRValue(pixel) + 30 ? 1 : 0;
                  }
              }
              EXPECT_GT(inTextColour, 0) << "the status line in its colour";
              EXPECT_GT(inked, 100);
              int spinnerPixels = 0;
              for (int y = 56; y < 96; ++y) {
                  for (int x = 23; x < 63; ++x)
                      spinnerPixels += ColoursNear(shot.At(x, y), background.At(x, y), 8) ? 0 : 1;
              }
              EXPECT_GT(spinnerPixels, 50) << "the spinner over the background";
              m_server.Resume();
          }},
         {"installing", [&] { return dialog.run().StatusText() == Installing(L"独个软件"); },
          [&] { EXPECT_EQ(dialog.run().Percent(), 0) << "a run of one shows 0 while installing"; }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_EQ(run.result, 1);
    const std::vector<LoggedInstall> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].name, "solo.exe");
    EXPECT_EQ(log[0].arguments, "/quiet");
    EXPECT_GE(run.endTick, log[0].end) << "the dialog waits for its installer";
}

TEST_F(DialogRun, ThreeProgramsInstallInOrderWhileTheNextOneDownloads)
{
    SetInstallerDelay(1500);
    ServeInstaller("/1/first.exe");
    ServeInstaller("/2/Second.EXE", kBlock);  // held until the first installer runs
    ServeInstaller("/3/third.exe");
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"甲软件", "/1/first.exe", L"first.exe /S"),
                         Program(L"乙软件", "/2/Second.EXE", L"  Second.EXE  "),
                         Program(L"丙软件", "/3/third.exe", L"third.exe --dir \"C:\\Program Files\\x\" /q")};
    std::vector<WatchedHandle> handles;
    ULONGLONG secondOnDisk = 0;

    const ModalRun run(
        dialog,
        {{"the first installer started", [&] { return ServerHeld() && dialog.run().StatusText() == Installing(L"甲软件"); },
          [&] { m_server.Resume(); }},
         {"the second installer on disk", [&] { return PathExists(InSoft(L"Second.EXE")); },
          [&] {
              secondOnDisk = GetTickCount64();
              EXPECT_EQ(dialog.run().StatusText(), Installing(L"甲软件"));
          }}},
        [&] {
            RecordInstallerHandle(dialog, handles);
        });

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(dialog.EndedNormally());
    const std::vector<LoggedInstall> log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].name, "first.exe");
    EXPECT_EQ(log[0].arguments, "/S");
    EXPECT_EQ(log[1].name, "Second.EXE");
    EXPECT_EQ(log[1].arguments, "");
    EXPECT_EQ(log[2].name, "third.exe");
    EXPECT_EQ(log[2].arguments, "--dir \"C:\\Program Files\\x\" /q");
    EXPECT_GE(log[1].start, log[0].end) << "one installer at a time";
    EXPECT_GE(log[2].start, log[1].end);
    EXPECT_LT(secondOnDisk, log[0].end) << "the second download arrived while the first installer ran";
    EXPECT_GE(run.endTick, log[2].end);

    std::vector<std::wstring> installs;
    for (const std::wstring& status : run.Statuses()) {
        if (status.rfind(L"正在安装", 0) == 0)
            installs.push_back(status);
        else
            EXPECT_TRUE(IsDownloadStatusOf(status, L"甲软件")) << "only the first download is ever waited for";
    }
    EXPECT_EQ(installs,
              (std::vector<std::wstring>{Installing(L"甲软件"), Installing(L"乙软件"), Installing(L"丙软件")}));
    EXPECT_EQ(run.PercentWhenFirst(Installing(L"甲软件")), 0);
    EXPECT_EQ(run.PercentWhenFirst(Installing(L"乙软件")), 33);
    EXPECT_EQ(run.PercentWhenFirst(Installing(L"丙软件")), 66);
    for (const char* path : {"/1/first.exe", "/2/Second.EXE", "/3/third.exe"})
        EXPECT_EQ(m_server.CountRequests("GET", path), 1u) << path;

    ASSERT_EQ(handles.size(), 3u);
    for (const WatchedHandle& watched : handles)
        EXPECT_FALSE(watched.StillOpen()) << "every installer's handle is closed";
}

TEST_F(DialogRun, InstallersAlreadyOnDiskStartAtTheFirstTick)
{
    ASSERT_TRUE(CreateDirectoryW(GetSoftDir().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"a.exe"), m_installerBytes));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"b.exe"), m_installerBytes));
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"子", "/a.exe", L"a.exe"), Program(L"丑", "/b.exe", L"b.exe /x")};

    const ModalRun run(dialog, {});

    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(m_server.Requests().empty()) << "nothing is downloaded again";
    EXPECT_EQ(run.Statuses(), (std::vector<std::wstring>{L"正在下载...", Installing(L"子"), Installing(L"丑")}));
    EXPECT_EQ(run.PercentWhenFirst(Installing(L"子")), 0);
    EXPECT_EQ(run.PercentWhenFirst(Installing(L"丑")), 50);
    const std::vector<LoggedInstall> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].name + " " + log[0].arguments, "a.exe ");
    EXPECT_EQ(log[1].name + " " + log[1].arguments, "b.exe /x");
}

// Install values come from a catalogue fetched over plain HTTP. A name that leaves the
// installers folder, a value too long to start whole, or no file at all: the program is
// neither downloaded nor started, and the run goes on. So is a value with neither ".exe" nor
// ".msi": it has nothing to start.
TEST_F(DialogRun, RefusedInstallValuesAreNeitherDownloadedNorStarted)
{
    const std::wstring outside = GetAppLibDir() + L"\\evil.exe";
    DeleteFileW(outside.c_str());
    for (const char* path : {"/a.exe", "/evil.exe", "/evil2.exe", "/long.exe", "/empty", "/b.exe"})
        ServeInstaller(path);
    m_server.Serve("/notes.txt", Body("read me"));
    CProgressDlg dialog;
    dialog.m_programs = {
        Program(L"甲", "/a.exe", L"a.exe"),
        Program(L"上层", "/evil.exe", L"..\\evil.exe /S"),
        Program(L"盘符", "/evil2.exe", L"C:evil2.exe"),
        Program(L"空", "/empty", L""),
        Program(L"说明", "/notes.txt", L"notes.txt"),
        Program(L"过长", "/long.exe", L"long.exe " + std::wstring(600, L'p')),
        Program(L"乙", "/b.exe", L"b.exe"),
    };

    const ModalRun run(dialog, {});

    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(run.stuck);
    const std::vector<LoggedInstall> log = Log();
    std::vector<std::string> started;
    for (const LoggedInstall& installer : log)
        started.push_back(installer.name + " " + installer.arguments);
    EXPECT_EQ(started, (std::vector<std::string>{"a.exe ", "b.exe "}));
    for (const char* path : {"/evil.exe", "/evil2.exe", "/empty", "/notes.txt", "/long.exe"}) {
        EXPECT_EQ(m_server.CountRequests("HEAD", path), 0u) << path;
        EXPECT_EQ(m_server.CountRequests("GET", path), 0u) << path;
    }
    EXPECT_FALSE(PathExists(InSoft(L"notes.txt")));
    EXPECT_FALSE(PathExists(outside)) << "nothing written beside the installers folder";
    EXPECT_EQ(run.PercentWhenFirst(Installing(L"乙")), 85);
    DeleteFileW(outside.c_str());
}

// --- Failures and the close button ---------------------------------------------------------

TEST_F(DialogRun, AFailedDownloadEndsTheRunWithItsMessage)
{
    SetInstallerDelay(1000);
    ServeInstaller("/1/one.exe");
    ServeInstaller("/2/two.exe", kBlock);  // held until the first installer has ended
    // "/3/three.exe" is not served: 404.
    ServeInstaller("/4/four.exe");
    ServeInstaller("/5/five.exe");
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"一号", "/1/one.exe", L"one.exe"), Program(L"二号", "/2/two.exe", L"two.exe"),
                         Program(L"三号", "/3/three.exe", L"three.exe"), Program(L"四号", "/4/four.exe", L"four.exe"),
                         Program(L"五号", "/5/five.exe", L"five.exe")};
    std::vector<WatchedHandle> handles;
    ULONGLONG firstEnded = 0;
    ULONGLONG boxShown = 0;
    UniqueHandle<HookTraits> timerHook;

    const ModalRun run(
        dialog,
        {{"the first installer ended", [&] { return Log().size() == 1; }, [&] { firstEnded = GetTickCount64(); }},
         {"the tree's settling time and two ticks of the run later",
          [&] { return GetTickCount64() - firstEnded > ProcessTree::kSettleMs + 500; },
          [&] {
              ASSERT_EQ(handles.size(), 1u);
              EXPECT_FALSE(handles[0].StillOpen()) << "closed once its installer was seen to exit";
              EXPECT_EQ(dialog.run().InstallerProcess(), nullptr);
              m_server.Resume();
          }},
         {"the failure message", [&] { return OwnedMessageBox(dialog.hwnd()) != nullptr; },
          [&] {
              const HWND box = OwnedMessageBox(dialog.hwnd());
              EXPECT_EQ(TextOf(box), L"下载失败");
              EXPECT_EQ(MessageBoxText(box), L"下载\"三号\"失败\r\n服务器回答 404");
              EXPECT_EQ(MessageBoxIcon(box), LoadIconW(nullptr, IDI_INFORMATION));
              EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
              EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
              EXPECT_EQ(Log().size(), 1u) << "the second installer is still running";
              boxShown = GetTickCount64();
              t_timedWindow = dialog.hwnd();
              t_timerMessages = 0;
              timerHook.reset(SetWindowsHookExW(WH_GETMESSAGE, CountTimerMessages, nullptr, GetCurrentThreadId()));
              ASSERT_TRUE(timerHook);
          }},
         {"the message a while later", [&] { return GetTickCount64() - boxShown > 350; },
          [&] {
              EXPECT_EQ(t_timerMessages, 0) << "both timers stopped";
              timerHook.reset();
              SendMessageW(GetDlgItem(OwnedMessageBox(dialog.hwnd()), IDOK), BM_CLICK, 0, 0);
          }}},
        [&] {
            RecordInstallerHandle(dialog, handles);
        });

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(dialog.EndedNormally()) << "its own message, no report";
    for (const char* path : {"/4/four.exe", "/5/five.exe"}) {
        EXPECT_EQ(m_server.CountRequests("HEAD", path), 0u) << path;
        EXPECT_EQ(m_server.CountRequests("GET", path), 0u) << path;
    }
    EXPECT_TRUE(WaitUntil([&] { return Log().size() == 2; })) << "the running installer was left to finish";
    const std::vector<LoggedInstall> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].name, "two.exe");
}

// --- Installer hashes ----------------------------------------------------------------------

// With a hash from the catalogue, an installer already on disk is checked before it starts:
// a matching one starts without a request, a stale one is downloaded again.
TEST_F(DialogRun, InstallersOnDiskWithAHashAreCheckedFirst)
{
    ASSERT_TRUE(CreateDirectoryW(GetSoftDir().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"kept.exe"), m_installerBytes));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"stale.exe"), "the release before"));
    ServeInstaller("/kept.exe");
    ServeInstaller("/stale.exe");
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"留用", "/kept.exe", L"kept.exe", m_installerHash),
                         Program(L"旧版", "/stale.exe", L"stale.exe /S", m_installerHash)};

    const ModalRun run(dialog, {});

    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(run.stuck);
    EXPECT_EQ(m_server.CountRequests("HEAD", "/kept.exe") + m_server.CountRequests("GET", "/kept.exe"), 0u);
    EXPECT_EQ(m_server.CountRequests("GET", "/stale.exe"), 1u);
    const std::vector<LoggedInstall> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].name + " " + log[0].arguments, "kept.exe ");
    EXPECT_EQ(log[1].name + " " + log[1].arguments, "stale.exe /S");
    EXPECT_EQ(ReadWholeFile(InSoft(L"stale.exe")), m_installerBytes);
}

// A body that arrives whole but with another hash (a broken mirror, a changed file) is a
// failed download: the message, the end of the run, and nothing left under its name. The
// tampered body is still a working installer, so starting it would show in the log.
TEST_F(DialogRun, ADownloadOfAnotherHashEndsTheRunAndLeavesNoFile)
{
    ServeInstaller("/good.exe");
    m_server.Serve("/changed.exe", Body(m_installerBytes + "appended by a mirror"));
    ServeInstaller("/later.exe");
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"原样", "/good.exe", L"good.exe", m_installerHash),
                         Program(L"改过的", "/changed.exe", L"changed.exe", m_installerHash),
                         Program(L"之后的", "/later.exe", L"later.exe", m_installerHash)};

    const ModalRun run(dialog, {{"the failure message", [&] { return OwnedMessageBox(dialog.hwnd()) != nullptr; },
                                 [&] {
                                     const HWND box = OwnedMessageBox(dialog.hwnd());
                                     EXPECT_EQ(TextOf(box), L"下载失败");
                                     EXPECT_EQ(MessageBoxText(box), L"下载\"改过的\"失败\r\n文件校验失败");
                                     EXPECT_FALSE(PathExists(InSoft(L"changed.exe")));
                                     SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
                                 }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(m_server.CountRequests("GET", "/changed.exe"), 1u);
    EXPECT_EQ(m_server.CountRequests("HEAD", "/later.exe"), 0u) << "the run ended";
    EXPECT_EQ(FindFiles(InSoft(L"changed.exe*")), std::vector<std::wstring>{}) << "no temporary file either";
    EXPECT_TRUE(WaitUntil([&] { return Log().size() == 1; }));
    const std::vector<LoggedInstall> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].name, "good.exe") << "a matching download starts";
}

// A keyed build that cannot vouch for a program ends the run in the same box, with the true
// reason: no network would mend it, and the program is never asked for.
TEST_F(DialogRun, AKeyedRunNamesWhyItCannotVouchForAProgram)
{
    const struct {
        const wchar_t* install;
        bool hashed;
        const wchar_t* text;
    } cases[] = {
        {L"plain.exe", false, L"\"无校验\"没有sha256校验值，本程序只下载和安装发布者校验过的安装程序"},
        {L"my setup.exe /S", true, L"\"无校验\"的安装值启动的不是它下载的文件，本程序不启动未经校验的文件"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.install));
        CProgressDlg dialog;
        dialog.m_keyedBuild = true;
        dialog.m_programs = {Program(L"无校验", "/unvouched", c.install, c.hashed ? m_installerHash : L"")};
        const ModalRun run(dialog, {{"the message", [&] { return OwnedMessageBox(dialog.hwnd()) != nullptr; },
                                     [&] {
                                         const HWND box = OwnedMessageBox(dialog.hwnd());
                                         EXPECT_EQ(MessageBoxText(box), c.text);
                                         SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
                                     }}});
        EXPECT_EQ(run.Unfinished(), "");
        EXPECT_EQ(m_server.CountRequests("HEAD", "/unvouched"), 0u);
    }
}

TEST_F(DialogRun, TheCloseButtonMidDownloadLeavesNoFile)
{
    CProgressDlg dialog;
    dialog.m_programs = {HeldProgram(L"暂停的软件")};

    const ModalRun run(dialog, {{"the download held halfway",
                                 [&] { return ServerHeld() && dialog.run().StatusText() == Downloading(50, L"暂停的软件"); },
                                 [&] {
                                     // A real click, in the middle of the button.
                                     gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(CloseButton(dialog), 14, 8));
                                     gui_test::PressLeft();
                                     gui_test::ReleaseLeft();
                                 }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_FALSE(run.stuck);
    EXPECT_EQ(run.result, 1);
    // The download thread notices the cancel at its next read.
    m_server.Resume();
    EXPECT_TRUE(WaitUntil([] { return FindFiles(InSoft(L"held.exe*")).empty(); }))
        << "neither the installer nor its temporary file is left";
    EXPECT_TRUE(Log().empty());
}

TEST_F(DialogRun, TheCloseButtonWhileInstallingLeavesTheInstallerRunning)
{
    SetInstallerDelay(1500);
    ASSERT_TRUE(CreateDirectoryW(GetSoftDir().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"run.exe"), m_installerBytes));
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"运行", "/run.exe", L"run.exe"), Program(L"下一个", "/next.exe", L"next.exe")};
    ServeInstaller("/next.exe");
    WatchedHandle installer = {};

    const ModalRun run(dialog, {{"the installer running", [&] { return dialog.run().InstallerProcess() != nullptr; },
                                 [&] {
                                     installer = {dialog.run().InstallerProcess(), GetProcessId(dialog.run().InstallerProcess())};
                                     EXPECT_NE(installer.processId, 0u);
                                     SendMessageW(CloseButton(dialog), BM_CLICK, 0, 0);
                                 }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(dialog.EndedNormally()) << "closed: no report";
    EXPECT_FALSE(installer.StillOpen()) << "the dialog let go of the handle";
    ASSERT_TRUE(WaitUntil([&] { return Log().size() == 1; }));
    EXPECT_GT(Log()[0].end, run.endTick) << "the installer ran on after the dialog";
    EXPECT_EQ(Log()[0].name, "run.exe");
}

// Two programs from different URLs whose installers are both "setup.exe", each with its
// hash: each downloads into its own subfolder and starts its own installer, in this run and
// in the next; a setup.exe a technician put in Soft beforehand is left alone.
TEST_F(DialogRun, ProgramsSharingAnInstallerNameEachStartTheirOwn)
{
    const std::string second = m_installerBytes + std::string(4096, '\0');  // another release: an overlay
    m_server.Serve("/one/setup.exe", Body(m_installerBytes));
    m_server.Serve("/two/setup.exe", Body(second));
    ASSERT_TRUE(CreateDirectoryW(GetSoftDir().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"setup.exe"), "a technician's file"));
    const CatalogueProgram* one = Program(L"一号", "/one/setup.exe", L"setup.exe /one", m_installerHash);
    const ScratchFile secondFile(GetModuleDir() + L"\\second-setup.exe", second);
    const CatalogueProgram* two = Program(L"二号", "/two/setup.exe", L"setup.exe /two", Sha256OfFile(secondFile.path()));
    const std::wstring oneFolder = InSoft(InstallerSubfolder(*one));
    const std::wstring twoFolder = InSoft(InstallerSubfolder(*two));

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(testing::Message() << "run " << run);
        DeleteFileW(m_log.c_str());
        CProgressDlg dialog;
        dialog.m_programs = {one, two};
        const ModalRun modal(dialog, {});
        EXPECT_FALSE(modal.stuck);
        const std::vector<LoggedInstall> log = Log();
        ASSERT_EQ(log.size(), 2u);
        // Each from a staging folder of its own under the temporary folder.
        const std::string staging = Narrow(StagingRoot()) + "\\start-";
        EXPECT_EQ(log[0].arguments + " " + log[0].folder.substr(0, staging.size()), "/one " + staging);
        EXPECT_EQ(log[1].arguments + " " + log[1].folder.substr(0, staging.size()), "/two " + staging);
        EXPECT_NE(log[0].folder, log[1].folder);
        EXPECT_EQ(ReadWholeFile(oneFolder + L"\\setup.exe"), m_installerBytes);
        EXPECT_EQ(ReadWholeFile(twoFolder + L"\\setup.exe"), second);
        EXPECT_EQ(ReadWholeFile(InSoft(L"setup.exe")), "a technician's file");
        EXPECT_EQ(m_server.CountRequests("GET", "/one/setup.exe"), 1u) << "fetched once, in the first run";
        EXPECT_EQ(m_server.CountRequests("GET", "/two/setup.exe"), 1u);
    }
}

// While a Windows Installer installation is in progress, the next installer waits; the
// spinner keeps turning and the close button still ends the dialog.
TEST_F(DialogRun, AnInstallerWaitsForWindowsInstallerWhileTheDialogTicks)
{
    const KernelHandle otherInstallation(CreateMutexW(nullptr, TRUE, kWindowsInstallerMutex));
    ASSERT_TRUE(otherInstallation);
    ASSERT_TRUE(CreateDirectoryW(GetSoftDir().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"msi.exe"), m_installerBytes));
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"等待", "/msi.exe", L"msi.exe")};
    SpinnerPictures frames;

    const ModalRun run(dialog,
                       {{"the spinner turned through three frames",
                         [&] { return frames.size() >= 3; },
                         [&] {
                             EXPECT_EQ(dialog.run().InstallerProcess(), nullptr) << "nothing was started";
                             SendMessageW(CloseButton(dialog), BM_CLICK, 0, 0);
                         }}},
                       [&] { RecordSpinner(dialog, frames); });

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_FALSE(run.stuck) << "the close button ended the dialog";
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(Log().empty()) << "the installer never started";
}

// A GET longer than its HEAD announced counts past 100 %.
TEST_F(DialogRun, APercentPastTheEndStopsTheBarAtItsTrack)
{
    HttpAnswer head;
    head.contentLength = kBlock;
    HttpAnswer get = Body(Held(3 * kBlock));
    get.pauseAfter = 2 * kBlock;
    m_server.Serve("/long/long.exe", head, get);
    CProgressDlg dialog;
    dialog.m_programs = {Program(L"超长", "/long/long.exe", L"long.exe")};

    const ModalRun run(
        dialog, {{"twice the announced size arrived",
                  [&] { return ServerHeld() && dialog.run().StatusText().rfind(L"正在下载(", 0) == 0; },
                  [&] {
                      EXPECT_EQ(dialog.run().Percent(), 100);
                      EXPECT_EQ(dialog.run().StatusText(), Downloading(100, L"超长"));
                      const Capture shot = Shown(dialog);
                      const Printed background(dialog.hwnd(), kMagenta);
                      EXPECT_TRUE(ColoursNear(shot.At(76 + 300, 86), kFillInside, 3));
                      EXPECT_TRUE(ColoursNear(shot.At(76 + 310 + 6, 86), background.At(76 + 310 + 6, 86), 3))
                          << "nothing drawn past the bar's own length";
                      SendMessageW(CloseButton(dialog), BM_CLICK, 0, 0);
                  }}});

    EXPECT_EQ(run.Unfinished(), "");
    m_server.Resume();
}

// --- Windows Installer held by another process ---------------------------------------------

// The program's own platform with a clock the test moves on: two minutes pass at once.
class ShiftedClockPlatform : public InstallPlatform {
public:
    std::unique_ptr<InstallerDownload> StartDownload(const std::wstring& url, const std::wstring& path,
                                                     const InstallerPin& pin) override
    {
        return SystemInstallPlatform().StartDownload(url, path, pin);
    }
    std::unique_ptr<StartedInstaller> StartElevated(const std::wstring& file, const std::wstring& parameters) override
    {
        return SystemInstallPlatform().StartElevated(file, parameters);
    }
    bool IsWindowsInstallerBusy() override { return SystemInstallPlatform().IsWindowsInstallerBusy(); }
    ULONGLONG NowMs() override { return GetTickCount64() + shiftMs; }

    ULONGLONG shiftMs = 0;
};

// Another process holds Windows Installer's mutex for good. The status line says what the
// run waits for; after two minutes the user is asked, waits on once, then skips.
TEST_F(DialogRun, AWindowsInstallerMutexHeldForEverIsWaitedOnOrSkippedAsTheUserSays)
{
    SetEnvironmentVariableW(L"TEST_INSTALLER_MUTEX", kWindowsInstallerMutex);
    SetInstallerDelay(60000);
    KernelHandle holder = RunElevated(GetModuleDir() + L"\\test_installer.exe", L"holder");
    SetEnvironmentVariableW(L"TEST_INSTALLER_MUTEX", nullptr);
    SetInstallerDelay(300);
    ASSERT_TRUE(holder);
    ASSERT_TRUE(WaitUntil([] { return SystemInstallPlatform().IsWindowsInstallerBusy(); }));
    ASSERT_TRUE(CreateDirectoryW(GetSoftDir().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InSoft(L"blocked.exe"), m_installerBytes));
    ShiftedClockPlatform platform;
    CProgressDlg dialog(platform);
    dialog.m_programs = {Program(L"被挡住的软件", "/blocked.exe", L"blocked.exe")};
    const std::wstring waiting = L"正在等待其他安装程序完成";
    int questions = 0;
    ULONGLONG answeredAt = 0;
    auto answer = [&](int button) {
        const HWND box = OwnedMessageBox(dialog.hwnd());
        EXPECT_EQ(TextOf(box), waiting);
        EXPECT_NE(MessageBoxText(box).find(L"“被挡住的软件”"), std::wstring::npos) << "names the program";
        EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
        EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
        ++questions;
        SendMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
        answeredAt = GetTickCount64();
    };

    const ModalRun run(
        dialog,
        {{"the status says what the run waits for", [&] { return dialog.run().StatusText() == waiting; },
          [&] { platform.shiftMs += 2 * 60 * 1000 - 1000; }},
         {"a second short of two minutes", [&] { return platform.NowMs() >= GetTickCount64() + 2 * 60 * 1000 - 1000; },
          [&] { EXPECT_EQ(OwnedMessageBox(dialog.hwnd()), nullptr) << "not asked yet"; platform.shiftMs += 1500; }},
         {"the question after two minutes", [&] { return OwnedMessageBox(dialog.hwnd()) != nullptr; },
          [&] { answer(IDYES); }},
         {"waiting on", [&] { return GetTickCount64() - answeredAt > 500 && !OwnedMessageBox(dialog.hwnd()); },
          [&] {
              EXPECT_EQ(dialog.run().StatusText(), waiting);
              EXPECT_EQ(questions, 1) << "one question at a time";
              platform.shiftMs += 2 * 60 * 1000;
          }},
         {"the question again two minutes later", [&] { return OwnedMessageBox(dialog.hwnd()) != nullptr; },
          [&] { answer(IDNO); }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_FALSE(run.stuck);
    EXPECT_EQ(questions, 2);
    EXPECT_TRUE(dialog.EndedNormally());
    ASSERT_EQ(dialog.run().Results().size(), 1u);
    EXPECT_EQ(dialog.run().Results()[0].outcome, InstallOutcome::Skipped);
    EXPECT_TRUE(Log().empty()) << "the installer never started";
    TerminateProcess(holder.get(), 0);
    WaitForSingleObject(holder.get(), 5000);
}

// --- Real installers -----------------------------------------------------------------------

// Installers made by makensis and a package made by wixl (tests/installers), served by the
// loopback server and installed into this prefix for real. The NSIS installers are built for
// the test's own architecture; the package is a 32-bit one.
class RealInstallers : public DialogRun {
protected:
    static constexpr wchar_t kPackageCode[] = L"{5B1A3C2E-6F0D-4C4B-9A57-2C8E11D0A001}";

    void SetUp() override
    {
        DialogRun::SetUp();
        DeleteFileW(m_installLog.c_str());
        RemovePackage();
        for (const wchar_t* name : {L"RealApp", L"RealChild", L"RealFailing", L"RealRestart", L"RealTray"})
            Uninstall(name);
    }
    void TearDown() override
    {
        DialogRun::TearDown();
        DeleteFileW(m_installLog.c_str());
    }

    static std::wstring ProgramFiles32()
    {
        wchar_t folder[MAX_PATH] = {};
        const DWORD length = GetEnvironmentVariableW(L"ProgramFiles(x86)", folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            GetEnvironmentVariableW(L"ProgramFiles", folder, MAX_PATH);
        return folder;
    }
    // The NSIS installers are built for this test's own architecture, and so install where it
    // sees Program Files and its own registry view.
    static std::wstring ProgramFilesOfTheNsisInstallers()
    {
        wchar_t folder[MAX_PATH] = {};
        GetEnvironmentVariableW(L"ProgramFiles", folder, MAX_PATH);
        return folder;
    }
    static std::wstring Installed(const std::wstring& name)
    {
        return ProgramFilesOfTheNsisInstallers() + L"\\" + name + L"\\installed.txt";
    }
    static std::wstring UninstallKey(const std::wstring& name)
    {
        return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + name;
    }
    static bool HasUninstallEntry(const std::wstring& name)
    {
        RegKey key;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey(name).c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }
    static void Uninstall(const std::wstring& name)
    {
        RemoveTree(ProgramFilesOfTheNsisInstallers() + L"\\" + name);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey(name).c_str());
    }
    static void RemovePackage()
    {
        std::wstring commandLine = L"\"" + SystemMsiexecPath() + L"\" /x " + kPackageCode + L" /qn";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            WaitForSingleObject(process.hProcess, 30000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        RemoveTree(ProgramFiles32() + L"\\RealTool");
    }

    // A program whose installer is the real installer `file`, served at "/real/<file>".
    const CatalogueProgram* RealProgram(const std::wstring& name, const std::string& file, const std::wstring& install)
    {
        const std::string bytes = ReadWholeFile(GetModuleDir() + L"\\real_installers\\" + std::wstring(file.begin(), file.end()));
        EXPECT_NE(bytes, "<missing>") << file;
        m_server.Serve("/real/" + file, Body(bytes));
        return Program(name, "/real/" + file, install);
    }

    // The lines of AppLib\install.log after its mark, each without its fields of time and
    // computer, and without the seconds unless asked for.
    std::vector<std::string> InstallLogLines(bool withSeconds = false) const
    {
        const std::string text = ReadWholeFile(m_installLog);
        std::vector<std::string> lines;
        if (text.compare(0, 3, "\xEF\xBB\xBF") != 0)
            return {"no mark: " + text};
        for (size_t begin = 3, end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
            const std::string line = text.substr(begin, end - begin);
            const size_t program = line.find('\t', line.find('\t') + 1);
            const std::string fields = line.substr(program + 1);
            lines.push_back(withSeconds ? fields : fields.substr(0, fields.rfind('\t')));
        }
        return lines;
    }

    const std::wstring m_installLog = GetAppLibDir() + L"\\install.log";
};

// The report box of ShowInstallReport, read and pressed from a thread timer inside its own
// modal loop.
struct ReportWatch {
    HWND owner = nullptr;
    std::wstring text = L"<none>";
};
ReportWatch* g_reportWatch = nullptr;

void CALLBACK ReadAndPressReport(HWND, UINT, UINT_PTR, DWORD)
{
    const HWND box = OwnedMessageBox(g_reportWatch->owner);
    if (!box)
        return;
    g_reportWatch->text = TextOf(box) + L"|" + MessageBoxText(box);
    SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
}

// The report the main window shows after a run: the box's caption and text, or "<none>".
std::wstring ReportShownFor(const std::vector<ProgramResult>& results)
{
    ReportWatch watch;
    watch.owner = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    g_reportWatch = &watch;
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, ReadAndPressReport);
    ShowInstallReport(watch.owner, results);
    KillTimer(nullptr, timer);
    g_reportWatch = nullptr;
    DestroyWindow(watch.owner);
    return watch.text;
}

TEST_F(RealInstallers, APackageThenAnNsisInstallerInOneRun)
{
    CProgressDlg dialog;
    dialog.m_programs = {RealProgram(L"真工具", "realtool.msi", L"realtool.msi /qn"),
                         RealProgram(L"真软件", "realapp-setup.exe", L"realapp-setup.exe /S")};
    bool packageDoneFirst = false;
    const ModalRun run(dialog, {{"the NSIS installer starts", [&] { return dialog.run().StatusText() == Installing(L"真软件"); },
                                 [&] { packageDoneFirst = PathExists(ProgramFiles32() + L"\\RealTool\\realtool.txt"); }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_FALSE(run.stuck);
    EXPECT_TRUE(packageDoneFirst) << "the package was installed before the next installer started";
    EXPECT_EQ(ReadWholeFile(ProgramFiles32() + L"\\RealTool\\realtool.txt"),
              "RealTool, installed by its Windows Installer package.\r\n");
    EXPECT_EQ(ReadWholeFile(Installed(L"RealApp")), "RealApp\r\n");
    EXPECT_TRUE(HasUninstallEntry(L"RealApp"));
    EXPECT_TRUE(dialog.EndedNormally());
    EXPECT_EQ(ReportShownFor(dialog.run().Results()), L"<none>") << "every installer exited with 0";
    EXPECT_EQ(InstallLogLines(), (std::vector<std::string>{"真工具\t安装成功\t0", "真软件\t安装成功\t0"}));

    // What the real installers wrote is what the installed marks read: the package under its
    // product code and its name, the NSIS installer under its key in its own view.
    const std::vector<UninstallEntry> entries = ReadUninstallEntries();
    const struct {
        const wchar_t* installed;
        const wchar_t* version;
        InstalledState state;
        const wchar_t* found;
    } cases[] = {
        {kPackageCode, L"1.0.0", InstalledState::UpToDate, L"1.0.0"},
        {L"RealTool", L"1.0", InstalledState::UpToDate, L"1.0.0"},
        {L"realapp", L"2.4.1", InstalledState::UpToDate, L"2.4.1"},
        {L"RealApp", L"2.10", InstalledState::Older, L"2.4.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.installed, c.installed + wcslen(c.installed)));
        CatalogueProgram program;
        program.installed = c.installed;
        program.version = c.version;
        const InstalledProgram found = FindInstalled(program, entries);
        EXPECT_EQ(found.state, c.state);
        EXPECT_EQ(found.version, c.found);
    }
}

// The launcher extracts the real installer, starts it and exits at once; the real one ends
// three seconds later. The next installer starts only then.
TEST_F(RealInstallers, ALauncherIsDoneWhenTheInstallerItStartedIs)
{
    CProgressDlg dialog;
    dialog.m_programs = {RealProgram(L"套壳软件", "launcher-setup.exe", L"launcher-setup.exe /S"),
                         Program(L"下一个", "/next.exe", L"next.exe")};
    ServeInstaller("/next.exe");
    bool childDoneFirst = false;
    const ModalRun run(dialog, {{"the next installer starts", [&] { return dialog.run().StatusText() == Installing(L"下一个"); },
                                 [&] { childDoneFirst = PathExists(Installed(L"RealChild")); }}});

    EXPECT_EQ(run.Unfinished(), "");
    EXPECT_FALSE(run.stuck);
    EXPECT_TRUE(childDoneFirst) << "the launcher's child had finished";
    const std::vector<std::wstring> statuses = run.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), L"正在等待 - realchild-setup.exe"), statuses.end())
        << "the status named the process the run waited for";
    EXPECT_TRUE(HasUninstallEntry(L"RealChild"));
    ASSERT_EQ(Log().size(), 1u);
    EXPECT_GE(Log()[0].start, run.timeline.front().tick);
    const std::vector<std::string> lines = InstallLogLines(true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, lines[0].rfind('\t')), "套壳软件\t安装成功\t0");
    EXPECT_GE(std::stoi(lines[0].substr(lines[0].rfind('\t') + 1)), 3) << "its seconds count the child's";
}

// The first installer starts a program from the system folder as it ends, as many start the
// program they installed; the run goes on at once and the log names what was left running.
TEST_F(RealInstallers, AProgramAnInstallerLeavesRunningHoldsNothing)
{
    CProgressDlg dialog;
    dialog.m_programs = {RealProgram(L"托盘软件", "tray-setup.exe", L"tray-setup.exe /S"),
                         RealProgram(L"真软件", "realapp-setup.exe", L"realapp-setup.exe /S")};
    const ModalRun run(dialog, {});

    std::vector<ListedProcess> left;
    for (const ListedProcess& process : EveryProcess()) {
        if (CompareStringOrdinal(process.name.c_str(), -1, L"ping.exe", -1, TRUE) == CSTR_EQUAL)
            left.push_back(process);
    }
    for (const ListedProcess& process : left) {
        const KernelHandle handle(OpenProcess(PROCESS_TERMINATE, FALSE, process.id));
        TerminateProcess(handle.get(), 0);
    }
    EXPECT_FALSE(run.stuck);
    EXPECT_TRUE(dialog.EndedNormally());
    EXPECT_EQ(left.size(), 1u) << "the run ended while the program it left ran on";
    EXPECT_TRUE(PathExists(Installed(L"RealApp")));
    const std::vector<std::string> lines = InstallLogLines(true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("托盘软件\t安装成功\t0\t", 0), 0u) << lines[0];
    // ping's console host is one of its own.
    EXPECT_EQ(lines[0].substr(lines[0].rfind('\t') + 1, 23), "仍在运行：ping.exe");
}

TEST_F(RealInstallers, ExitCodes1603And3010AreReportedAndLogged)
{
    CProgressDlg dialog;
    dialog.m_programs = {RealProgram(L"失败的软件", "failing-setup.exe", L"failing-setup.exe /S"),
                         RealProgram(L"要重启的软件", "restart-setup.exe", L"restart-setup.exe /S"),
                         RealProgram(L"真软件", "realapp-setup.exe", L"realapp-setup.exe /S")};
    const ModalRun run(dialog, {});

    EXPECT_FALSE(run.stuck);
    EXPECT_TRUE(dialog.EndedNormally()) << "the run went on past the failure";
    EXPECT_TRUE(PathExists(Installed(L"RealFailing"))) << "it ran, then exited with 1603";
    EXPECT_TRUE(PathExists(Installed(L"RealApp")));
    EXPECT_EQ(ReportShownFor(dialog.run().Results()),
              L"安装结果|失败的软件：安装失败（退出代码 1603）\r\n要重启的软件：安装成功，需要重新启动（退出代码 3010）\r\n\r\n"
              L"需要重新启动计算机");
    EXPECT_EQ(InstallLogLines(), (std::vector<std::string>{"失败的软件\t安装失败\t1603",
                                                           "要重启的软件\t安装成功，需要重新启动\t3010",
                                                           "真软件\t安装成功\t0"}));
}

// --- Pictures ------------------------------------------------------------------------------

enum class Picture { Background, Close, Spinner, Fill };

// The program's pictures with one of them pointing at a resource type the module lacks, so
// that it fails to load.
ProgressPictures PicturesWithout(Picture missing)
{
    ProgressPictures pictures = ProgramProgressPictures();
    PictureResource& absent = missing == Picture::Background ? pictures.background
                              : missing == Picture::Close    ? pictures.closeButton
                              : missing == Picture::Spinner  ? pictures.spinner
                                                             : pictures.progressFill;
    absent.type = L"NO_SUCH_TYPE";
    return pictures;
}

class MissingPicture : public DialogRun, public testing::WithParamInterface<Picture> {};

// How many pixels of a rectangle differ from what the background alone paints there.
int PixelsOverBackground(const Capture& shot, const Printed& background, const RECT& rect)
{
    int differing = 0;
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x)
            differing += ColoursNear(shot.At(x, y), background.At(x, y), 8) ? 0 : 1;
    }
    return differing;
}

TEST_P(MissingPicture, DrawsNothingInItsPlace)
{
    const Picture missing = GetParam();
    CProgressDlg dialog(SystemInstallPlatform(), PicturesWithout(missing));
    dialog.m_programs = {HeldProgram(L"暂停的软件")};
    const RECT spinner = {25, 58, 61, 94};
    const RECT bar = {78, 81, 76 + 155 - 2, 91};
    const RECT close = {374, 2, 399, 15};

    const ModalRun run(
        dialog,
        {{"the download held halfway",
          [&] { return ServerHeld() && dialog.run().StatusText() == Downloading(50, L"暂停的软件"); },
          [&] {
              const Capture shot = Shown(dialog);
              const Printed background(dialog.hwnd(), kMagenta);
              if (missing == Picture::Background) {
                  // A white ground, not whatever the off-screen surface held.
                  for (const POINT at : {POINT{200, 8}, POINT{10, 110}, POINT{300, 40}}) {
                      EXPECT_EQ(background.At(at.x, at.y), RGB(255, 255, 255)) << at.x << "," << at.y;
                      EXPECT_EQ(shot.At(at.x, at.y), RGB(255, 255, 255)) << at.x << "," << at.y;
                  }
              } else {
                  EXPECT_FALSE(ColoursNear(background.At(200, 8), RGB(255, 255, 255), 30)) << "the blue title band";
              }
              EXPECT_EQ(PixelsOverBackground(shot, background, spinner) == 0, missing == Picture::Spinner);
              EXPECT_EQ(PixelsOverBackground(shot, background, bar) == 0, missing == Picture::Fill);
              if (missing != Picture::Background) {
                  EXPECT_EQ(PixelsOverBackground(shot, background, close) == 0, missing == Picture::Close);
              }
              SendMessageW(CloseButton(dialog), BM_CLICK, 0, 0);
          }}});

    EXPECT_EQ(run.Unfinished(), "");
    m_server.Resume();
}

INSTANTIATE_TEST_SUITE_P(EachPicture, MissingPicture,
                         testing::Values(Picture::Background, Picture::Close, Picture::Spinner, Picture::Fill));

// The normal state of the close button is a cross on a clear ground. The button is drawn
// onto a magenta ground here (its answer to WM_PRINTCLIENT): the clear pixels must show the
// dialog's background, not the ground they were drawn on.
TEST_F(DialogRun, CloseButtonStatesOverTheDialogBackground)
{
    CGdiPlusBitmapResource strip;
    ASSERT_TRUE(strip.LoadFromResource(IDR_PNG_CLOSE, L"PNG"));
    auto stripPixel = [&](int slice, int x, int y) {
        Gdiplus::Color colour;
        strip.bitmap()->GetPixel(slice * 29 + x, y, &colour);
        return colour;
    };
    const POINT ground = {3, 3};  // clear in the normal state, opaque red in the others
    ASSERT_EQ(stripPixel(SliceNormal, ground.x, ground.y).GetA(), 0);
    ASSERT_EQ(stripPixel(SliceHover, ground.x, ground.y).GetA(), 255);
    ASSERT_EQ(stripPixel(SlicePressed, ground.x, ground.y).GetA(), 255);
    auto opaque = [&](int slice) {
        const Gdiplus::Color colour = stripPixel(slice, ground.x, ground.y);
        return RGB(colour.GetR(), colour.GetG(), colour.GetB());
    };

    CProgressDlg dialog;
    dialog.m_programs = {HeldProgram(L"暂停的软件")};
    const ModalRun run(
        dialog,
        {{"the dialog up", [&] { return ServerHeld(); },
          [&] {
              const HWND close = CloseButton(dialog);
              const COLORREF behind = Printed(dialog.hwnd(), kMagenta).At(372 + ground.x, ground.y);
              EXPECT_FALSE(ColoursNear(behind, kMagenta, 30));

              EXPECT_TRUE(ColoursNear(Printed(close, kMagenta).At(ground.x, ground.y), behind, 3)) << "normal";
              EXPECT_TRUE(ColoursNear(Capture(close).At(ground.x, ground.y), behind, 3)) << "normal, on screen";

              gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(close, 14, 8));
              EXPECT_TRUE(WaitUntil(
                  [&] { return ColoursNear(Printed(close, kMagenta).At(ground.x, ground.y), opaque(SliceHover), 3); },
                  2000))
                  << "hover";

              SendMessageW(close, BM_SETSTATE, TRUE, 0);
              EXPECT_TRUE(ColoursNear(Printed(close, kMagenta).At(ground.x, ground.y), opaque(SlicePressed), 3))
                  << "pressed";
              SendMessageW(close, BM_SETSTATE, FALSE, 0);

              gui_test::MoveMouseTo(gui_test::ClientToScreenPoint(dialog.hwnd(), 100, 100));
              SendMessageW(close, BM_CLICK, 0, 0);
          }}});

    EXPECT_EQ(run.Unfinished(), "");
    m_server.Resume();
}
