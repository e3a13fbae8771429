#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle.h"
#include "net/download.h"
#include "net/servers.h"
#include "net/sha256.h"
#include "tests/test_files.h"

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

std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
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

TEST_F(Download, UrlsThatAreNotPlainHttpFailBeforeAnyConnection)
{
    server.Serve("/a", Body("x"));
    const std::wstring port = std::to_wstring(server.Port());
    const struct {
        const char* name;
        std::wstring url;
    } cases[] = {
        {"https", L"https://127.0.0.1:" + port + L"/a"},
        {"HTTPS in capitals", L"HTTPS://127.0.0.1:" + port + L"/a"},
        {"ftp", L"ftp://127.0.0.1:" + port + L"/a"},
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
        // The GET answer is small and honest: only the HEAD announcement is judged.
        local.Serve("/big", Announcing(c.announced), Body("abc"));
        const std::wstring target = folder / L"big.bin";
        EXPECT_EQ(DownloadToFile(local.Url("/big"), target), c.accepted);
        EXPECT_EQ(PathExists(target), c.accepted);
        EXPECT_EQ(local.CountRequests("GET", "/big"), c.accepted ? 1u : 0u);
        DeleteFileW(target.c_str());

        CAsyncDownload download;
        download.Start(local.Url("/big"), target);
        ASSERT_TRUE(WaitUntil([&] { return download.IsFinished(); }));
        EXPECT_EQ(download.GetPercent(), 0);  // 3 bytes of 1 GiB truncate to 0
        download.Release();
        EXPECT_EQ(PathExists(target), c.accepted);
        DeleteFileW(target.c_str());
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
    DeleteFileW(target.c_str());

    int percent = -1;
    ASSERT_TRUE(RunAsync(server.Url("/empty"), target, &percent));
    EXPECT_EQ(percent, 0);
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
    server.Serve("/setup.exe", Body("installer"));
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
        EXPECT_EQ(ReadWholeFile(target), "installer");
        for (const std::wstring& name : leftovers)
            EXPECT_FALSE(PathExists(folder / name)) << Narrow(name);
        for (const std::wstring& name : kept)
            EXPECT_EQ(ReadWholeFile(folder / name), "the user's") << Narrow(name);
        EXPECT_TRUE(PathExists(folder / L"other.exe.235959"));
    }
}

TEST_F(Download, HeadAndGetMayDisagreeOnTheSize)
{
    const struct {
        uint64_t headAnnounces;
        size_t getSends;
        int percent;
    } cases[] = {
        {8192, 4096, 50},
        {4096, 8192, 200},
        {3, 10, 333},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "HEAD " << c.headAnnounces << ", GET " << c.getSends);
        const std::string body = Pattern(c.getSends);
        server.Serve("/sized", Announcing(c.headAnnounces), Body(body));
        const std::wstring target = folder / L"sized.bin";
        ASSERT_TRUE(DownloadToFile(server.Url("/sized"), target));
        EXPECT_EQ(ReadWholeFile(target), body);
        DeleteFileW(target.c_str());

        int percent = -1;
        ASSERT_TRUE(RunAsync(server.Url("/sized"), target, &percent));
        EXPECT_EQ(percent, c.percent);
        EXPECT_EQ(ReadWholeFile(target), body);
        DeleteFileW(target.c_str());
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

TEST_F(Download, CancelDuringTheBodyRemovesTheTemporaryFile)
{
    HttpAnswer slow = Body(Pattern(10000));
    slow.pauseAfter = 4096;
    server.Serve("/setup.exe", Body(Pattern(10000)), slow);
    const std::wstring target = folder / L"setup.exe";

    CAsyncDownload download;
    download.Start(server.Url("/setup.exe"), target);
    ASSERT_TRUE(server.WaitUntilPaused(10000));
    ASSERT_TRUE(WaitUntil([&] { return TemporaryFiles(folder, L"setup.exe").size() == 1; }));
    download.Cancel();
    EXPECT_TRUE(download.IsFinished());
    EXPECT_EQ(download.GetPercent(), 0);

    server.Resume();
    EXPECT_TRUE(WaitUntil([&] { return TemporaryFiles(folder, L"setup.exe").empty(); }));
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

TEST_F(Download, DestinationThatCannotBeReplacedLeavesNoTemporaryFile)
{
    server.Serve("/setup.exe", Body("new installer"));
    const std::wstring target = folder / L"setup.exe";
    ASSERT_TRUE(WriteWholeFile(target, "running installer"));
    // Held open without delete sharing, as a running installer would be.
    FileHandle held(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    RunAsync(server.Url("/setup.exe"), target);
    held.reset();
    EXPECT_EQ(ReadWholeFile(target), "running installer");
    EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
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
        download.Start(server.Url(path), target, c.expected);
        ASSERT_TRUE(WaitUntil([&] { return download.IsFinished(); }));
        EXPECT_EQ(download.Succeeded(), c.succeeded);
        download.Release();
        EXPECT_EQ(contentOf(target), c.kept);
        EXPECT_EQ(server.CountRequests("GET", path), c.gets);
        EXPECT_TRUE(TemporaryFiles(folder, L"setup.exe").empty());
    }
}

// The link check asks exactly what a download's first request asks, and says how it went.
TEST_F(Download, ProbeLinkMakesTheDownloadsHeadAndSaysHowItWent)
{
    server.Serve("/good.exe", Body("installer"));
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
        {"https", nullptr, L"https://127.0.0.1/a.exe", LinkFault::NotHttp, 0, 0, 0, ""},
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
