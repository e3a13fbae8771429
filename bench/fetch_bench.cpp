// applib fetch of 40 installers of 8 MiB each from a loopback server that answers every
// request 20 ms late, as a distant server would, at --jobs 1, 4 and 8; each round fills an
// empty tree.

#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <cstdio>
#include <string>

#include "base/folders.h"
#include "tests/console_run.h"
#include "tests/test_files.h"
#include "bench/stopwatch.h"

namespace {

constexpr int kInstallers = 40;
constexpr uint64_t kMebibyte = 1024 * 1024;
constexpr uint64_t kInstallerMebibytes = 8;
constexpr DWORD kLatencyMs = 20;
constexpr double kBytesPerMegabyte = 1e6;  // as applib counts them

std::string Catalogue(const LoopbackHttpServer& server)
{
    std::string programs;
    for (int i = 0; i < kInstallers; ++i) {
        const std::string file = std::to_string(i) + ".exe";
        programs += "<dict><key>name</key><string>P" + std::to_string(i) + "</string><key>url</key><string>" +
                    Narrow(server.Url("/soft/" + file)) + "</string><key>install</key><string>" + file +
                    " /S</string><key>icon</key><string>p.png</string></dict>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><dict><key>name</key>"
           "<string>G</string><key>icon</key><string>g.png</string><key>applications</key><array>" +
           programs + "</array></dict></array></plist>";
}

void TimeFetch(const std::wstring& tree, int jobs)
{
    RemoveTree(tree + L"\\Soft");
    const Stopwatch stopwatch;
    ConsoleProcess applib(L"\"" + GetModuleDir() + L"\\applib.exe\" fetch --jobs " + std::to_wstring(jobs) + L" \"" +
                          tree + L"\\AppLib.xml\"");
    const ConsoleRun run = applib.Finish();
    const double seconds = stopwatch.Seconds();
    const double megabytes = static_cast<double>(kInstallers * kInstallerMebibytes * kMebibyte) / kBytesPerMegabyte;
    std::printf("--jobs %d: %6.2f s  %7.1f MB/s\n", jobs, seconds, megabytes / seconds);
    if (run.exitCode != 0)
        std::printf("  applib exited %lu: the figure above is not a clean run\n%s", run.exitCode, run.out.c_str());
    std::fflush(stdout);
}

}  // namespace

int wmain()
{
    LoopbackHttpServer server;
    HttpAnswer installer = Body(std::string(kMebibyte, 'i'));
    installer.bodyRepeats = kInstallerMebibytes;
    installer.delayMs = kLatencyMs;
    server.ServeAnyOtherPath(installer);
    const std::wstring tree = GetModuleDir() + L"\\fetch_bench";
    RemoveTree(tree);
    CreateDirectoryW(tree.c_str(), nullptr);
    WriteWholeFile(tree + L"\\AppLib.xml", Catalogue(server));

    std::printf("applib fetch, %d installers of %llu MiB from a loopback server, %lu ms before each answer\n",
                kInstallers, static_cast<unsigned long long>(kInstallerMebibytes), kLatencyMs);
    for (const int jobs : {1, 4, 8})
        TimeFetch(tree, jobs);
    RemoveTree(tree);
    return 0;
}
