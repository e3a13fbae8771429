#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>
#include <process.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle.h"
#include "net/download.h"
#include "net/failure_reason.h"
#include "net/servers.h"
#include "net/sha256.h"
#include "tests/https_fronts.h"
#include "tests/test_files.h"
#include "tests/wine_differences.h"

namespace {

HttpAnswer Status(int status)
{
    HttpAnswer answer;
    answer.status = status;
    answer.body = "error page";
    return answer;
}

// A body of `size` bytes whose GET answer announces `announced` and then drops the connection.
HttpAnswer CutShort(size_t size, uint64_t announced)
{
    HttpAnswer answer = Body(std::string(size, 'c'));
    answer.contentLength = announced;
    return answer;
}

// Begins as a program does, "MZ", so that it is kept as an installer.
std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text.replace(0, std::min<size_t>(size, 2), "MZ", std::min<size_t>(size, 2));
}

// Runs a background download to its end; the handle is released afterwards.
bool RunAsync(const std::wstring& url, const std::wstring& path, int* percent = nullptr)
{
    CAsyncDownload download;
    download.Start(url, path);
    if (!WaitUntil([&] { return download.IsFinished(); }))
        return false;
    if (percent)
        *percent = download.GetPercent();
    download.Release();
    return PathExists(path);
}

// Files named after the destination plus a suffix. (A wildcard "setup.exe.*" would match
// setup.exe itself as well.)
std::vector<std::wstring> TemporaryFiles(const ScratchFolder& folder, const std::wstring& name)
{
    std::vector<std::wstring> matches;
    for (const std::wstring& file : FindFiles(folder / L"*")) {
        if (file.size() > name.size() + 1 && file.compare(0, name.size() + 1, name + L".") == 0)
            matches.push_back(file);
    }
    return matches;
}

int HourMinuteSecond(const SYSTEMTIME& time)
{
    return time.wHour * 10000 + time.wMinute * 100 + time.wSecond;
}

class Download : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.IsListening()); }

    LoopbackHttpServer server;
    ScratchFolder folder{L"download_test"};
};

TEST(SendRequestWithRetry, NullRequestOrNoAttemptSendsNothing)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.IsListening());
    server.Serve("/a", Body("x"));
    EXPECT_FALSE(SendRequestWithRetry(nullptr, 5));

    InternetHandle root(InternetOpenW(L"test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    InternetHandle connection(InternetConnectW(root.get(), L"127.0.0.1", server.Port(), L"", L"",
                                               INTERNET_SERVICE_HTTP, 0, 0));
    InternetHandle request(HttpOpenRequestW(connection.get(), L"HEAD", L"/a", L"HTTP/1.1", L"", nullptr,
                                            INTERNET_FLAG_RELOAD, 0));
    ASSERT_TRUE(request);
    EXPECT_FALSE(SendRequestWithRetry(request.get(), 0));
    EXPECT_FALSE(SendRequestWithRetry(request.get(), -1));
    EXPECT_TRUE(server.Requests().empty());
}

TEST(SendRequestWithRetry, ResendsTheSameRequestUntilStatus200)
{
    const struct {
        int status;
        int attempts;
        bool expected;
        size_t sends;
    } cases[] = {
        {200, 3, true, 1},
        {404, 3, false, 3},
        {500, 1, false, 1},
        {204, 2, false, 2},  // success, but not 200
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << c.status << ", " << c.attempts << " attempts");
        LoopbackHttpServer server;
        ASSERT_TRUE(server.IsListening());
        HttpAnswer answer = Body("x");
        answer.status = c.status;
        server.Serve("/a", answer);
        InternetHandle root(InternetOpenW(L"test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        InternetHandle connection(InternetConnectW(root.get(), L"127.0.0.1", server.Port(), L"", L"",
                                                   INTERNET_SERVICE_HTTP, 0, 0));
        InternetHandle request(HttpOpenRequestW(connection.get(), L"HEAD", L"/a", L"HTTP/1.1", L"", nullptr,
                                                INTERNET_FLAG_RELOAD, 0));
        EXPECT_EQ(SendRequestWithRetry(request.get(), c.attempts), c.expected);
        EXPECT_EQ(server.CountRequests("HEAD", "/a"), c.sends);
    }
}

TEST_F(Download, AsksForTheSizeThenTheBodyAsHttpDownload)
{
    server.Serve("/soft/setup.exe", Body("installer bytes"));
    const std::wstring target = folder / L"setup.exe";
    ASSERT_TRUE(DownloadToFile(server.Url("/soft/setup.exe"), target));
    EXPECT_EQ(ReadWholeFile(target), "installer bytes");
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "HEAD");
    EXPECT_EQ(requests[1].method, "GET");
    for (const RecordedRequest& request : requests) {
        EXPECT_EQ(request.path, "/soft/setup.exe");
        EXPECT_EQ(request.userAgent, "HttpDownload");
    }
}

