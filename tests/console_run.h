#pragma once
// A console program run from a test, its standard output and error caught through pipes.

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_handle.h"

struct ConsoleRun {
    DWORD exitCode = 0xdeadbeef;
    std::string out;
    std::string err;
};

// A pipe drained on a thread of its own, so a full pipe never stalls the child.
class PipeReader {
public:
    PipeReader()
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        CreatePipe(m_read.put(), m_write.put(), &inherit, 0);
        SetHandleInformation(m_read.get(), HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE WriteEnd() const { return m_write.get(); }
    void StartReading()
    {
        m_write.reset();  // the child holds the only write end now
        m_thread.reset(CreateThread(nullptr, 0, Drain, this, 0, nullptr));
    }
    std::string Finish()
    {
        WaitForSingleObject(m_thread.get(), INFINITE);
        return m_text;
    }

private:
    static DWORD WINAPI Drain(void* self)
    {
        auto* reader = static_cast<PipeReader*>(self);
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(reader->m_read.get(), buffer, sizeof buffer, &count, nullptr) && count > 0)
            reader->m_text.append(buffer, count);
        return 0;
    }

    KernelHandle m_read;
    KernelHandle m_write;
    KernelHandle m_thread;
    std::string m_text;
};

// A started console program; Finish waits for its end and collects what it wrote.
class ConsoleProcess {
public:
    // `commandLine` starts with the quoted program path.
    explicit ConsoleProcess(std::wstring commandLine)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = m_out.WriteEnd();
        startup.hStdError = m_err.WriteEnd();
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
            return;
        m_process.reset(process.hProcess);
        CloseHandle(process.hThread);
        m_out.StartReading();
        m_err.StartReading();
    }
    ~ConsoleProcess()
    {
        if (m_process)
            Finish();
    }
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    bool started() const { return static_cast<bool>(m_process); }
    HANDLE process() const { return m_process.get(); }

    ConsoleRun Finish()
    {
        ConsoleRun result;
        if (!m_process)
            return result;
        WaitForSingleObject(m_process.get(), INFINITE);
        GetExitCodeProcess(m_process.get(), &result.exitCode);
        m_process.reset();
        result.out = m_out.Finish();
        result.err = m_err.Finish();
        return result;
    }

private:
    PipeReader m_out;
    PipeReader m_err;
    KernelHandle m_process;
};

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(text.substr(begin, end - begin));
    return lines;
}

// The last whole line; empty when there is none.
inline std::string LastLine(const std::string& text)
{
    const std::vector<std::string> lines = Lines(text);
    return lines.empty() ? std::string() : lines.back();
}
