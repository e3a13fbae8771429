#include "install/install_log.h"

#include <cstdio>

#include "base/file_replace.h"
#include "base/unique_handle.h"

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr size_t kByteOrderMarkLength = 3;
constexpr char kLineEnd[] = "\r\n";

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// The newest `limit` bytes of the log, or nothing when there is none; false when it is there
// and cannot be read. A log past the limit (one an editor or another tool grew) is read from
// its end, from the first line that starts within those bytes, with *whole cleared.
bool ReadLogTail(const std::wstring& path, size_t limit, std::string& bytes, bool* whole)
{
    bytes.clear();
    *whole = true;
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size))
        return false;
    LARGE_INTEGER from = {};
    if (static_cast<ULONGLONG>(size.QuadPart) > limit) {
        *whole = false;
        from.QuadPart = size.QuadPart - static_cast<LONGLONG>(limit);
    }
    bytes.resize(static_cast<size_t>(size.QuadPart - from.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && (!SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN) ||
                           !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size()))
        return false;
    if (!*whole) {
        const size_t lineEnd = bytes.find('\n');
        bytes.erase(0, lineEnd == std::string::npos ? bytes.size() : lineEnd + 1);
    }
    return true;
}

bool AppendBytes(const std::wstring& path, const std::string& bytes)
{
    const FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// The mark, then as many of the newest whole lines of `lines` as fit with `line` in `limit`.
// A line ends at its line feed, whether a carriage return comes before it or not.
std::string Trimmed(const std::string& lines, const std::string& line, size_t limit)
{
    size_t from = 0;
    while (from < lines.size() && kByteOrderMarkLength + (lines.size() - from) + line.size() > limit) {
        const size_t end = lines.find('\n', from);
        from = end == std::string::npos ? lines.size() : end + 1;
    }
    return kByteOrderMark + lines.substr(from) + line;
}

}  // namespace

std::wstring InstallLogLine(const SYSTEMTIME& localTime, const std::wstring& computer, const std::wstring& program,
                            const std::wstring& outcome, const std::wstring& exitCode, unsigned long long seconds,
                            const std::vector<std::wstring>& leftRunning)
{
    wchar_t when[32] = {};
    swprintf(when, 32, L"%04u-%02u-%02u %02u:%02u:%02u", localTime.wYear, localTime.wMonth, localTime.wDay,
             localTime.wHour, localTime.wMinute, localTime.wSecond);
    std::wstring line = std::wstring(when) + L"\t" + computer + L"\t" + program + L"\t" + outcome + L"\t" +
                        exitCode + L"\t" + std::to_wstring(seconds) + L"秒";
    for (size_t i = 0; i < leftRunning.size(); ++i)
        line += (i == 0 ? L"\t仍在运行：" : L"、") + leftRunning[i];
    return line;
}

bool AppendInstallLogLine(const std::wstring& path, const std::wstring& line, size_t limit)
{
    const std::string bytes = Utf8(line) + kLineEnd;
    std::string log;
    bool whole = true;
    if (!ReadLogTail(path, limit, log, &whole))
        return false;
    const bool marked = whole && log.compare(0, kByteOrderMarkLength, kByteOrderMark) == 0;
    if (whole && log.size() + bytes.size() + (marked ? 0 : kByteOrderMarkLength) <= limit)
        return AppendBytes(path, log.empty() ? kByteOrderMark + bytes : bytes);
    return ReplaceFileContents(path, Trimmed(log.substr(marked ? kByteOrderMarkLength : 0), bytes, limit));
}

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring(L"-");
}