// Installers of up to 1 GiB, icons and the catalogue: none of them may also land in the
// user's Internet cache. GetUrlCacheEntryInfoW without a buffer fails with "insufficient
// buffer" for a URL the cache holds and "not found" for one it does not.
TEST_F(Download, NothingIsKeptInTheInternetCache)
{
    const struct {
        const char* what;
        std::string path;
        std::function<bool(const std::wstring&, const std::wstring&)> download;
    } cases[] = {
        {"blocking", "/soft/cache-blocking.exe", DownloadToFile},
        {"background", "/soft/cache-background.exe", [](const std::wstring& url, const std::wstring& path) {
             return RunAsync(url, path);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.Serve(c.path, Body("installer bytes"));
        const std::wstring url = server.Url(c.path);
        DeleteUrlCacheEntryW(url.c_str());
        ASSERT_TRUE(c.download(url, folder / L"cached.exe"));
        DWORD size = 0;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        DeleteUrlCacheEntryW(url.c_str());
    }
}

// A check of behaviour only: Wine's WinINet requests "/" for an empty object name by itself
// (and puts "/" before any name that lacks one), so under Wine this passes with or without
// the download's own substitution of "/" for an empty path.
TEST_F(Download, EmptyPathRequestsTheRoot)
{
    server.Serve("/", Body("root"));
    const std::wstring target = folder / L"root.html";
    ASSERT_TRUE(DownloadToFile(server.Url(""), target));
    EXPECT_EQ(ReadWholeFile(target), "root");
    EXPECT_EQ(server.CountRequests("HEAD", "/"), 1u);
    EXPECT_EQ(server.CountRequests("GET", "/"), 1u);
}

TEST_F(Download, QueryIsSentWithThePath)
{
    server.Serve("/icon.png?v=2", Body("png"));
    const std::wstring target = folder / L"icon.png";
    ASSERT_TRUE(DownloadToFile(server.Url("/icon.png?v=2"), target));
    EXPECT_EQ(server.CountRequests("GET", "/icon.png?v=2"), 1u);
}

TEST_F(Download, UrlsThatAreNotHttpOrHttpsFailBeforeAnyConnection)
{
    server.Serve("/a", Body("x"));
    const std::wstring port = std::to_wstring(server.Port());
    const struct {
        const char* name;
        std::wstring url;
    } cases[] = {
        {"ftp", L"ftp://127.0.0.1:" + port + L"/a"},
        {"file", L"file://127.0.0.1:" + port + L"/a"},
        {"https, path over 2083 characters", L"https://127.0.0.1:" + port + L"/" + std::wstring(2084, L'p')},
        {"no scheme", L"127.0.0.1:" + port + L"/a"},
        {"path over 2083 characters", L"http://127.0.0.1:" + port + L"/" + std::wstring(2084, L'p')},
        {"user name over 127 characters", L"http://" + std::wstring(128, L'u') + L"@127.0.0.1:" + port + L"/a"},
        {"password over 127 characters", L"http://u:" + std::wstring(128, L'w') + L"@127.0.0.1:" + port + L"/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring target = folder / L"refused.bin";
        EXPECT_FALSE(DownloadToFile(c.url, target));
        EXPECT_FALSE(RunAsync(c.url, target));
        EXPECT_FALSE(PathExists(target));
    }
    EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(Download, HeadWithoutContentLengthFailsEvenWhenGetWouldWork)
{
    server.Serve("/a", WithoutContentLength(""), Body("body"));
    const std::wstring target = folder / L"a.bin";
    EXPECT_FALSE(DownloadToFile(server.Url("/a"), target));
    EXPECT_FALSE(RunAsync(server.Url("/a"), target));
    EXPECT_FALSE(PathExists(target));
    EXPECT_EQ(server.CountRequests("GET", "/a"), 0u);
}

// An accepted size goes on to the GET; the 3 bytes it sends are then far short of it, so no
// download of these finishes.
TEST_F(Download, AnnouncedSizeOfAtMostOneGibibyteIsAccepted)
{
    const struct {
        uint64_t announced;
        bool accepted;
    } cases[] = {
        {0x40000000, true},
        {0x40000001, false},
        {0xFFFFFFFF, false},
        {0x100000001, false},  // would read as 1 if cut to 32 bits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "Content-Length " << c.announced);
        LoopbackHttpServer local;
        ASSERT_TRUE(local.IsListening());
        local.Serve("/big", Announcing(c.announced), Body("abc"));
        const std::wstring target = folder / L"big.bin";
        EXPECT_FALSE(DownloadToFile(local.Url("/big"), target));
        EXPECT_EQ(local.CountRequests("GET", "/big") > 0, c.accepted);

        DownloadJob job(local.Url("/big"), target, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, c.accepted ? DownloadFault::CutShort : DownloadFault::Request);
        EXPECT_EQ(job.totalBytes.load(), c.accepted ? c.announced : 0u);
        // The GET fell short of the whole size, or the HEAD's size was refused.
        EXPECT_EQ(c.accepted ? report.bodyLength : report.request.size, c.announced);
        EXPECT_FALSE(PathExists(target));
    }
}

TEST_F(Download, FailingStatusIsSentFiveTimesForEachRequest)
{
    server.Serve("/head404", Status(404));
    server.Serve("/get404", Body("abc"), Status(404));
    const struct {
        const char* path;
        size_t heads;
        size_t gets;
    } cases[] = {
        {"/head404", 5, 0},
        {"/get404", 1, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::wstring target = folder / L"x.bin";
        EXPECT_FALSE(DownloadToFile(server.Url(c.path), target));
        EXPECT_FALSE(PathExists(target));
        EXPECT_EQ(server.CountRequests("HEAD", c.path), c.heads);
        EXPECT_EQ(server.CountRequests("GET", c.path), c.gets);

        EXPECT_FALSE(RunAsync(server.Url(c.path), target));
        EXPECT_EQ(server.CountRequests("HEAD", c.path), 2 * c.heads);
        EXPECT_EQ(server.CountRequests("GET", c.path), 2 * c.gets);
    }
}

TEST_F(Download, EmptyBodyGivesAnEmptyFile)
{
    server.Serve("/empty", Body(""));
    const std::wstring target = folder / L"empty.bin";
    ASSERT_TRUE(DownloadToFile(server.Url("/empty"), target));
    EXPECT_EQ(ReadWholeFile(target), "");
}

TEST_F(Download, MissingDestinationFolderFails)
{
    server.Serve("/a", Body("abc"));
    const std::wstring target = folder / L"no such folder\\a.bin";
    EXPECT_FALSE(DownloadToFile(server.Url("/a"), target));
    EXPECT_FALSE(RunAsync(server.Url("/a"), target));
}

TEST_F(Download, BodyCutShortOfItsContentLengthFails)
{
    // The connection drops after 5000 of 10000 bytes: a truncated installer must never pass.
    server.Serve("/cut", Body(std::string(10000, 'h')), CutShort(5000, 10000));
    const std::wstring target = folder / L"cut.exe";
    EXPECT_FALSE(DownloadToFile(server.Url("/cut"), target));
    EXPECT_FALSE(RunAsync(server.Url("/cut"), target));
    EXPECT_TRUE(FindFiles(folder / L"*").empty());
}

TEST_F(Download, BlockingDownloadWritesNothingUnderItsNameUntilTheWholeBody)
{
    // A process that ends mid-transfer must not leave half an icon under its final name:
    // an icon that exists is never fetched again.
    const std::string body = Pattern(10000);
    HttpAnswer slow = Body(body);
    slow.pauseAfter = 4096;
    server.Serve("/icon.png", Body(body), slow);
    const std::wstring target = folder / L"icon.png";

    bool downloaded = false;
    std::thread download([&] { downloaded = DownloadToFile(server.Url("/icon.png"), target); });
    const bool paused = server.WaitUntilPaused(10000);
    const bool partWritten =
        WaitUntil([&] { return TemporaryFiles(folder, L"icon.png").size() == 1 &&
                               ReadWholeFile(folder / TemporaryFiles(folder, L"icon.png")[0]).size() == 4096; });
    const bool existedMidway = PathExists(target);
    server.Resume();
    download.join();

    ASSERT_TRUE(paused);
    EXPECT_TRUE(partWritten);
    EXPECT_FALSE(existedMidway);
    EXPECT_TRUE(downloaded);
    EXPECT_EQ(ReadWholeFile(target), body);
    EXPECT_TRUE(TemporaryFiles(folder, L"icon.png").empty());
}

TEST_F(Download, FailedDownloadLeavesTheDestinationAsItWas)
{
    server.Serve("/setup.exe", Body(std::string(10000, 'n')), CutShort(5000, 10000));
    const std::wstring target = folder / L"setup.exe";
    ASSERT_TRUE(WriteWholeFile(target, "previous installer"));
    EXPECT_FALSE(DownloadToFile(server.Url("/setup.exe"), target));
    EXPECT_EQ(ReadWholeFile(target), "previous installer");
    EXPECT_TRUE(RunAsync(server.Url("/setup.exe"), target));
    EXPECT_EQ(ReadWholeFile(target), "previous installer");
    EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
}

TEST_F(Download, LeftoversOfEndedProcessesGoWhenTheSameFileIsDownloadedAgain)
{
    server.Serve("/setup.exe", Body("MZ-setup!"));
    const std::wstring target = folder / L"setup.exe";
    const std::vector<std::wstring> leftovers = {L"setup.exe.235959", L"SETUP.EXE.000001"};
    // Only the destination's name, a point and six digits is a temporary name.
    const std::vector<std::wstring> kept = {L"setup.exe.12345", L"setup.exe.1234567", L"setup.exe.backup",
                                            L"setup.exe.12345x"};
    const struct {
        const char* name;
        std::function<bool()> download;
    } services[] = {
        {"DownloadToFile", [&] { return DownloadToFile(server.Url("/setup.exe"), target); }},
        {"CAsyncDownload", [&] { return RunAsync(server.Url("/setup.exe"), target); }},
    };
    for (const auto& service : services) {
        SCOPED_TRACE(service.name);
        folder.Clear();
        for (const std::wstring& name : leftovers)
            ASSERT_TRUE(WriteWholeFile(folder / name, "half an installer"));
        for (const std::wstring& name : kept)
            ASSERT_TRUE(WriteWholeFile(folder / name, "the user's"));
        ASSERT_TRUE(WriteWholeFile(folder / L"other.exe.235959", "another download's"));

        ASSERT_TRUE(service.download());
        EXPECT_EQ(ReadWholeFile(target), "MZ-setup!");
        for (const std::wstring& name : leftovers)
            EXPECT_FALSE(PathExists(folder / name)) << Narrow(name);
        for (const std::wstring& name : kept)
            EXPECT_EQ(ReadWholeFile(folder / name), "the user's") << Narrow(name);
        EXPECT_TRUE(PathExists(folder / L"other.exe.235959"));
    }
}

// A body longer than the HEAD announced is taken; a shorter one never is, even when the GET
// announces just what it sends.
TEST_F(Download, AGetLongerThanItsHeadIsTakenAndAShorterOneNever)
{
    const struct {
        uint64_t headAnnounces;
        size_t getSends;
        bool whole;
        int percent;
    } cases[] = {
        {8192, 4096, false, 50},
        {4097, 4096, false, 99},
        {4096, 8192, true, 200},
        {3, 10, true, 333},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "HEAD " << c.headAnnounces << ", GET " << c.getSends);
        const std::string body = Pattern(c.getSends);
        server.Serve("/sized", Announcing(c.headAnnounces), Body(body));
        const std::wstring target = folder / L"sized.bin";
        EXPECT_EQ(DownloadToFile(server.Url("/sized"), target), c.whole);
        EXPECT_EQ(ReadWholeFile(target), c.whole ? body : "<missing>");
        DeleteFileW(target.c_str());

        int percent = -1;
        EXPECT_EQ(RunAsync(server.Url("/sized"), target, &percent), c.whole);
        EXPECT_EQ(percent, c.percent);
        EXPECT_EQ(ReadWholeFile(target), c.whole ? body : "<missing>");
        DeleteFileW(target.c_str());
        EXPECT_TRUE(TemporaryFiles(folder, L"sized.bin").empty());
    }
}

// A body sent in chunks announces no length of its own: only the HEAD's tells a dropped
// connection from the end of the body.
TEST_F(Download, AChunkedBodyMustFillWhatTheHeadAnnounced)
{
    const std::string body = Pattern(9500);  // ten chunks, the last one short
    const struct {
        const char* name;
        HttpAnswer get;
        uint64_t headAnnounces;
        bool whole;
    } cases[] = {
        {"all chunks", Chunked(body), body.size(), true},
        {"connection closed after half of the chunks", Chunked(body.substr(0, 5000), false), body.size(), false},
        {"every chunk, one byte short of the HEAD", Chunked(body), body.size() + 1, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/chunked" + std::to_string(++index) + ".exe";
        server.Serve(path, Announcing(c.headAnnounces), c.get);
        const std::wstring target = folder / L"chunked.exe";
        EXPECT_EQ(DownloadToFile(server.Url(path), target), c.whole);
        EXPECT_EQ(ReadWholeFile(target), c.whole ? body : "<missing>");
        DeleteFileW(target.c_str());

        DownloadJob job(server.Url(path), target, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, c.whole ? DownloadFault::None : DownloadFault::CutShort);
        EXPECT_EQ(ReadWholeFile(target), c.whole ? body : "<missing>");
        if (!c.whole) {
            EXPECT_EQ(report.bodyLength, c.headAnnounces);
        }
        DeleteFileW(target.c_str());
        EXPECT_TRUE(TemporaryFiles(folder, L"chunked.exe").empty());
    }
}

TEST_F(Download, PercentOfAGetFarLongerThanItsHeadDoesNotWrap)
{
    HttpAnswer large = Body(Pattern(1 << 20));
    large.bodyRepeats = 22;  // 22 MiB against an announced byte: over 2^31 percent
    server.Serve("/large", Announcing(1), large);
    int percent = -1;
    ASSERT_TRUE(RunAsync(server.Url("/large"), folder / L"large.bin", &percent));
    EXPECT_EQ(percent, INT_MAX);
}

TEST_F(Download, BackgroundDownloadReplacesTheDestinationOnlyAfterTheWholeBody)
{
    const std::string body = Pattern(10000);
    HttpAnswer slow = Body(body);
    slow.pauseAfter = 4096;
    server.Serve("/setup.exe", Body(body), slow);
    const std::wstring target = folder / L"setup.exe";
    ASSERT_TRUE(WriteWholeFile(target, "previous installer"));

    CAsyncDownload download;
    EXPECT_TRUE(download.IsFinished());  // an empty handle
    EXPECT_EQ(download.GetPercent(), 0);
    SYSTEMTIME before = {};
    GetLocalTime(&before);
    download.Start(server.Url("/setup.exe"), target);
    ASSERT_TRUE(server.WaitUntilPaused(10000));
    ASSERT_TRUE(WaitUntil([&] { return download.GetPercent() == 40; }));  // 4096 of 10000
    SYSTEMTIME after = {};
    GetLocalTime(&after);

    EXPECT_FALSE(download.IsFinished());
    EXPECT_EQ(ReadWholeFile(target), "previous installer");
    const std::vector<std::wstring> temporary = TemporaryFiles(folder, L"setup.exe");
    ASSERT_EQ(temporary.size(), 1u);
    const std::wstring suffix = temporary[0].substr(wcslen(L"setup.exe."));
    ASSERT_EQ(suffix.size(), 6u);
    const int stamp = std::stoi(suffix);
    if (HourMinuteSecond(before) <= HourMinuteSecond(after)) {  // not across midnight
        EXPECT_GE(stamp, HourMinuteSecond(before));
        EXPECT_LE(stamp, HourMinuteSecond(after));
    }
    EXPECT_EQ(ReadWholeFile(folder / temporary[0]), body.substr(0, 4096));

    server.Resume();
    ASSERT_TRUE(WaitUntil([&] { return download.IsFinished(); }));
    EXPECT_EQ(download.GetPercent(), 100);
    download.Release();
    EXPECT_TRUE(download.IsFinished());
    EXPECT_EQ(ReadWholeFile(target), body);
    EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
}

// The host holds the connection and sends nothing more: the cancel closes the request, so
// the blocked read returns and the thread ends with its temporary file gone.
TEST_F(Download, CancelDuringAStallEndsTheThreadWithinASecond)
{
    HttpAnswer stalled = Body(Pattern(10000));
    stalled.pauseAfter = 4096;
    server.Serve("/setup.exe", Body(Pattern(10000)), stalled);
    const std::wstring target = folder / L"setup.exe";

    const auto job = std::make_shared<DownloadJob>(server.Url("/setup.exe"), target, InstallerPin());
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, DownloadJobThread, new std::shared_ptr<DownloadJob>(job), 0, nullptr);
    ASSERT_NE(thread, 0u);
    const KernelHandle threadHandle(reinterpret_cast<HANDLE>(thread));
    ASSERT_TRUE(server.WaitUntilPaused(10000));
    ASSERT_TRUE(WaitUntil([&] { return job->receivedBytes.load() == 4096; }));
    job->Cancel();
    EXPECT_EQ(WaitForSingleObject(threadHandle.get(), 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(job->finished.load());
    EXPECT_EQ(job->report.fault, DownloadFault::Cancelled);
    EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
    EXPECT_FALSE(PathExists(target));
}

TEST_F(Download, CancelBeforeTheFinalEmptyReadDiscardsTheWholeBody)
{
    // Without a Content-Length only the closed connection ends the body: the final empty read
    // waits for it while every byte is already on disk.
    const std::string body = Pattern(8192);  // whole read blocks, so no data read waits for the close
    HttpAnswer open = WithoutContentLength(body);
    open.pauseAfter = body.size();
    server.Serve("/setup.exe", Body(body), open);
    const std::wstring target = folder / L"setup.exe";

    CAsyncDownload download;
    download.Start(server.Url("/setup.exe"), target);
    ASSERT_TRUE(server.WaitUntilPaused(10000));
    ASSERT_TRUE(WaitUntil([&] { return download.GetPercent() == 100; }));
    download.Cancel();

    server.Resume();
    EXPECT_TRUE(WaitUntil([&] { return TemporaryFiles(folder, L"setup.exe").empty(); }));
    EXPECT_FALSE(PathExists(target));
}

// How the networks technicians meet end a background download: what it keeps, how it asks
// again, and the reason it gives.
TEST_F(Download, NetworksThatDropStallOrAnswerWithPagesEndAsTheyShould)
{
    const std::string body = Pattern(200000);
    const std::string package = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + body;
    const auto dropped = [&](bool range) {
        HttpAnswer answer = Body(body);
        answer.dropAfter = body.size() * 6 / 10;
        answer.servesRange = range;
        return answer;
    };
    HttpAnswer loginPage = Body("<!DOCTYPE html><p>Log in to use the Wi-Fi</p>");
    loginPage.contentType = "text/html; charset=utf-8";
    HttpAnswer busy = Body(body);
    busy.busyAnswers = 1;
    const struct {
        const char* name;
        HttpAnswer head;
        HttpAnswer get;
        const wchar_t* file;
        DownloadFault fault;
        FailureKind reason;
        const char* secondRange;  // the second GET's Range; null when there is no second GET
        uint64_t mostBytesSent;
        DWORD leastMs;
    } cases[] = {
        {"drop at 60 % on a host that serves Range", Body(body), dropped(true), L"setup.exe", DownloadFault::None,
         FailureKind::None, "bytes=120000-", body.size(), 0},
        {"drop at 60 % on a host that does not", Body(body), dropped(false), L"setup.exe", DownloadFault::None,
         FailureKind::None, "", body.size() * 16 / 10, 0},
        {"a login page", loginPage, loginPage, L"setup.exe", DownloadFault::WebPage, FailureKind::WebPage, nullptr,
         UINT64_MAX, 0},
        {"an error text sent as a program", Body("Access denied"), Body("Access denied"), L"setup.exe",
         DownloadFault::WebPage, FailureKind::WebPage, nullptr, UINT64_MAX, 0},
        {"an empty body", Body(""), Body(""), L"setup.exe", DownloadFault::WebPage, FailureKind::WebPage, nullptr,
         UINT64_MAX, 0},
        {"a program sent as a package", Body(body), Body(body), L"setup.msi", DownloadFault::WebPage,
         FailureKind::WebPage, nullptr, UINT64_MAX, 0},
        {"a package", Body(package), Body(package), L"setup.msi", DownloadFault::None, FailureKind::None, nullptr,
         UINT64_MAX, 0},
        {"503 with Retry-After: 2", busy, busy, L"setup.exe", DownloadFault::None, FailureKind::None, "",
         UINT64_MAX, 2 * 2000},
        {"a HEAD of length 0, then a chunked GET", Announcing(0), Chunked(body), L"setup.exe", DownloadFault::Request,
         FailureKind::BadLink, nullptr, UINT64_MAX, 0},
        {"404", Status(404), Status(404), L"setup.exe", DownloadFault::Request, FailureKind::HostStatus, nullptr,
         UINT64_MAX, 0},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer host;
        const std::string path = "/" + std::to_string(++index) + Narrow(c.file);
        host.Serve(path, c.head, c.get);
        const std::wstring target = folder / c.file;
        DownloadJob job(host.Url(path), target, InstallerPin());
        const ULONGLONG start = GetTickCount64();
        const DownloadReport report = RunDownload(job);
        EXPECT_GE(GetTickCount64() - start, c.leastMs);
        EXPECT_EQ(report.fault, c.fault);
        EXPECT_EQ(ReasonOf(report).kind, c.reason);
        EXPECT_TRUE(ReadWholeFile(target) == (c.fault == DownloadFault::None ? c.get.body : "<missing>"));
        std::vector<std::string> ranges;
        for (const RecordedRequest& request : host.Requests())
            if (request.method == "GET")
                ranges.push_back(request.range);
        EXPECT_EQ(ranges.size() > 1 ? ranges[1] : "<no second GET>", c.secondRange ? c.secondRange : "<no second GET>");
        if (c.mostBytesSent != UINT64_MAX) {
            EXPECT_LE(host.BodyBytesSent(), c.mostBytesSent);
        }
        EXPECT_TRUE(TemporaryFiles(folder, c.file).empty());
        DeleteFileW(target.c_str());
    }
}

// Held open without delete sharing, as a running installer or a scanner would hold it: the
// replace fails, the old file stays whole where it was, and the download says it failed.
TEST_F(Download, ADestinationThatCannotBeReplacedStaysAndTheDownloadFails)
{
    server.Serve("/setup.exe", Body("MZ new setup!"));
    const std::wstring target = folder / L"setup.exe";
    const struct {
        const char* name;
        std::function<bool()> download;
    } services[] = {
        {"DownloadToFile", [&] { return DownloadToFile(server.Url("/setup.exe"), target); }},
        {"CAsyncDownload", [&] {
             CAsyncDownload download;
             download.Start(server.Url("/setup.exe"), target);
             return WaitUntil([&] { return download.IsFinished(); }) && download.Succeeded();
         }},
        {"RunDownload", [&] {
             DownloadJob job(server.Url("/setup.exe"), target, InstallerPin());
             const DownloadReport report = RunDownload(job);
             EXPECT_EQ(report.fault, DownloadFault::MoveFailed);
             EXPECT_EQ(report.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
             return report.fault == DownloadFault::None;
         }},
    };
    for (const auto& service : services) {
        SCOPED_TRACE(service.name);
        ASSERT_TRUE(WriteWholeFile(target, "running installer"));
        FileHandle held(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        EXPECT_FALSE(service.download());
        held.reset();
        EXPECT_EQ(ReadWholeFile(target), "running installer");
        EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
    }
}

// With an expected hash the download's thread decides what the destination keeps: a file
// already there is kept only when it matches, and a new body takes the name only when it
// matches. Without one, the body is taken as it comes.
TEST_F(Download, ExpectedHashDecidesWhatTheDestinationKeeps)
{
    const std::string release = Pattern(150000);  // more than one of the hash's read blocks
    const std::string changed = release + "!";
    const ScratchFile reference(folder / L"reference.bin", release);
    const std::wstring hash = Sha256OfFile(reference.path());
    ASSERT_EQ(hash.size(), 64u);
    const std::string stale = "an older release";
    // What a file holds, in a word: the bodies are too long to print.
    const auto contentOf = [&](const std::wstring& path) -> std::string {
        const std::string content = ReadWholeFile(path);
        return content == release ? "release" : content == changed ? "changed" : content == stale ? "stale" : content;
    };
    const struct {
        const char* name;
        const char* onDisk;  // "release", "stale", or null for nothing there
        const std::string& served;
        std::wstring expected;
        bool succeeded;
        const char* kept;
        size_t gets;
    } cases[] = {
        {"a new body of that hash", nullptr, release, hash, true, "release", 1},
        {"a new body of another hash", nullptr, changed, hash, false, "<missing>", 1},
        {"a matching file already there", "release", changed, hash, true, "release", 0},
        {"a stale file is fetched again", "stale", release, hash, true, "release", 1},
        // Replaced only by a checked body: until then the stale file stays.
        {"a stale file, and a new body of another hash", "stale", changed, hash, false, "stale", 1},
        {"no hash: any body replaces the file", "stale", changed, L"", true, "changed", 1},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/case" + std::to_string(++index) + ".exe";
        server.Serve(path, Body(c.served));
        const std::wstring target = folder / L"setup.exe";
        DeleteFileW(target.c_str());
        if (c.onDisk) {
            ASSERT_TRUE(WriteWholeFile(target, std::string(c.onDisk) == "release" ? release : stale));
        }

        CAsyncDownload download;
        download.Start(server.Url(path), target, {c.expected, L""});
        ASSERT_TRUE(WaitUntil([&] { return download.IsFinished(); }));
        EXPECT_EQ(download.Succeeded(), c.succeeded);
        download.Release();
        EXPECT_EQ(contentOf(target), c.kept);
        EXPECT_EQ(server.CountRequests("GET", path), c.gets);
        EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
    }
}

// The HEAD follows the host's redirects, and the GET goes straight to where the HEAD ended,
// on another port too.
TEST_F(Download, TheGetGoesWhereTheHeadsRedirectsEnded)
{
    LoopbackHttpServer mirror;
    ASSERT_TRUE(mirror.IsListening());
    mirror.Serve("/files/a.exe", Body("MZ-setup!"));
    server.Serve("/elsewhere.exe", RedirectTo(Narrow(mirror.Url("/files/a.exe"))));
    server.Serve("/relative.exe", RedirectTo("/two/steps.exe", 302));
    server.Serve("/two/steps.exe", RedirectTo("../local.exe", 307));
    server.Serve("/local.exe", Body("MZ-setup!"));
    for (const int status : {303, 308})
        server.Serve("/status" + std::to_string(status) + ".exe", RedirectTo("/local.exe", status));
    const struct {
        const char* path;
        LoopbackHttpServer& ends;
        std::string endPath;
    } cases[] = {
        {"/elsewhere.exe", mirror, "/files/a.exe"},
        {"/relative.exe", server, "/local.exe"},
        {"/status303.exe", server, "/local.exe"},
        {"/status308.exe", server, "/local.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const size_t headsBefore = c.ends.CountRequests("HEAD", c.endPath);
        const size_t getsBefore = c.ends.CountRequests("GET", c.endPath);
        const std::wstring target = folder / L"a.exe";
        DownloadJob job(server.Url(c.path), target, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, DownloadFault::None);
        EXPECT_EQ(ReadWholeFile(target), "MZ-setup!");
        EXPECT_EQ(report.request.url, c.ends.Url(c.endPath));
        EXPECT_EQ(job.totalBytes.load(), 9u);
        EXPECT_EQ(server.CountRequests("GET", c.path), 0u) << "the GET is not redirected again";
        EXPECT_EQ(c.ends.CountRequests("HEAD", c.endPath), headsBefore + 1);
        EXPECT_EQ(c.ends.CountRequests("GET", c.endPath), getsBefore + 1);
        DeleteFileW(target.c_str());
    }
    for (const RecordedRequest& request : mirror.Requests())
        EXPECT_EQ(request.userAgent, "HttpDownload");
}

// A loop ends as a failed download after a bounded number of requests; so does a redirect
// that names no place, or one to another scheme.
TEST_F(Download, RedirectsThatLeadNowhereFail)
{
    server.Serve("/loop.exe", RedirectTo("/loop.exe", 302));
    server.Serve("/ping.exe", RedirectTo("/pong.exe"));
    server.Serve("/pong.exe", RedirectTo("/ping.exe"));
    server.Serve("/nowhere.exe", RedirectTo(""));
    server.Serve("/ftp.exe", RedirectTo("ftp://127.0.0.1/a.exe"));
    const struct {
        const char* path;
        LinkFault fault;
        int requests;
    } cases[] = {
        {"/loop.exe", LinkFault::RedirectLoop, 11},
        {"/ping.exe", LinkFault::RedirectLoop, 11},
        {"/nowhere.exe", LinkFault::Status, 1},
        {"/ftp.exe", LinkFault::NotHttp, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const size_t before = server.Requests().size();
        const std::wstring target = folder / L"a.exe";
        DownloadJob job(server.Url(c.path), target, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, DownloadFault::Request);
        EXPECT_EQ(report.request.fault, c.fault);
        EXPECT_EQ(report.request.attempts, c.requests);
        EXPECT_EQ(server.Requests().size(), before + static_cast<size_t>(c.requests));
        EXPECT_FALSE(DownloadToFile(server.Url(c.path), target));
        EXPECT_TRUE(FindFiles(folder / L"*").empty());
    }
}

// Hosts that answer HEAD with 403, 405 or 501 are asked once, and then the GET's own
// Content-Length is the size; any other refusal is retried and fails as before.
TEST_F(Download, AHostThatRefusesHeadIsSizedByItsGet)
{
    const std::string body = Pattern(6000);
    const struct {
        int headStatus;
        HttpAnswer get;
        DownloadFault fault;
        LinkFault linkFault;
        size_t heads;
        size_t gets;
    } cases[] = {
        {403, Body(body), DownloadFault::None, LinkFault::None, 1, 1},
        {405, Body(body), DownloadFault::None, LinkFault::None, 1, 1},
        {501, Chunked(body), DownloadFault::Request, LinkFault::NoContentLength, 1, 1},
        {405, WithoutContentLength(body), DownloadFault::Request, LinkFault::NoContentLength, 1, 1},
        {405, Announcing(0x40000001), DownloadFault::Request, LinkFault::TooLarge, 1, 1},
        {501, Status(404), DownloadFault::Request, LinkFault::Status, 1, 5},
        {404, Body(body), DownloadFault::Request, LinkFault::Status, 5, 0},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string path = "/refused" + std::to_string(++index) + ".exe";
        SCOPED_TRACE(testing::Message() << path << ": HEAD answered " << c.headStatus);
        server.Serve(path, Status(c.headStatus), c.get);
        const std::wstring target = folder / L"refused.exe";
        DownloadJob job(server.Url(path), target, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, c.fault);
        EXPECT_EQ(report.request.fault, c.linkFault);
        EXPECT_EQ(server.CountRequests("HEAD", path), c.heads);
        EXPECT_EQ(server.CountRequests("GET", path), c.gets) << "one GET serves both size and body";
        EXPECT_EQ(ReadWholeFile(target), c.fault == DownloadFault::None ? body : "<missing>");
        if (c.fault == DownloadFault::None) {
            EXPECT_EQ(job.totalBytes.load(), body.size());
            EXPECT_TRUE(report.request.headRefused);
            EXPECT_EQ(RunAsync(server.Url(path), folder / L"async.exe"), true);
            EXPECT_EQ(ReadWholeFile(folder / L"async.exe"), body);
        }
        folder.Clear();
    }
}

// The link check asks exactly what a download's first request asks, and says how it went.
TEST_F(Download, ProbeLinkMakesTheDownloadsHeadAndSaysHowItWent)
{
    server.Serve("/good.exe", Body("MZ-setup!"));
    server.Serve("/limit.exe", Announcing(0x40000000));
    server.Serve("/over.exe", Announcing(0x40000001));
    server.Serve("/nolength.exe", WithoutContentLength("x"));
    server.Serve("/error.exe", Status(500));
    const std::wstring nobody = UrlNobodyServes("/a.exe");
    const struct {
        const char* name;
        const char* path;  // on this server, or null for the URL below
        std::wstring url;
        LinkFault fault;
        DWORD status;
        DWORD size;
        int attempts;
        const char* failedCall;
    } cases[] = {
        {"good", "/good.exe", L"", LinkFault::None, 200, 9, 1, ""},
        {"exactly 1 GiB", "/limit.exe", L"", LinkFault::None, 200, 0x40000000, 1, ""},
        {"one byte more", "/over.exe", L"", LinkFault::TooLarge, 200, 0x40000001, 1, ""},
        {"no Content-Length", "/nolength.exe", L"", LinkFault::NoContentLength, 200, 0, 1, ""},
        {"500, asked five times", "/error.exe", L"", LinkFault::Status, 500, 0, 5, ""},
        {"404, asked five times", "/none.exe", L"", LinkFault::Status, 404, 0, 5, ""},
        {"ftp", nullptr, L"ftp://127.0.0.1/a.exe", LinkFault::NotHttp, 0, 0, 0, ""},
        {"nobody listening", nullptr, nobody, LinkFault::NoAnswer, 0, 0, 5, "HttpSendRequest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LinkReport report = ProbeLink(c.path ? server.Url(c.path) : c.url);
        EXPECT_EQ(report.fault, c.fault);
        EXPECT_EQ(report.status, c.status);
        EXPECT_EQ(report.size, c.size);
        EXPECT_EQ(report.attempts, c.attempts);
        EXPECT_STREQ(report.failedCall, c.failedCall);
        EXPECT_EQ(report.error != 0, c.fault == LinkFault::NoAnswer);
        if (c.path) {
            EXPECT_EQ(server.CountRequests("HEAD", c.path), static_cast<size_t>(c.attempts));
        }
    }
    for (const RecordedRequest& request : server.Requests()) {
        EXPECT_EQ(request.method, "HEAD");
        EXPECT_EQ(request.userAgent, "HttpDownload");
    }
}

// The publisher's link check calls a link good exactly when the program's download of it
// goes through, and both see the same size.
TEST_F(Download, ProbeCallsALinkGoodExactlyWhenItsDownloadGoesThrough)
{
    LoopbackHttpServer mirror;
    ASSERT_TRUE(mirror.IsListening());
    mirror.Serve("/a.exe", Body("MZ mirrored"));
    server.Serve("/good.exe", Body("MZ-setup!"));
    server.Serve("/moved.exe", RedirectTo(Narrow(mirror.Url("/a.exe"))));
    server.Serve("/loop.exe", RedirectTo("/loop.exe"));
    server.Serve("/ftp.exe", RedirectTo("ftp://127.0.0.1/a.exe"));
    server.Serve("/head403.exe", Status(403), Body("MZ forbidden HEAD"));
    server.Serve("/head405.exe", Status(405), Body("MZ no HEAD here"));
    server.Serve("/head501.exe", Status(501), Body("MZ HEAD unknown"));
    server.Serve("/head405-nolength.exe", Status(405), WithoutContentLength("no HEAD, no length"));
    server.Serve("/head404.exe", Status(404), Body("gone"));
    server.Serve("/nolength.exe", WithoutContentLength("x"));
    server.Serve("/toolarge.exe", Announcing(0x40000001), Body("x"));
    const struct {
        const char* path;
        bool good;
    } cases[] = {
        {"/good.exe", true},          {"/moved.exe", true},           {"/head403.exe", true},
        {"/head405.exe", true},       {"/head501.exe", true},         {"/loop.exe", false},
        {"/ftp.exe", false},          {"/head405-nolength.exe", false}, {"/head404.exe", false},
        {"/nolength.exe", false},     {"/toolarge.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const LinkReport probe = ProbeLink(server.Url(c.path));
        const std::wstring target = folder / L"a.exe";
        DownloadJob job(server.Url(c.path), target, InstallerPin());
        const DownloadReport download = RunDownload(job);
        EXPECT_EQ(probe.fault == LinkFault::None, c.good);
        EXPECT_EQ(download.fault == DownloadFault::None, c.good);
        EXPECT_EQ(probe.fault, download.request.fault);
        if (c.good) {
            EXPECT_EQ(probe.size, download.receivedBytes);
        }
        DeleteFileW(target.c_str());
    }
}

// Probing a host that refuses HEAD sends the GET and closes it once its headers are read:
// the body is never waited for.
TEST_F(Download, ProbeOfAHostThatRefusesHeadReadsOnlyTheGetsHeaders)
{
    HttpAnswer held = Body(Pattern(10000));
    held.pauseAfter = 0;
    server.Serve("/nohead.exe", Status(405), held);
    const LinkReport report = ProbeLink(server.Url("/nohead.exe"));
    const bool bodyHeld = server.WaitUntilPaused(5000);  // the host holds the body: the probe returned without it
    server.Resume();
    EXPECT_TRUE(bodyHeld);
    EXPECT_EQ(report.fault, LinkFault::None);
    EXPECT_STREQ(report.method, "GET");
    EXPECT_TRUE(report.headRefused);
    EXPECT_EQ(report.size, 10000u);
    EXPECT_EQ(server.CountRequests("HEAD", "/nohead.exe"), 1u);
    EXPECT_EQ(server.CountRequests("GET", "/nohead.exe"), 1u);
}

// A disk that fills up mid-download. Wine, like a file system, reports a write that crosses
// the limit as a success that wrote fewer bytes. The ctest entry download_test_full_disk
// runs these under a file size limit; without it they are skipped.
class FullDisk : public Download {
protected:
    void SetUp() override
    {
        Download::SetUp();
        wchar_t limit[32] = {};
        if (!GetEnvironmentVariableW(L"DOWNLOAD_TEST_FILE_SIZE_LIMIT", limit, 32))
            GTEST_SKIP() << "no file size limit; run through ctest's download_test_full_disk";
        m_limit = std::stoull(limit);
        ASSERT_NE(m_limit % 4096, 0u) << "a limit on a block boundary gives no short write";
    }

    uint64_t m_limit = 0;
};

TEST_F(FullDisk, ShortWriteFailsTheDownload)
{
    // Whole blocks up to the last one, which crosses the limit and is the body's end.
    HttpAnswer blocks = Body(Pattern(4096));
    blocks.bodyRepeats = m_limit / 4096 + 1;
    server.Serve("/big.exe", blocks);
    server.Serve("/small.exe", Body(Pattern(4096)));

    ASSERT_TRUE(DownloadToFile(server.Url("/small.exe"), folder / L"small.exe"));  // writing works
    EXPECT_FALSE(DownloadToFile(server.Url("/big.exe"), folder / L"big.exe"));
    EXPECT_FALSE(PathExists(folder / L"big.exe"));
    EXPECT_TRUE(TemporaryFiles(folder, L"big.exe").empty());
}

// Downloads over TLS, through the fronts tests/tls/with_https_fronts.sh puts before this
// test's own server: the ctest entry download_test_https runs these; without the fronts they
// are skipped. One server serves the whole suite, each case on paths of its own: WinINet
// keeps TLS connections for the next request, and under Wine one whose server behind the
// front went away is used again and waits for ever.
class Https : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (const std::optional<HttpsFronts> found = HttpsFrontsFromEnvironment()) {
            t_fronts = *found;
            t_server = std::make_unique<LoopbackHttpServer>(found->backend);
        }
    }

    static void TearDownTestSuite() { t_server.reset(); }

    void SetUp() override
    {
        if (!t_server)
            GTEST_SKIP() << "no https fronts; run through ctest's download_test_https";
        ASSERT_TRUE(t_server->IsListening()) << "backend port " << t_fronts.backend << " busy";
    }

    static HttpsFronts t_fronts;
    static std::unique_ptr<LoopbackHttpServer> t_server;
    const HttpsFronts& fronts = t_fronts;
    LoopbackHttpServer* const server = t_server.get();
    ScratchFolder folder{L"download_test_https"};
};

HttpsFronts Https::t_fronts = {};
std::unique_ptr<LoopbackHttpServer> Https::t_server;

TEST_F(Https, ALinkOverTlsDownloadsLikeAPlainOne)
{
    const std::string body = Pattern(50000);
    server->Serve("/soft/setup.exe", Body(body));
    const std::wstring url = WideUrl(HttpsUrl(fronts.good, "/soft/setup.exe"));
    const std::wstring target = folder / L"setup.exe";
    ASSERT_TRUE(DownloadToFile(url, target));
    EXPECT_EQ(ReadWholeFile(target), body);
    DeleteFileW(target.c_str());

    int percent = -1;
    ASSERT_TRUE(RunAsync(WideUrl("HTTPS://LOCALHOST:" + std::to_string(fronts.good) + "/soft/setup.exe"), target,
                         &percent));
    EXPECT_EQ(percent, 100);
    EXPECT_EQ(ReadWholeFile(target), body);
    EXPECT_EQ(server->CountRequests("HEAD", "/soft/setup.exe"), 2u);
    EXPECT_EQ(server->CountRequests("GET", "/soft/setup.exe"), 2u);
    for (const RecordedRequest& request : server->Requests())
        EXPECT_EQ(request.userAgent, "HttpDownload");
}

TEST_F(Https, AnHttpLinkRedirectedToHttpsIsFetchedThereWithHeadAndGet)
{
    server->Serve("/up/r/a.exe", RedirectTo(HttpsUrl(fronts.good, "/up/a.exe")));
    server->Serve("/up/a.exe", Body("MZ over tls"));
    const std::wstring target = folder / L"a.exe";
    DownloadJob job(server->Url("/up/r/a.exe"), target, InstallerPin());
    const DownloadReport report = RunDownload(job);
    EXPECT_EQ(report.fault, DownloadFault::None);
    EXPECT_EQ(report.request.url, WideUrl(HttpsUrl(fronts.good, "/up/a.exe")));
    EXPECT_EQ(ReadWholeFile(target), "MZ over tls");
    EXPECT_EQ(server->CountRequests("HEAD", "/up/r/a.exe"), 1u);
    EXPECT_EQ(server->CountRequests("GET", "/up/r/a.exe"), 0u);
    EXPECT_EQ(server->CountRequests("HEAD", "/up/a.exe"), 1u);
    EXPECT_EQ(server->CountRequests("GET", "/up/a.exe"), 1u);
}

// However the host redirects, an https link never continues over plain http: not from the
// HEAD, not from the GET, not after a first redirect that stayed on https.
TEST_F(Https, AnHttpsLinkRedirectedToPlainHttpIsRefused)
{
    const std::string plain = Narrow(server->Url("/plain.exe"));
    server->Serve("/plain.exe", Body("downgraded"));
    server->Serve("/down.exe", RedirectTo(plain));
    server->Serve("/getdown.exe", Body("the HEAD's answer"), RedirectTo(plain, 302));
    server->Serve("/hop.exe", RedirectTo(HttpsUrl(fronts.good, "/down.exe")));
    const struct {
        const char* path;
        const char* method;
    } cases[] = {{"/down.exe", "HEAD"}, {"/getdown.exe", "GET"}, {"/hop.exe", "HEAD"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::wstring target = folder / L"a.exe";
        ASSERT_TRUE(WriteWholeFile(target, "previous"));
        DownloadJob job(WideUrl(HttpsUrl(fronts.good, c.path)), target, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, DownloadFault::Request);
        EXPECT_EQ(report.request.fault, LinkFault::Downgraded);
        EXPECT_STREQ(report.request.method, c.method);
        EXPECT_EQ(report.request.url, WideUrl(plain));
        EXPECT_FALSE(DownloadToFile(WideUrl(HttpsUrl(fronts.good, c.path)), target));
        EXPECT_EQ(ReadWholeFile(target), "previous");
    }
    EXPECT_EQ(server->CountRequests("HEAD", "/plain.exe") + server->CountRequests("GET", "/plain.exe"), 0u);
}

// The name under which a refused certificate would have been saved never appears, an older
// file there stays, and the request never reaches the server behind the front.
TEST_F(Https, CertificatesThatAreNotTrustedAreRefused)
{
    server->Serve("/refused/setup.exe", Body("should never be fetched"));
    const struct {
        const char* name;
        unsigned short port;
        DWORD error;
    } cases[] = {
        {"untrusted CA", fronts.untrusted,
         static_cast<DWORD>(RunningUnderWine() ? ERROR_INTERNET_SEC_CERT_REV_FAILED : ERROR_INTERNET_INVALID_CA)},
        {"another host's name", fronts.wrongName, ERROR_INTERNET_SEC_CERT_CN_INVALID},
        {"expired", fronts.expired, ERROR_INTERNET_SEC_CERT_DATE_INVALID},
        {"nothing older than TLS 1.3", fronts.tls13Only, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    };
    NoteWineDifference(WineDifference::UntrustedCaError);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring url = WideUrl(HttpsUrl(c.port, "/refused/setup.exe"));
        const std::wstring fresh = folder / L"fresh.exe";
        const std::wstring kept = folder / L"kept.exe";
        ASSERT_TRUE(WriteWholeFile(kept, "previous"));
        DownloadJob job(url, fresh, InstallerPin());
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(report.fault, DownloadFault::Request);
        EXPECT_EQ(report.request.fault, LinkFault::NoAnswer);
        EXPECT_STREQ(report.request.failedCall, "HttpSendRequest");
        EXPECT_EQ(report.request.error, c.error);
        EXPECT_FALSE(DownloadToFile(url, fresh));
        CAsyncDownload download;
        download.Start(url, kept);
        ASSERT_TRUE(WaitUntil([&] { return download.IsFinished(); }));
        EXPECT_FALSE(download.Succeeded());
        download.Release();
        EXPECT_EQ(ReadWholeFile(kept), "previous");
        EXPECT_FALSE(PathExists(fresh));
        EXPECT_TRUE(TemporaryFiles(folder, L"fresh.exe").empty());
        folder.Clear();
    }
    EXPECT_EQ(server->CountRequests("HEAD", "/refused/setup.exe"), 0u);
}

// Every link of this table, over TLS: the link check's verdict is the download's.
TEST_F(Https, ProbeAndDownloadAgreeOnEveryLink)
{
    server->Serve("/agree/good.exe", Body("MZ-setup!"));
    server->Serve("/agree/r/good.exe", RedirectTo(HttpsUrl(fronts.good, "/agree/good.exe")));
    server->Serve("/agree/down.exe", RedirectTo(Narrow(server->Url("/agree/good.exe"))));
    server->Serve("/agree/loop.exe", RedirectTo(HttpsUrl(fronts.good, "/agree/loop.exe"), 302));
    for (const int status : {403, 405, 501})
        server->Serve("/agree/head" + std::to_string(status) + ".exe", Status(status), Body("MZ sized by the GET"));
    const struct {
        std::string url;
        bool good;
    } cases[] = {
        {HttpsUrl(fronts.good, "/agree/good.exe"), true},
        {Narrow(server->Url("/agree/r/good.exe")), true},
        {HttpsUrl(fronts.good, "/agree/head403.exe"), true},
        {HttpsUrl(fronts.good, "/agree/head405.exe"), true},
        {HttpsUrl(fronts.good, "/agree/head501.exe"), true},
        {HttpsUrl(fronts.good, "/agree/down.exe"), false},
        {HttpsUrl(fronts.good, "/agree/loop.exe"), false},
        {HttpsUrl(fronts.untrusted, "/agree/good.exe"), false},
        {HttpsUrl(fronts.wrongName, "/agree/good.exe"), false},
        {HttpsUrl(fronts.expired, "/agree/good.exe"), false},
        {HttpsUrl(fronts.tls13Only, "/agree/good.exe"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const LinkReport probe = ProbeLink(WideUrl(c.url));
        const std::wstring target = folder / L"a.exe";
        DownloadJob job(WideUrl(c.url), target, InstallerPin());
        const DownloadReport download = RunDownload(job);
        EXPECT_EQ(probe.fault == LinkFault::None, c.good);
        EXPECT_EQ(download.fault == DownloadFault::None, c.good);
        EXPECT_EQ(probe.fault, download.request.fault);
        EXPECT_EQ(probe.error, download.request.error);
        if (c.good) {
            EXPECT_EQ(probe.size, download.receivedBytes);
        }
        DeleteFileW(target.c_str());
    }
}

// The probe goes to the compiled-in catalogue server, served here on its fixed port.
class CatalogueProbe : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.IsListening()) << "catalogue port " << server.Port() << " busy"; }

    LoopbackHttpServer server{PortOfServer(kCatalogueServer)};
};

TEST_F(CatalogueProbe, OneHeadDecides)
{
    const struct {
        const char* name;
        HttpAnswer head;
        bool reachable;
    } cases[] = {
        {"200 with a size", Body("<plist/>"), true},
        {"exactly 1 GiB", Announcing(0x40000000), true},
        {"one byte more", Announcing(0x40000001), false},
        {"no Content-Length", WithoutContentLength(""), false},
        {"404", Status(404), false},
        {"500", Status(500), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t headsBefore = server.CountRequests("HEAD", "/AppLib/AppLib.xml");
        server.Serve("/AppLib/AppLib.xml", c.head, Body("<plist/>"));
        EXPECT_EQ(IsCatalogueReachable(), c.reachable);
        EXPECT_EQ(server.CountRequests("HEAD", "/AppLib/AppLib.xml"), headsBefore + 1);
    }
    EXPECT_EQ(server.CountRequests("GET", "/AppLib/AppLib.xml"), 0u);
    for (const RecordedRequest& request : server.Requests())
        EXPECT_EQ(request.userAgent, "HttpDownload");
}

TEST(CatalogueProbeOffline, NobodyListeningIsUnreachable)
{
    EXPECT_FALSE(IsCatalogueReachable());
}

}  // namespace
