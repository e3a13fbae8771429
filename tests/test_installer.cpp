// A stand-in installer for the install-run tests. Once started it runs for a while, then
// appends one line to a log file and exits (code 0 unless told otherwise). The line, in UTF-8:
//
//   <own file name> TAB <argument string> TAB <start tick> TAB <end tick> TAB <own folder> CR LF
//
// The argument string is the command line after the program's own name, as the process got
// it. The ticks are GetTickCount64 readings at start and just before writing: one clock for
// every process of the machine, so a test can compare them with its own readings.
//
// Settings come from environment variables of the starting process:
//   TEST_INSTALLER_LOG       the log file; default "test_installer.log" beside the program
//   TEST_INSTALLER_DELAY_MS  how long it runs, in milliseconds; default 500
//   TEST_INSTALLER_EXIT_CODE its exit code; default 0
//   TEST_INSTALLER_MUTEX     a mutex it creates at start and holds until it exits, as
//                            msiexec holds "Global\_MSIExecute" during an installation
//   TEST_INSTALLER_UNINSTALL_VERSION  when set, before the log line it writes the per-user
//                            Uninstall entry named after its own file name without ".exe",
//                            with this DisplayVersion, as a per-user installer does
//   TEST_INSTALLER_HAND_OVER_MS  hand over, as launchers do: start a copy of itself that
//                            runs this long (and hands over no further), log, and exit at
//                            once; the copy logs its own line when it ends
// Under Wine the verb "runas" starts the program like any other, so it inherits the test's
// environment. On Windows an elevated program gets a fresh environment and only the defaults
// apply there.
//
// A GUI-subsystem program: started from a console test program it opens no console window
// and shares none of the test's standard handles.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[32768] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring FileNameOf(const std::wstring& path)
{
    return path.substr(path.rfind(L'\\') + 1);
}

std::wstring LogPath()
{
    const std::wstring configured = Environment(L"TEST_INSTALLER_LOG");
    if (!configured.empty())
        return configured;
    const std::wstring own = OwnPath();
    return own.substr(0, own.rfind(L'\\') + 1) + L"test_installer.log";
}

DWORD DelayMs()
{
    const std::wstring configured = Environment(L"TEST_INSTALLER_DELAY_MS");
    return configured.empty() ? 500 : static_cast<DWORD>(std::wcstoul(configured.c_str(), nullptr, 10));
}

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size, nullptr,
                            nullptr);
    return narrow;
}

// One write to a file opened for appending, so the lines of installers that end together
// never interleave.
void AppendLine(const std::wstring& path, const std::string& line)
{
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteUninstallEntry(const std::wstring& ownName, const std::wstring& version)
{
    const std::wstring name = ownName.substr(0, ownName.rfind(L'.'));
    const std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + name;
    HKEY entry = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &entry, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(entry, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                   static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(entry);
}

}  // namespace

// Starts a copy of this program that runs `delay` and hands over no further.
void HandOver(const std::wstring& delay)
{
    SetEnvironmentVariableW(L"TEST_INSTALLER_HAND_OVER_MS", nullptr);
    SetEnvironmentVariableW(L"TEST_INSTALLER_DELAY_MS", delay.c_str());
    std::wstring commandLine = L"\"" + OwnPath() + L"\" child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int)
{
    const ULONGLONG start = GetTickCount64();
    const std::wstring handOver = Environment(L"TEST_INSTALLER_HAND_OVER_MS");
    if (!handOver.empty())
        HandOver(handOver);
    const std::wstring mutexName = Environment(L"TEST_INSTALLER_MUTEX");
    const HANDLE mutex = mutexName.empty() ? nullptr : CreateMutexW(nullptr, TRUE, mutexName.c_str());
    if (handOver.empty())
        Sleep(DelayMs());
    const ULONGLONG end = GetTickCount64();
    const std::wstring own = OwnPath();
    const std::wstring uninstallVersion = Environment(L"TEST_INSTALLER_UNINSTALL_VERSION");
    if (!uninstallVersion.empty())
        WriteUninstallEntry(FileNameOf(own), uninstallVersion);
    const std::wstring line = FileNameOf(own) + L"\t" + arguments + L"\t" + std::to_wstring(start) + L"\t" +
                              std::to_wstring(end) + L"\t" + own.substr(0, own.rfind(L'\\')) + L"\r\n";
    AppendLine(LogPath(), Utf8(line));
    if (mutex)
        CloseHandle(mutex);
    return static_cast<int>(std::wcstoul(Environment(L"TEST_INSTALLER_EXIT_CODE").c_str(), nullptr, 10));
}
