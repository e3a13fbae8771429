#include "net/download.h"

#include <process.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>

#include "base/file_replace.h"
#include "base/folders.h"
#include "base/unique_handle.h"
#include "net/servers.h"
#include "net/sha256.h"

namespace {

constexpr wchar_t kUserAgent[] = L"HttpDownload";
constexpr wchar_t kHttpVersion[] = L"HTTP/1.1";
constexpr wchar_t kReferrer[] = L"";  // empty, not null
// Installers run up to 1 GiB: without NO_CACHE_WRITE WinINet would also copy each body into
// the user's Internet cache. Redirects are followed here, not by WinINet: the GET must go
// where the HEAD ended, and an https link must never go on to plain http.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
// A browser gives up after about 20; no host needs that many to reach a file.
constexpr int kMostRedirects = 10;
constexpr DWORD kLargestSize = 0x40000000;  // inclusive
constexpr DWORD kReadBlockSize = 4096;
constexpr int kProbeAttempts = 1;
constexpr int kDownloadAttempts = 5;
constexpr DWORD kSuccessStatus = 200;
constexpr DWORD kPartialStatus = 206;
// Without one, a host that stops sending holds a read for ever.
constexpr DWORD kTimeoutMs = 30 * 1000;
constexpr unsigned kLongestRetryAfterSeconds = 60;
constexpr wchar_t kTemporarySuffixFormat[] = L".%02d%02d%02d";  // local hour, minute, second
constexpr size_t kTemporaryStampDigits = 6;

constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUserNameChars = 128;
constexpr DWORD kPasswordChars = 128;
constexpr DWORD kUrlPathChars = 2084;
constexpr DWORD kRedirectUrlChars = 4096;

struct WebUrl {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring user;
    std::wstring password;
    std::wstring path;
    bool secure = false;  // https
};

// What WinINet's callbacks for one request touch. WinINet runs the session asynchronously, so
// that a cancel ends the download's thread at once, even where closing the request leaves a
// read pending in WinINet until the host's time-out: the state lives until both the thread
// and the request's last callback (HANDLE_CLOSING) have let go, and the pending read's
// buffer with it.
struct RequestState {
    KernelHandle completed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    INTERNET_ASYNC_RESULT result = {};  // of the call that completed last
    char buffer[kReadBlockSize] = {};
    DWORD read = 0;
};

// Only requests carry a context; the root and the connections have none.
void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, void* information, DWORD)
{
    if (context == 0)
        return;
    auto* const reference = reinterpret_cast<std::shared_ptr<RequestState>*>(context);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
        (*reference)->result = *static_cast<const INTERNET_ASYNC_RESULT*>(information);
        SetEvent((*reference)->completed.get());
    } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        delete reference;  // the request's last callback
    }
}

// A request and the connection it went over.
struct SentRequest {
    InternetHandle connection;
    InternetHandle request;
    std::shared_ptr<RequestState> state;  // shared with the request's callbacks
};

// Closes `request`, unless the job's cancel has closed it already.
void CloseRequest(InternetHandle& request, DownloadJob* job)
{
    if (request && job && !job->StopWatching(request.get()))
        (void)request.release();
    request.reset();
}

// The handles of one request sequence; they close in reverse order: body request, size
// request, their connections, root.
struct HttpExchange {
    explicit HttpExchange(DownloadJob* downloadJob = nullptr) : job(downloadJob) {}
    ~HttpExchange()
    {
        CloseRequest(body.request, job);
        CloseRequest(size.request, job);
    }
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    DownloadJob* const job;  // borrowed, or none: its cancel closes the request and ends waits
    InternetHandle root;
    SentRequest size;  // the HEAD, where its redirects ended
    SentRequest body;  // the GET
};

bool IsCancelled(const DownloadJob* job)
{
    return job && job->cancelRequested.load();
}

