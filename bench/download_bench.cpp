// Download throughput from a loopback server: DownloadToFile, then a CAsyncDownload, of the
// same body, with the process's peak working set, which must not grow with the body's size.
// Then what a bad network costs: the time from a cancel to the end of the download's thread
// while the host stalls, and the bytes sent for a download dropped at 60 %, with and
// without Range.
// Run inside tests/tls/with_https_fronts.sh, it times each over https too, through the
// front, on the same body in the same run. With a signed installer beside it (the script
// signs one of 200 MiB), it times the signer check against the SHA-256 of that file.
// Afterwards it serves the body for an outside client (curl) until /done is requested.

#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <process.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/folders.h"
#include "net/download.h"
#include "net/installer_signature.h"
#include "net/sha256.h"
#include "bench/stopwatch.h"
#include "tests/https_fronts.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kPatternBytes = 64 * 1024;
constexpr DWORD kWaitForClientMs = 10 * 60 * 1000;

double PeakWorkingSetMiB()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / static_cast<double>(kMiB);
}

void Report(const char* what, uint64_t bytes, double seconds, bool ok)
{
    std::printf("%-16s %4llu MiB  %7.1f MB/s  %6.2f s  peak working set %6.1f MiB%s\n", what,
                static_cast<unsigned long long>(bytes / kMiB), static_cast<double>(bytes) / 1e6 / seconds, seconds,
                PeakWorkingSetMiB(), ok ? "" : "  FAILED");
    std::fflush(stdout);
}

std::string Path(const char* name)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    char narrow[MAX_PATH] = {};
    WideCharToMultiByte(CP_ACP, 0, temp, -1, narrow, MAX_PATH, nullptr, nullptr);
    return std::string(narrow) + name;
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

void TimeDownloadToFile(const char* what, const std::wstring& url, uint64_t bytes)
{
    const Stopwatch stopwatch;
    const bool ok = DownloadToFile(url, Wide(Path("download_bench.bin")));
    Report(what, bytes, stopwatch.Seconds(), ok);
    DeleteFileW(Wide(Path("download_bench.bin")).c_str());
}

void TimeAsyncDownload(const char* what, const std::wstring& url, uint64_t bytes)
{
    const std::wstring target = Wide(Path("download_bench_async.bin"));
    const Stopwatch stopwatch;
    CAsyncDownload download;
    download.Start(url, target);
    while (!download.IsFinished())
        Sleep(5);
    const bool ok = download.Succeeded();
    download.Release();
    Report(what, bytes, stopwatch.Seconds(), ok);
    DeleteFileW(target.c_str());
}

// A job on a thread of its own, as CAsyncDownload starts one, with a handle to wait for it.
KernelHandle StartJobThread(const std::shared_ptr<DownloadJob>& job)
{
    return KernelHandle(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, DownloadJobThread, new std::shared_ptr<DownloadJob>(job), 0, nullptr)));
}

void TimeCancelDuringStall(LoopbackHttpServer& server, const std::string& pattern)
{
    HttpAnswer stalled;
    stalled.body = pattern;
    stalled.bodyRepeats = 16;
    stalled.pauseAfter = pattern.size();
    server.Serve("/stall.exe", stalled);
    const auto job = std::make_shared<DownloadJob>(server.Url("/stall.exe"), Wide(Path("download_bench_stall.exe")),
                                                   InstallerPin());
    const KernelHandle thread = StartJobThread(job);
    server.WaitUntilPaused(60 * 1000);
    while (job->receivedBytes.load() < pattern.size())
        Sleep(5);
    Sleep(500);  // the read is blocked now
    const Stopwatch stopwatch;
    job->Cancel();
    const bool ended = WaitForSingleObject(thread.get(), 60 * 1000) == WAIT_OBJECT_0;
    std::printf("%-16s %.3f s from the cancel to the thread's end%s\n", "cancel in stall", stopwatch.Seconds(),
                ended ? "" : "  NOT ENDED");
    server.Resume();
}

