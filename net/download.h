#pragma once
// Download of one http or https URL into one file through WinINet: a HEAD for the size, then
// a GET for the body, where the HEAD's redirects ended. A host that refuses HEAD (403, 405
// or 501) is asked with the GET alone, whose Content-Length then gives the size. Every
// failure is silent; callers word it for the user.

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/unique_handle.h"
#include "net/installer_signature.h"

// Sends an opened request up to `attempts` times, at once one after another; true as soon
// as an answer carries status 200. A null request or fewer than one attempt sends nothing.
bool SendRequestWithRetry(HINTERNET request, int attempts);

// One HEAD of the catalogue URL: true when it answers 200 with a Content-Length of at most
// 1 GiB, after any redirects. Blocks its caller for one exchange.
bool IsCatalogueReachable();

// How one request of a download went: the size request (HEAD) that starts every download,
// or the body request (GET) after it. The program's own services only say whether a
// download worked; a publisher checking links needs to know why one fails.
enum class LinkFault {
    None,             // 200 with an acceptable Content-Length
    NotHttp,          // the URL (or a redirect's target) does not split into an http or https address
    NoAnswer,         // a WinINet call failed before any status came back: see `error`
    Status,           // the last attempt was answered, with another status than 200
    NoContentLength,  // 200, without a Content-Length that reads as a number
    TooLarge,         // 200, announcing more than 1 GiB
    Downgraded,       // redirected from https to plain http, which is never followed
    RedirectLoop,     // more redirects than any host needs
};

struct LinkReport {
    const char* method = "HEAD";  // the request reported on
    LinkFault fault = LinkFault::None;
    const char* failedCall = "";  // NoAnswer: the WinINet function that failed
    DWORD error = 0;              // NoAnswer: that call's error code
    DWORD status = 0;             // the last answer's status; 0 when none came
    uint64_t size = 0;            // None and TooLarge: the announced Content-Length
    int attempts = 0;             // requests sent, redirects included
    bool headRefused = false;     // the host refused HEAD: the size is the GET's
    std::wstring url;             // where the request went last, after the redirects
};

// What an installer download asks before its body: the HEAD, with its user agent, attempts,
// redirects and checks. When the host refuses HEAD, the GET is sent and closed once its
// headers are read. Blocks its caller for the exchange.
LinkReport ProbeLink(const std::wstring& url);

// Blocks until the body has been written to `path`; true only when all of it arrived and was
// written. Like a background download it writes under a temporary name beside `path` and
// moves the file into place only after the whole body: whatever ends the transfer, even
// the end of the process, `path` never holds part of a body. A transfer that fails leaves
// `path` untouched and removes the temporary file; one left by an ended process goes with
// the next download to the same `path`.
bool DownloadToFile(const std::wstring& url, const std::wstring& path);

// The whole body in memory, for small files such as the catalogue and its signature, which
// are checked before anything is written. The same HEAD and GET as DownloadToFile; true only
// when the body is at least as long as both the HEAD and the GET announce, and at most
// `largest` bytes: a hostile answer must not exhaust a 32-bit process.
bool DownloadToMemory(const std::wstring& url, std::string& bytes, size_t largest);

// Whether the file begins as an installer of its name's kind does: "MZ" for an ".exe", the
// compound-file signature for an ".msi", at least one byte for any other name. A web page,
// an error text or an empty body never does.
bool HoldsInstallerSignature(const std::wstring& path);

// How a download ended. Only `fault` is read when it worked.
enum class DownloadFault {
    None,
    Request,       // the HEAD or the GET failed: see `request`
    CutShort,      // the body ended short of what the HEAD or the GET announced, or a read failed
    WriteFailed,   // the temporary file could not be created or written: see `error`
    HashMismatch,  // the whole body came, with another SHA-256 than expected
    SignerRefused, // the whole body came, without a good signature by the expected signer: see `signer`
    WebPage,       // a web page (text/html), or a body that does not begin as an installer does
    MoveFailed,    // the finished file could not take the destination's name: see `error`
    Cancelled,
};

struct DownloadReport {
    DownloadFault fault = DownloadFault::None;
    bool alreadyThere = false;  // the file in place held the pin: nothing was fetched
    LinkReport request;         // the last request sent
    uint64_t receivedBytes = 0; // body bytes written
    uint64_t bodyLength = 0;    // CutShort: the length announced; 0 when a read failed before any was
    DWORD error = 0;            // WriteFailed, MoveFailed: the system's error code
    SignerCheck signer;         // SignerRefused: how the signature stood
};