// The result of a WinINet call, waiting out one that went on in the background. A cancel
// ends the wait at once, failing the call; the pending work stays WinINet's. A request
// without state is a caller's own, opened synchronously.
bool Completed(BOOL done, const RequestState* state, DownloadJob* job)
{
    if (done)
        return true;
    if (!state || GetLastError() != ERROR_IO_PENDING)
        return false;
    const HANDLE events[] = {state->completed.get(), job ? job->CancelEvent() : nullptr};
    if (WaitForMultipleObjects(job ? 2 : 1, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        return false;
    }
    SetLastError(state->result.dwError);
    return state->result.dwResult != 0;
}

void SetTimeouts(HINTERNET handle)
{
    for (const DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD value = kTimeoutMs;
        InternetSetOptionW(handle, option, &value, sizeof(value));
    }
}

// Fails when the URL does not split, a piece overflows its buffer, or the scheme is neither
// http nor https.
bool SplitWebUrl(const std::wstring& url, WebUrl& parts)
{
    wchar_t host[kHostNameChars] = {};
    wchar_t user[kUserNameChars] = {};
    wchar_t password[kPasswordChars] = {};
    wchar_t path[kUrlPathChars] = {};
    URL_COMPONENTSW components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host;
    components.dwHostNameLength = kHostNameChars;
    components.lpszUserName = user;
    components.dwUserNameLength = kUserNameChars;
    components.lpszPassword = password;
    components.dwPasswordLength = kPasswordChars;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = kUrlPathChars;
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &components) ||
        (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS))
        return false;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host = host;
    parts.port = components.nPort;
    parts.user = user;
    parts.password = password;
    parts.path = path[0] != L'\0' ? path : L"/";
    return true;
}

DWORD QueryStatusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return 0;
    return status;
}

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Some CDNs and stores of signed links answer HEAD so, while their GET works.
bool RefusesHead(DWORD status)
{
    return status == 403 || status == 405 || status == 501;
}

// An answer's Content-Length in full width; nothing when it has none (or none that reads as
// a number). A GET without one ends its body with the connection.
std::optional<uint64_t> QueryContentLength(HINTERNET request)
{
    wchar_t text[32] = {};
    DWORD bytes = sizeof(text);
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &bytes, nullptr) || text[0] == L'\0')
        return std::nullopt;
    uint64_t length = 0;
    for (const wchar_t* digit = text; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9' || length > (UINT64_MAX - 9) / 10)
            return std::nullopt;
        length = length * 10 + static_cast<uint64_t>(*digit - L'0');
    }
    return length;
}

// Where a redirect answer sends the request, made absolute; empty when it names no place.
std::wstring RedirectTarget(HINTERNET request, const std::wstring& from)
{
    wchar_t location[kRedirectUrlChars] = {};
    DWORD bytes = sizeof(location);
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location, &bytes, nullptr) || location[0] == L'\0')
        return std::wstring();
    wchar_t target[kRedirectUrlChars] = {};
    DWORD chars = kRedirectUrlChars;
    if (!InternetCombineUrlW(from.c_str(), location, target, &chars, ICU_NO_ENCODE))
        return std::wstring();
    return target;
}

// A WinINet call that failed before any answer came.
bool NoAnswer(LinkReport& report, const char* call)
{
    report.fault = LinkFault::NoAnswer;
    report.failedCall = call;
    report.error = GetLastError();
    report.status = 0;
    return false;
}

// 200, and 206 for a GET that asked for the rest of a body.
bool IsBodyStatus(DWORD status)
{
    return status == kSuccessStatus || status == kPartialStatus;
}

// Answers that an immediate retry would not change: success, a redirect, and a host's
// refusal of HEAD.
bool IsSettled(DWORD status, bool head)
{
    return IsBodyStatus(status) || IsRedirect(status) || (head && RefusesHead(status));
}

// The seconds a busy host (429 or 503) asks for in Retry-After, at most a minute; 0 when it
// names none as a number.
unsigned RetryAfterSeconds(HINTERNET request, DWORD status)
{
    if (status != 429 && status != 503)
        return 0;
    DWORD seconds = 0;
    DWORD size = sizeof(seconds);
    if (!HttpQueryInfoW(request, HTTP_QUERY_RETRY_AFTER | HTTP_QUERY_FLAG_NUMBER, &seconds, &size, nullptr))
        return 0;
    return std::min<unsigned>(seconds, kLongestRetryAfterSeconds);
}

