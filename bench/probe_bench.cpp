// applib probe over 500 links from a loopback server, one at a time and eight at once, with
// answers at once and with 20 ms of latency per answer, as from a distant server.

#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <cstdio>
#include <string>

#include "base/folders.h"
#include "tests/test_files.h"
#include "bench/stopwatch.h"

namespace {

constexpr int kPrograms = 250;  // an installer and an icon each: 500 links
constexpr DWORD kDistantLatencyMs = 20;

std::string Catalogue(const LoopbackHttpServer& server)
{
    std::string programs;
    for (int i = 0; i < kPrograms; ++i) {
        const std::string name = std::to_string(i);
        programs += "<dict><key>name</key><string>P" + name + "</string><key>url</key><string>" +
                    Narrow(server.Url("/soft/" + name + ".exe")) + "</string><key>icon</key><string>" +
                    Narrow(server.Url("/icons/" + name + ".png")) + "</string></dict>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><dict><key>name</key>"
           "<string>G</string><key>icon</key><string>g.png</string><key>applications</key><array>" +
           programs + "</array></dict></array></plist>";
}

// applib's exit code, its output thrown away; -1 when it did not start.
long RunApplib(const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const FileHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    std::wstring commandLine = L"\"" + GetModuleDir() + L"\\applib.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    const KernelHandle child(process.hProcess);
    const KernelHandle thread(process.hThread);
    WaitForSingleObject(child.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.get(), &code);
    return static_cast<long>(code);
}

double TimeProbe(const std::wstring& catalogue, int jobs)
{
    const Stopwatch stopwatch;
    const long code = RunApplib(L"probe --jobs " + std::to_wstring(jobs) + L" \"" + catalogue + L"\"");
    const double seconds = stopwatch.Seconds();
    if (code != 0)
        std::printf("  applib exited %ld: the figure below is not a clean run\n", code);
    return seconds;
}

void Measure(const char* what, DWORD latencyMs)
{
    LoopbackHttpServer server;
    HttpAnswer answer = Body(std::string(4096, 'i'));
    answer.delayMs = latencyMs;
    server.ServeAnyOtherPath(answer);
    const std::wstring catalogue = GetModuleDir() + L"\\probe_bench.xml";
    WriteWholeFile(catalogue, Catalogue(server));
    const double one = TimeProbe(catalogue, 1);
    const double eight = TimeProbe(catalogue, 8);
    std::printf("%-28s --jobs 1: %6.2f s (%5.0f links/s)   --jobs 8: %6.2f s (%5.0f links/s)   %4.1fx\n", what, one,
                2 * kPrograms / one, eight, 2 * kPrograms / eight, one / eight);
    std::fflush(stdout);
    DeleteFileW(catalogue.c_str());
}

}  // namespace

int wmain()
{
    std::printf("applib probe, %d links from a loopback server\n", 2 * kPrograms);
    Measure("answers at once", 0);
    Measure("20 ms latency per answer", kDistantLatencyMs);
    return 0;
}