void MeasureDrop(LoopbackHttpServer& server, const std::string& pattern, uint64_t size, bool range)
{
    HttpAnswer answer;
    answer.body = pattern;
    answer.bodyRepeats = size / pattern.size();
    answer.dropAfter = size * 6 / 10;
    answer.servesRange = range;
    const std::string path = range ? "/drop_range.exe" : "/drop.exe";
    server.Serve(path, answer);
    const uint64_t before = server.BodyBytesSent();
    const std::wstring target = Wide(Path("download_bench_drop.exe"));
    DownloadJob job(server.Url(path), target, InstallerPin());
    const Stopwatch stopwatch;
    const bool ok = RunDownload(job).fault == DownloadFault::None;
    std::printf("%-16s %4llu MiB dropped at 60 %%, %s Range: %.2f x the file sent, %.2f s%s\n", "drop and retry",
                static_cast<unsigned long long>(size / kMiB), range ? "with" : "without",
                static_cast<double>(server.BodyBytesSent() - before) / static_cast<double>(size), stopwatch.Seconds(),
                ok ? "" : "  FAILED");
    std::fflush(stdout);
    DeleteFileW(target.c_str());
}

// Each once to fill the file cache, then each timed: both read the whole file.
void TimeSignerAgainstHash(const std::wstring& path)
{
    constexpr wchar_t kSigner[] = L"Tovarin Test Publisher";
    Sha256OfFile(path);
    Stopwatch stopwatch;
    const bool hashed = !Sha256OfFile(path).empty();
    const double hashSeconds = stopwatch.Seconds();
    stopwatch.Restart();
    const SignerVerdict verdict = CheckInstallerSignerOfFile(path, kSigner).verdict;
    const double signerSeconds = stopwatch.Seconds();
    std::printf("%-16s %6.2f s%s\n%-16s %6.2f s  %.2f x the hash%s\n", "SHA-256", hashSeconds, hashed ? "" : "  FAILED",
                "signer check", signerSeconds, signerSeconds / hashSeconds,
                verdict == SignerVerdict::Vouched ? "" : "  (not vouched: is the test CA trusted?)");
    std::fflush(stdout);
}

}  // namespace

int main()
{
    const std::optional<HttpsFronts> fronts = HttpsFrontsFromEnvironment();
    LoopbackHttpServer server(fronts ? fronts->backend : static_cast<unsigned short>(0));
    if (!server.IsListening()) {
        std::printf("cannot listen on the loopback interface\n");
        return 1;
    }
    std::string pattern(kPatternBytes, '\0');
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>(i * 7 + i / 251);
    pattern.replace(0, 2, "MZ");  // kept as a program
    const uint64_t sizes[] = {16 * kMiB, 256 * kMiB};
    for (const uint64_t size : sizes) {
        HttpAnswer answer;
        answer.body = pattern;
        answer.bodyRepeats = size / kPatternBytes;
        const std::string path = "/body" + std::to_string(size / kMiB);
        server.Serve(path, answer);
        TimeDownloadToFile("DownloadToFile", server.Url(path), size);
        if (fronts)
            TimeDownloadToFile("  over https", WideUrl(HttpsUrl(fronts->good, path)), size);
        TimeAsyncDownload("CAsyncDownload", server.Url(path), size);
        if (fronts)
            TimeAsyncDownload("  over https", WideUrl(HttpsUrl(fronts->good, path)), size);
    }

    if (PathExists(L"signed200.exe"))
        TimeSignerAgainstHash(L"signed200.exe");
    TimeCancelDuringStall(server, pattern);
    MeasureDrop(server, pattern, 64 * kMiB, true);
    MeasureDrop(server, pattern, 64 * kMiB, false);

    std::printf("serving %ls/body256\n", server.Url("").c_str());
    std::fflush(stdout);
    const ULONGLONG deadline = GetTickCount64() + kWaitForClientMs;
    while (server.CountRequests("GET", "/done") == 0 && GetTickCount64() < deadline)
        Sleep(50);
    return 0;
}