// Waits as the host asked; a cancel ends the wait.
void WaitAsAsked(unsigned seconds, DownloadJob* job)
{
    if (!job) {
        Sleep(seconds * 1000);
        return;
    }
    job->secondsToWait.store(seconds);
    WaitForSingleObject(job->CancelEvent(), seconds * 1000);
    job->secondsToWait.store(0);
}

// Sends up to `attempts` times with the extra `headers`; true at the first settled answer. A
// busy host's Retry-After is waited out before the next attempt. The report keeps how the
// last attempt went: its fault is None for 200, 206 and a redirect.
bool SendWithRetry(HINTERNET request, const RequestState* state, int attempts, bool head, const std::wstring& headers,
                   DownloadJob* job, LinkReport& report)
{
    for (int attempt = 0; attempt < attempts && !IsCancelled(job); ++attempt) {
        ++report.attempts;
        if (!Completed(HttpSendRequestW(request, headers.empty() ? nullptr : headers.c_str(),
                                        static_cast<DWORD>(headers.size()), nullptr, 0),
                       state, job)) {
            NoAnswer(report, "HttpSendRequest");
            continue;
        }
        report.status = QueryStatusCode(request);
        report.fault = IsBodyStatus(report.status) || IsRedirect(report.status) ? LinkFault::None : LinkFault::Status;
        if (IsSettled(report.status, head))
            return true;
        const unsigned wait = RetryAfterSeconds(request, report.status);
        if (wait > 0 && attempt + 1 < attempts)
            WaitAsAsked(wait, job);
    }
    return false;
}