// One background download, shared by its owner and its thread through std::shared_ptr: the
// owner may let go at any time, and the job lives until the thread has let go too. Each
// field has one writer.
struct DownloadJob {
    DownloadJob(std::wstring sourceUrl, std::wstring destinationPath, InstallerPin expected)
        : url(std::move(sourceUrl)), path(std::move(destinationPath)), pin(std::move(expected))
    {
    }

    const std::wstring url;
    const std::wstring path;                   // final destination
    const InstallerPin pin;                    // what the body must hold; empty: any body will do
    std::atomic<uint64_t> totalBytes{0};       // the announced size (HEAD, or GET when HEAD is refused); thread writes
    std::atomic<uint64_t> receivedBytes{0};    // written to the temporary file so far; thread writes
    std::atomic<bool> cancelRequested{false};  // owner writes, through Cancel
    std::atomic<unsigned> secondsToWait{0};    // the host asked to wait this long (Retry-After); thread writes
    std::atomic<bool> succeeded{false};        // thread writes, before `finished`
    DownloadReport report;                     // thread writes, before `finished`
    std::atomic<bool> finished{false};         // thread writes, as its last write to the job

    // The owner's side: sets the flag and the event, which end the thread's wait on a pending
    // HttpSendRequest or InternetReadFile at once, and closes the request it sends or reads on.
    void Cancel();
    // The thread's side. Watch: the request a cancel is to close; false, watching nothing,
    // once cancelled. StopWatching: false when a cancel has closed `request` already, which
    // the thread then must not close again.
    bool Watch(HINTERNET request);
    bool StopWatching(HINTERNET request);
    HANDLE CancelEvent() const { return m_cancelled.get(); }  // set by Cancel

private:
    const KernelHandle m_cancelled{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::mutex m_watchMutex;            // guards the two below
    HINTERNET m_watched = nullptr;      // borrowed from the thread
    HINTERNET m_closedByCancel = nullptr;
};

// Thread body of a background download, started by CAsyncDownload::Start with a
// heap-allocated std::shared_ptr<DownloadJob>, the thread's reference, which it deletes. Writes under a temporary name and moves the file into place only
// after the whole body arrived, so the destination never holds part of a body. First
// removes the temporary files that earlier, ended processes left for the same destination.
//
// With a pin (an expected hash, signer or both), a destination already there is checked
// first: kept when it holds, otherwise downloaded again. The new body takes the name in one
// step, flushed, only when it is whole and holds the pin; one that does not is deleted, the
// old file stays, and the download fails. Checking happens on this thread, and a cancel stops
// the hashing.
unsigned __stdcall DownloadJobThread(void* job);

// The download DownloadJobThread runs, run on the calling thread instead: the job's byte
// counts follow it as they would, and the report says how it ended. Leaves the job's
// reference count alone.
DownloadReport RunDownload(DownloadJob& job);

// The owner's side of a background download. Once IsFinished, Succeeded says whether the
// destination holds the whole body (and, with a pin, a body that holds it).
class CAsyncDownload {
public:
    CAsyncDownload() = default;
    ~CAsyncDownload();  // cancels a job still held
    CAsyncDownload(const CAsyncDownload&) = delete;
    CAsyncDownload& operator=(const CAsyncDownload&) = delete;

    // The handle must be empty (new, released or cancelled); Start drops nothing. An empty
    // `pin` takes whatever body arrives and never looks at an existing file.
    void Start(const std::wstring& url, const std::wstring& path, const InstallerPin& pin = {});
    int GetPercent() const;   // may end below or above 100 when HEAD and GET disagree
    bool IsFinished() const;  // the thread has let go of the job; an empty handle is finished
    bool Succeeded() const;   // once finished; false for an empty handle
    DownloadReport Report() const;  // once finished: how it went; empty for an empty handle
    unsigned SecondsToWait() const;  // while the host has asked to wait before the next attempt; else 0
    void Release();
    void Cancel();  // the thread discards the temporary file by itself

private:
    std::shared_ptr<DownloadJob> m_job;  // none when empty
};
