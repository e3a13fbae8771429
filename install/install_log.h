#pragma once
// The install log, "install.log" beside the catalogue: one line per program that took part
// in a run, written as its installer ends, for a technician to read on the stick in Notepad
// afterwards. UTF-8 with a byte-order mark and CRLF line ends, appended to; past a fixed size
// the oldest lines are dropped. A log that cannot be written changes nothing else.

#include <windows.h>

#include <string>
#include <vector>

constexpr wchar_t kInstallLogName[] = L"install.log";
constexpr size_t kInstallLogLimit = 256 * 1024;  // bytes, the mark included

// One line without its line end, its fields separated by tabs: local date and time
// ("2026-05-01 09:30:05"), computer name, program name, outcome in words, exit code or "-",
// and whole seconds taken ("12秒"); then, when its installer left processes running, one more
// naming them ("仍在运行：Code.exe、tray.exe").
std::wstring InstallLogLine(const SYSTEMTIME& localTime, const std::wstring& computer, const std::wstring& program,
                            const std::wstring& outcome, const std::wstring& exitCode, unsigned long long seconds,
                            const std::vector<std::wstring>& leftRunning = {});

// Appends the line and a CRLF to the log at `path`, starting a new one with the mark. When the
// log would pass `limit` bytes, it is rewritten without its oldest lines, in one replace.
// False when it could not be written.
bool AppendInstallLogLine(const std::wstring& path, const std::wstring& line, size_t limit = kInstallLogLimit);

// This computer's NetBIOS name, as the log names it.
std::wstring ComputerName();