// Connects to `url` and sends `verb` there with the extra `headers`, up to `attempts` times.
bool SendTo(HttpExchange& exchange, const WebUrl& url, const wchar_t* verb, int attempts,
            const std::wstring& headers, SentRequest& sent, LinkReport& report)
{
    CloseRequest(sent.request, exchange.job);
    sent.connection.reset(InternetConnectW(exchange.root.get(), url.host.c_str(), url.port, url.user.c_str(),
                                           url.password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
    if (!sent.connection)
        return NoAnswer(report, "InternetConnect");
    const DWORD flags = kRequestFlags | (url.secure ? INTERNET_FLAG_SECURE : 0);
    sent.state = std::make_shared<RequestState>();
    auto* const callbackReference = new std::shared_ptr<RequestState>(sent.state);
    sent.request.reset(HttpOpenRequestW(sent.connection.get(), verb, url.path.c_str(), kHttpVersion, kReferrer, nullptr,
                                        flags, reinterpret_cast<DWORD_PTR>(callbackReference)));
    if (!sent.request) {
        delete callbackReference;
        return NoAnswer(report, "HttpOpenRequest");
    }
    SetTimeouts(sent.request.get());
    if (exchange.job && !exchange.job->Watch(sent.request.get()))
        return false;  // cancelled
    return SendWithRetry(sent.request.get(), sent.state.get(), attempts, std::wcscmp(verb, L"HEAD") == 0, headers,
                         exchange.job, report);
}

// Sends `verb` to `link` and follows the host's redirects: true when the last answer is 200.
// Once a step is https no later one may be plain http. `report.url` says where it ended.
bool SendFollowingRedirects(HttpExchange& exchange, const std::wstring& link, const wchar_t* verb, int attempts,
                            const std::wstring& headers, SentRequest& sent, LinkReport& report)
{
    bool secureSoFar = false;
    report.url = link;
    for (int redirects = 0;; ++redirects) {
        WebUrl parts;
        if (!SplitWebUrl(report.url, parts)) {
            report.fault = LinkFault::NotHttp;
            return false;
        }
        if (secureSoFar && !parts.secure) {
            report.fault = LinkFault::Downgraded;
            return false;
        }
        secureSoFar = parts.secure;
        if (!SendTo(exchange, parts, verb, attempts, headers, sent, report))
            return false;
        if (!IsRedirect(report.status))
            return report.fault == LinkFault::None;
        if (redirects == kMostRedirects) {
            report.fault = LinkFault::RedirectLoop;
            return false;
        }
        const std::wstring target = RedirectTarget(sent.request.get(), report.url);
        if (target.empty()) {
            report.fault = LinkFault::Status;  // a redirect that names no place
            return false;
        }
        report.url = target;
    }
}

// A size of at most 1 GiB; the report says what was wrong with any other.
bool AcceptSize(std::optional<uint64_t> size, LinkReport& report)
{
    if (!size) {
        report.fault = LinkFault::NoContentLength;
        return false;
    }
    report.size = *size;
    if (report.size > kLargestSize) {
        report.fault = LinkFault::TooLarge;
        return false;
    }
    return true;
}

// The GET, sent where the HEAD ended; the size request stays open until the end. The report
// then speaks of the GET.
bool SendBodyRequest(HttpExchange& exchange, const std::wstring& url, int attempts, const std::wstring& headers,
                     LinkReport& report)
{
    const bool headRefused = report.headRefused;
    report = LinkReport();
    report.method = "GET";
    report.headRefused = headRefused;
    return SendFollowingRedirects(exchange, url, L"GET", attempts, headers, exchange.body, report);
}

// Opens the root handle and asks for the size with HEAD; true when an acceptable size came
// back. A host that refuses HEAD gets the GET at once, and its Content-Length is the size.
// The report says how far it got.
bool SendSizeRequest(const std::wstring& url, int attempts, HttpExchange& exchange, LinkReport& report)
{
    exchange.root.reset(InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC));
    if (!exchange.root)
        return NoAnswer(report, "InternetOpen");
    InternetSetStatusCallbackW(exchange.root.get(), OnRequestStatus);
    SetTimeouts(exchange.root.get());
    if (SendFollowingRedirects(exchange, url, L"HEAD", attempts, std::wstring(), exchange.size, report))
        return AcceptSize(QueryContentLength(exchange.size.request.get()), report);
    if (report.fault != LinkFault::Status || !RefusesHead(report.status))
        return false;
    report.headRefused = true;
    const std::wstring where = report.url;
    return SendBodyRequest(exchange, where, kDownloadAttempts, std::wstring(), report) &&
           AcceptSize(QueryContentLength(exchange.body.request.get()), report);
}

FileHandle CreateOutputFile(const std::wstring& path)
{
    return FileHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A failed write, a short one included: a full disk would otherwise pass for a finished
// download.
bool WriteBlock(HANDLE file, const char* data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

DownloadFault WriteFailed(DownloadReport& report)
{
    report.error = GetLastError();
    return DownloadFault::WriteFailed;
}

// Where a body's bytes go as they arrive: a file or memory. Take fails with the reason in
// the thread's last error.
class BodySink {
public:
    virtual bool Take(const char* data, DWORD size) = 0;

protected:
    ~BodySink() = default;
};

class FileSink final : public BodySink {
public:
    explicit FileSink(HANDLE file) : m_file(file) {}
    bool Take(const char* data, DWORD size) override { return WriteBlock(m_file, data, size); }

private:
    HANDLE m_file;  // borrowed from the caller, who closes it
};

// At most `largest` bytes.
class MemorySink final : public BodySink {
public:
    MemorySink(std::string& bytes, size_t largest) : m_bytes(bytes), m_largest(largest) {}
    bool Take(const char* data, DWORD size) override
    {
        if (size > m_largest - m_bytes.size()) {
            SetLastError(ERROR_FILE_TOO_LARGE);
            return false;
        }
        try {
            m_bytes.append(data, size);
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        return true;
    }

private:
    std::string& m_bytes;  // the caller's
    const size_t m_largest;
};

// Less than the size request announced is never a whole body, and neither is less than the
// GET's own Content-Length.
uint64_t WholeBodyLength(HINTERNET request, uint64_t announced)
{
    return std::max(announced, QueryContentLength(request).value_or(0));
}

// The one read loop of every body, through one block-sized buffer, until the report has
// `required` bytes or more. With a job, its cancel flag is looked at after every read (the
// final empty one included) and its byte count follows every block taken.
DownloadFault ReadBody(const SentRequest& sent, uint64_t required, BodySink& sink, DownloadJob* job,
                       DownloadReport& report)
{
    RequestState& state = *sent.state;
    for (;;) {
        state.read = 0;
        const bool readOk =
            Completed(InternetReadFile(sent.request.get(), state.buffer, kReadBlockSize, &state.read), &state, job);
        const DWORD read = state.read;
        if (IsCancelled(job))
            return DownloadFault::Cancelled;
        if (!readOk) {
            report.bodyLength = required;
            return DownloadFault::CutShort;
        }
        if (read == 0)
            break;
        if (!sink.Take(state.buffer, read))
            return WriteFailed(report);
        report.receivedBytes += read;
        if (job)
            job->receivedBytes.store(report.receivedBytes, std::memory_order_relaxed);
    }
    // A connection that drops mid-body, chunked or not, ends the reads as the end of the
    // body does: only the announced length tells them apart.
    if (report.receivedBytes >= required)
        return DownloadFault::None;
    report.bodyLength = required;
    return DownloadFault::CutShort;
}

// A login page answers every link with one; no file we fetch is a web page.
bool IsWebPage(HINTERNET request)
{
    wchar_t type[64] = {};
    DWORD bytes = sizeof(type);
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_TYPE, type, &bytes, nullptr))
        return false;
    const wchar_t html[] = L"text/html";
    const int length = static_cast<int>(std::wcslen(html));
    return CompareStringOrdinal(type, std::min(length, static_cast<int>(std::wcslen(type))), html, length, TRUE) ==
           CSTR_EQUAL;
}

std::wstring QueryText(HINTERNET request, DWORD query)
{
    wchar_t text[256] = {};
    DWORD bytes = sizeof(text);
    return HttpQueryInfoW(request, query, text, &bytes, nullptr) ? std::wstring(text) : std::wstring();
}

// What an If-Range may name: a strong ETag, else the Last-Modified date; empty when the
// answer names neither, and a cut body then starts again from 0.
std::wstring ResumeValidator(HINTERNET request)
{
    const std::wstring tag = QueryText(request, HTTP_QUERY_ETAG);
    if (!tag.empty() && tag.compare(0, 2, L"W/") != 0)
        return tag;
    return QueryText(request, HTTP_QUERY_LAST_MODIFIED);
}

// Only a 206 whose Content-Range starts where the file ends and whose total is the whole
// body's length continues the file.
bool ContinuesAt(HINTERNET request, uint64_t offset, uint64_t whole)
{
    if (QueryStatusCode(request) != kPartialStatus)
        return false;
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    return swscanf(QueryText(request, HTTP_QUERY_CONTENT_RANGE).c_str(), L"bytes %llu-%llu/%llu", &first, &last,
                   &total) == 3 &&
           first == offset && total == whole;
}

// An answer that does not continue the file: it is read from its start.
bool StartAgain(HANDLE file, DownloadJob* job, DownloadReport& report)
{
    report.receivedBytes = 0;
    if (job)
        job->receivedBytes.store(0, std::memory_order_relaxed);
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Reads the GET's body into the file. A body cut short is a failed attempt, not a failed
// download: within the download's attempts it is asked for again, from where it was cut
// when the host named a validator for If-Range.
DownloadFault ReceiveResuming(HttpExchange& exchange, uint64_t announced, HANDLE file, DownloadJob* job,
                              DownloadReport& report)
{
    const std::wstring where = report.request.url;
    const uint64_t whole = WholeBodyLength(exchange.body.request.get(), announced);
    const std::wstring validator = ResumeValidator(exchange.body.request.get());
    FileSink sink(file);
    DownloadFault fault = ReadBody(exchange.body, whole, sink, job, report);
    for (int attempt = 1; fault == DownloadFault::CutShort && attempt < kDownloadAttempts; ++attempt) {
        const bool resumes = !validator.empty() && whole > 0 && report.receivedBytes > 0;
        const std::wstring headers =
            resumes ? L"Range: bytes=" + std::to_wstring(report.receivedBytes) + L"-\r\nIf-Range: " + validator + L"\r\n"
                    : std::wstring();
        if (!SendBodyRequest(exchange, where, 1, headers, report.request))
            continue;
        if (!(resumes && ContinuesAt(exchange.body.request.get(), report.receivedBytes, whole)) &&
            !StartAgain(file, job, report))
            return WriteFailed(report);
        fault = ReadBody(exchange.body, whole, sink, job, report);
    }
    return IsCancelled(job) ? DownloadFault::Cancelled : fault;
}

// The name a download writes to until all of it has arrived: the destination followed by a
// point and the local hour, minute and second.
std::wstring TemporaryPathFor(const std::wstring& path)
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t suffix[16] = {};
    swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), kTemporarySuffixFormat, now.wHour, now.wMinute, now.wSecond);
    return path + suffix;
}

