#pragma once
// Drives the real SoftwareInstaller.exe from another process, as a user would see it: a
// copy of the program in a scratch folder with an AppLib tree of the case's own, the
// process started and ended, its windows and message boxes found, read and answered.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "tests/wait_until.h"

namespace driver {

// A folder holding SoftwareInstaller.exe and a copy of the AppLib tree that stands beside
// the test program. Removed when the copy goes.
class ProgramCopy {
public:
    // `built`: the program beside the test to copy under that name, such as a keyed build.
    explicit ProgramCopy(const std::wstring& name, const wchar_t* built = L"SoftwareInstaller.exe");
    ~ProgramCopy();
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    const std::wstring& dir() const { return m_dir; }
    std::wstring exe() const { return m_dir + L"\\SoftwareInstaller.exe"; }
    std::wstring appLib() const { return m_dir + L"\\AppLib"; }
    std::wstring soft() const { return appLib() + L"\\Soft"; }
    bool WriteCatalogue(const std::string& xml) const;

private:
    std::wstring m_dir;
};

bool CopyTree(const std::wstring& from, const std::wstring& to);

class RunningProgram {
public:
    // Starts the program with the given arguments (not including its own name), with the
    // extra "NAME=value" environment entries added to this process's environment.
    RunningProgram(const std::wstring& exe, const std::wstring& arguments = L"",
                   const std::vector<std::wstring>& environment = {});
    ~RunningProgram();  // ends the process if it still runs
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return static_cast<bool>(m_process); }
    DWORD pid() const { return m_pid; }
    HANDLE process() const { return m_process.get(); }

    // The exit code once the process has ended within the time-out, or STILL_ACTIVE.
    DWORD WaitForExit(DWORD timeoutMs);

    // The process's top-level window with this title (any visibility), or null.
    HWND FindTopLevel(const std::wstring& title, bool visibleOnly) const;
    HWND WaitForTopLevel(const std::wstring& title, bool visibleOnly, DWORD timeoutMs) const;
    // A visible message box (dialog class "#32770") of the process, other than `except`.
    HWND WaitForMessageBox(DWORD timeoutMs, HWND except = nullptr) const;
    std::vector<HWND> TopLevelWindows(bool visibleOnly) const;

private:
    KernelHandle m_process;
    DWORD m_pid = 0;
};

std::wstring WindowText(HWND hwnd);
std::wstring ClassName(HWND hwnd);
RECT ClientRectInParent(HWND child);  // the window rectangle in its parent's client coordinates
std::vector<HWND> Children(HWND parent);  // direct children, in Z order
HWND ChildById(HWND parent, int id);

// The first message box among `windows` other than `except`: visible (a closed box stays in
// the window list for a while, hidden), of the dialog class "#32770" and with a message text
// (control 0xFFFF). With an `owner`, only a box that window owns. Null when there is none.
HWND FindMessageBox(const std::vector<HWND>& windows, HWND owner = nullptr, HWND except = nullptr);
// The top-level windows of one thread, visible or not.
std::vector<HWND> ThreadWindows(DWORD threadId);

// The message box's text (its static control) and caption; pressing a button by id.
std::wstring MessageBoxText(HWND box);
void PressDialogButton(HWND dialog, int id);

}  // namespace driver
