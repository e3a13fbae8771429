#include "tests/program_driver.h"

#include <cwchar>

#include "base/folders.h"
#include "tests/test_files.h"

namespace driver {

bool CopyTree(const std::wstring& from, const std::wstring& to)
{
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(from + L"\\" + name, to + L"\\" + name) && ok;
        else
            ok = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) && ok;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return ok;
}

ProgramCopy::ProgramCopy(const std::wstring& name, const wchar_t* built) : m_dir(GetModuleDir() + L"\\run-" + name)
{
    RemoveTree(m_dir);
    CreateDirectoryW(m_dir.c_str(), nullptr);
    CopyFileW((GetModuleDir() + L"\\" + built).c_str(), exe().c_str(), FALSE);
    CopyTree(GetAppLibDir(), appLib());
}

ProgramCopy::~ProgramCopy()
{
    RemoveTree(m_dir);
}

bool ProgramCopy::WriteCatalogue(const std::string& xml) const
{
    return WriteWholeFile(appLib() + L"\\AppLib.xml", xml);
}

namespace {

// This process's environment block plus the extra entries, sorted as Windows expects.
std::vector<wchar_t> EnvironmentWith(const std::vector<std::wstring>& extra)
{
    std::vector<std::wstring> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += std::wcslen(p) + 1)
        entries.emplace_back(p);
    FreeEnvironmentStringsW(block);
    for (const auto& entry : extra)
        entries.push_back(entry);
    std::vector<wchar_t> result;
    for (const auto& entry : entries) {
        result.insert(result.end(), entry.begin(), entry.end());
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

struct WindowSearch {
    DWORD pid;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOfProcess(HWND hwnd, LPARAM lParam)
{
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && (!search->visibleOnly || IsWindowVisible(hwnd)))
        search->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

RunningProgram::RunningProgram(const std::wstring& exe, const std::wstring& arguments,
                               const std::vector<std::wstring>& environment)
{
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    std::vector<wchar_t> env = EnvironmentWith(environment);
    const std::wstring dir = exe.substr(0, exe.rfind(L'\\'));

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                       env.data(), dir.c_str(), &startup, &info)) {
        CloseHandle(info.hThread);
        m_process.reset(info.hProcess);
        m_pid = info.dwProcessId;
    }
}

RunningProgram::~RunningProgram()
{
    if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.get(), 99);
        WaitForSingleObject(m_process.get(), 10000);
    }
}

DWORD RunningProgram::WaitForExit(DWORD timeoutMs)
{
    if (!m_process || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process.get(), &code);
    return code;
}

std::vector<HWND> RunningProgram::TopLevelWindows(bool visibleOnly) const
{
    WindowSearch search{m_pid, visibleOnly, {}};
    EnumWindows(CollectWindowOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND RunningProgram::FindTopLevel(const std::wstring& title, bool visibleOnly) const
{
    for (HWND hwnd : TopLevelWindows(visibleOnly)) {
        if (WindowText(hwnd) == title)
            return hwnd;
    }
    return nullptr;
}

HWND RunningProgram::WaitForTopLevel(const std::wstring& title, bool visibleOnly, DWORD timeoutMs) const
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindTopLevel(title, visibleOnly)) != nullptr; }, timeoutMs);
    return found;
}

HWND RunningProgram::WaitForMessageBox(DWORD timeoutMs, HWND except) const
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindMessageBox(TopLevelWindows(true), nullptr, except)) != nullptr; }, timeoutMs);
    return found;
}

std::wstring WindowText(HWND hwnd)
{
    wchar_t text[1024] = {};
    // Cross-process windows answer WM_GETTEXT like GetWindowTextW, but through the owner.
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

std::wstring ClassName(HWND hwnd)
{
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

RECT ClientRectInParent(HWND child)
{
    RECT rect = {};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::vector<HWND> Children(HWND parent)
{
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

HWND ChildById(HWND parent, int id)
{
    for (HWND child : Children(parent)) {
        if (GetDlgCtrlID(child) == id)
            return child;
    }
    return nullptr;
}

HWND FindMessageBox(const std::vector<HWND>& windows, HWND owner, HWND except)
{
    for (HWND hwnd : windows) {
        if (hwnd != except && (!owner || GetWindow(hwnd, GW_OWNER) == owner) && IsWindowVisible(hwnd) &&
            ClassName(hwnd) == L"#32770" && ChildById(hwnd, 0xFFFF))
            return hwnd;
    }
    return nullptr;
}

namespace {

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM windows)
{
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
    return TRUE;
}

}  // namespace

std::vector<HWND> ThreadWindows(DWORD threadId)
{
    std::vector<HWND> windows;
    EnumThreadWindows(threadId, CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::wstring MessageBoxText(HWND box)
{
    const HWND text = ChildById(box, 0xFFFF);
    return text ? WindowText(text) : std::wstring();
}

void PressDialogButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(ChildById(dialog, id)));
}

}  // namespace driver