// True for the destination's file name followed by a point and six digits.
bool IsTemporaryNameOf(const std::wstring& name, const std::wstring& fileName)
{
    const size_t stampStart = fileName.size() + 1;
    if (name.size() != stampStart + kTemporaryStampDigits || name[fileName.size()] != L'.' ||
        CompareStringOrdinal(name.c_str(), static_cast<int>(fileName.size()), fileName.c_str(),
                             static_cast<int>(fileName.size()), TRUE) != CSTR_EQUAL)
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stampStart), name.end(),
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// A process that ends mid-download leaves its temporary file behind under a name that
// changes with every run; without this they would pile up beside the destination. A file
// still being written is open without delete sharing, so its deletion fails.
void RemoveLeftoverTemporaryFiles(const std::wstring& path)
{
    const size_t folderEnd = path.find_last_of(L"\\/") + 1;  // 0 when there is no folder
    const std::wstring folder = path.substr(0, folderEnd);
    const std::wstring fileName = path.substr(folderEnd);
    WIN32_FIND_DATAW found = {};
    // The pattern only narrows the search: "setup.exe.*" matches setup.exe itself as well.
    const FindHandle search(FindFirstFileW((path + L".*").c_str(), &found));
    if (!search)
        return;
    do {
        if (IsTemporaryNameOf(found.cFileName, fileName))
            DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search.get(), &found));
}

// None when the file holds each part of the job's pin: its hash, then its signer (the dearer
// check). A cancel while hashing is Cancelled.
DownloadFault CheckPin(const std::wstring& path, DownloadJob& job, DownloadReport& report)
{
    if (!job.pin.sha256.empty() && Sha256OfFile(path, &job.cancelRequested) != job.pin.sha256)
        return job.cancelRequested.load() ? DownloadFault::Cancelled : DownloadFault::HashMismatch;
    if (job.pin.signer.empty())
        return DownloadFault::None;
    report.signer = CheckInstallerSignerOfFile(path, job.pin.signer);
    return report.signer.verdict == SignerVerdict::Vouched ? DownloadFault::None : DownloadFault::SignerRefused;
}

// Whether `path` begins as an installer called `name` does (see HoldsInstallerSignature):
// the temporary file is looked at under the destination's name.
bool BeginsAsInstallerNamed(const std::wstring& path, const std::wstring& name)
{
    static const unsigned char kProgram[] = {'M', 'Z'};
    static const unsigned char kPackage[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    const auto endsWith = [&name](const wchar_t* suffix) {
        const size_t length = std::wcslen(suffix);
        return name.size() >= length &&
               CompareStringOrdinal(name.c_str() + name.size() - length, static_cast<int>(length), suffix,
                                    static_cast<int>(length), TRUE) == CSTR_EQUAL;
    };
    const unsigned char* signature = nullptr;
    DWORD length = 1;  // any other name: at least one byte
    if (endsWith(L".exe")) {
        signature = kProgram;
        length = sizeof(kProgram);
    } else if (endsWith(L".msi")) {
        signature = kPackage;
        length = sizeof(kPackage);
    }
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    unsigned char start[8] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), start, length, &read, nullptr) || read != length)
        return false;
    return !signature || std::equal(signature, signature + length, start);
}

// Streams the body to the temporary file and puts it in place of `path` only when all of it
// has arrived and is on the disk; otherwise only the temporary file is removed, and `path`
// stays as it was. A job's file is an installer, which must begin as one.
DownloadFault ReceiveIntoPlace(HttpExchange& exchange, uint64_t announced, const std::wstring& temporaryPath,
                               const std::wstring& path, DownloadJob* job, DownloadReport& report)
{
    FileHandle file = CreateOutputFile(temporaryPath);
    if (!file)
        return WriteFailed(report);
    DownloadFault fault = ReceiveResuming(exchange, announced, file.get(), job, report);
    // A power cut after the rename must not leave a file of the right size holding zeros.
    if (fault == DownloadFault::None && !FlushFileBuffers(file.get()))
        fault = WriteFailed(report);
    file.reset();
    if (fault == DownloadFault::None && job && !BeginsAsInstallerNamed(temporaryPath, path))
        fault = DownloadFault::WebPage;
    // A broken mirror, a changed file or another's signature never takes the name.
    if (fault == DownloadFault::None && job)
        fault = CheckPin(temporaryPath, *job, report);
    if (fault == DownloadFault::None) {
        if (ReplaceFileInOneStep(temporaryPath, path, &report.error))
            return DownloadFault::None;
        fault = DownloadFault::MoveFailed;
    }
    // Failed, cancelled, or the old destination could not be replaced: leave nothing behind.
    DeleteFileW(temporaryPath.c_str());
    return fault;
}

// The HEAD for the size, then the GET where the HEAD ended (a host that refused HEAD has
// already been sent the GET); `announced` is the size the body must reach. A HEAD's zero
// is no size: with a GET that names none either, nothing would tell a dropped connection
// from the end of the body.
DownloadFault SendRequestsForBody(const std::wstring& url, HttpExchange& exchange, uint64_t& announced,
                                  LinkReport& report)
{
    if (!SendSizeRequest(url, kDownloadAttempts, exchange, report))
        return DownloadFault::Request;
    announced = report.size;
    if (!exchange.body.request) {
        const std::wstring where = report.url;
        if (!SendBodyRequest(exchange, where, kDownloadAttempts, std::wstring(), report))
            return DownloadFault::Request;
    }
    if (announced == 0 && !QueryContentLength(exchange.body.request.get())) {
        report.fault = LinkFault::NoContentLength;
        return DownloadFault::Request;
    }
    // Refused before its body is read: a login page, or a host's error page sent with 200.
    return IsWebPage(exchange.body.request.get()) ? DownloadFault::WebPage : DownloadFault::None;
}

// The HEAD, the GET and the body into place; the report's fault says how it ended.
DownloadReport Fetch(const std::wstring& url, const std::wstring& path, DownloadJob* job)
{
    DownloadReport report;
    RemoveLeftoverTemporaryFiles(path);
    const std::wstring temporaryPath = TemporaryPathFor(path);
    HttpExchange exchange(job);
    uint64_t announced = 0;
    report.fault = SendRequestsForBody(url, exchange, announced, report.request);
    if (report.fault == DownloadFault::None) {
        if (job)
            job->totalBytes.store(announced, std::memory_order_relaxed);
        report.fault = ReceiveIntoPlace(exchange, announced, temporaryPath, path, job, report);
    }
    if (IsCancelled(job))
        report.fault = DownloadFault::Cancelled;
    return report;
}

}  // namespace

bool SendRequestWithRetry(HINTERNET request, int attempts)
{
    LinkReport report;
    return request && SendWithRetry(request, nullptr, attempts, false, std::wstring(), nullptr, report) &&
           report.status == kSuccessStatus;
}

bool IsCatalogueReachable()
{
    HttpExchange exchange;
    LinkReport report;
    return SendSizeRequest(CatalogueUrl(), kProbeAttempts, exchange, report);
}

LinkReport ProbeLink(const std::wstring& url)
{
    HttpExchange exchange;
    LinkReport report;
    SendSizeRequest(url, kDownloadAttempts, exchange, report);
    return report;
}

bool DownloadToFile(const std::wstring& url, const std::wstring& path)
{
    return Fetch(url, path, nullptr).fault == DownloadFault::None;
}

bool DownloadToMemory(const std::wstring& url, std::string& bytes, size_t largest)
{
    bytes.clear();
    HttpExchange exchange;
    DownloadReport report;
    uint64_t announced = 0;
    if (SendRequestsForBody(url, exchange, announced, report.request) != DownloadFault::None || announced > largest)
        return false;
    std::string body;
    MemorySink sink(body, largest);
    const uint64_t whole = WholeBodyLength(exchange.body.request.get(), announced);
    if (ReadBody(exchange.body, whole, sink, nullptr, report) != DownloadFault::None)
        return false;
    bytes.swap(body);
    return true;
}

DownloadReport RunDownload(DownloadJob& job)
{
    if (!job.pin.empty() && PathExists(job.path)) {
        DownloadReport report;
        report.fault = CheckPin(job.path, job, report);
        if (report.fault == DownloadFault::None) {
            report.alreadyThere = true;  // already there, and the right file
            return report;
        }
        if (report.fault == DownloadFault::Cancelled)
            return report;
        // Stale or broken: fetched again, and replaced only by a body that holds the pin.
    }
    return Fetch(job.url, job.path, &job);
}

bool HoldsInstallerSignature(const std::wstring& path)
{
    return BeginsAsInstallerNamed(path, path);
}

unsigned __stdcall DownloadJobThread(void* job)
{
    const std::unique_ptr<std::shared_ptr<DownloadJob>> reference(static_cast<std::shared_ptr<DownloadJob>*>(job));
    DownloadJob& downloadJob = **reference;
    downloadJob.report = RunDownload(downloadJob);
    downloadJob.succeeded.store(downloadJob.report.fault == DownloadFault::None);
    downloadJob.finished.store(true);
    return 0;  // the thread's reference goes here, after the last write to the job
}

CAsyncDownload::~CAsyncDownload()
{
    Cancel();
}

void CAsyncDownload::Start(const std::wstring& url, const std::wstring& path, const InstallerPin& pin)
{
    m_job = std::make_shared<DownloadJob>(url, path, pin);
    auto* threadReference = new std::shared_ptr<DownloadJob>(m_job);
    const uintptr_t thread = _beginthreadex(nullptr, 0, DownloadJobThread, threadReference, 0, nullptr);
    if (thread == 0) {
        // No thread will ever finish it: it reads as finished with no file, a failed download,
        // instead of running forever.
        delete threadReference;
        m_job->finished.store(true);
        return;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));  // detached: nobody waits for it
}

int CAsyncDownload::GetPercent() const
{
    if (!m_job)
        return 0;
    const uint64_t total = m_job->totalBytes.load(std::memory_order_relaxed);
    if (total == 0)
        return 0;
    const uint64_t percent = m_job->receivedBytes.load(std::memory_order_relaxed) * 100 / total;
    // A GET far longer than its HEAD announced must not wrap into a negative percentage.
    return static_cast<int>(std::min<uint64_t>(percent, INT_MAX));
}

bool CAsyncDownload::IsFinished() const
{
    return !m_job || m_job->finished.load();
}

bool CAsyncDownload::Succeeded() const
{
    return m_job && m_job->succeeded.load();
}

DownloadReport CAsyncDownload::Report() const
{
    return m_job && m_job->finished.load() ? m_job->report : DownloadReport();
}

unsigned CAsyncDownload::SecondsToWait() const
{
    return m_job ? m_job->secondsToWait.load() : 0;
}

void CAsyncDownload::Release()
{
    m_job.reset();
}

void CAsyncDownload::Cancel()
{
    if (m_job)
        m_job->Cancel();
    Release();
}

void DownloadJob::Cancel()
{
    const std::lock_guard<std::mutex> lock(m_watchMutex);
    cancelRequested.store(true);
    SetEvent(m_cancelled.get());
    if (m_watched) {
        InternetCloseHandle(m_watched);
        m_closedByCancel = m_watched;
        m_watched = nullptr;
    }
}

bool DownloadJob::Watch(HINTERNET request)
{
    const std::lock_guard<std::mutex> lock(m_watchMutex);
    if (cancelRequested.load())
        return false;
    m_watched = request;
    return true;
}

bool DownloadJob::StopWatching(HINTERNET request)
{
    const std::lock_guard<std::mutex> lock(m_watchMutex);
    if (m_watched == request)
        m_watched = nullptr;
    return request != m_closedByCancel;
}
