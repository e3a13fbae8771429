#pragma once
// Plain-HTTP download of one URL into one file through WinINet: a HEAD for the size, then
// a GET for the body. Every failure is silent; callers word it for the user.

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

// Sends an opened request up to `attempts` times, at once one after another; true as soon
// as an answer carries status 200. A null request or fewer than one attempt sends nothing.
bool SendRequestWithRetry(HINTERNET request, int attempts);

// One HEAD of the catalogue URL: true when it answers 200 with a Content-Length of at most
// 1 GiB. Blocks its caller for one exchange.
bool IsCatalogueReachable();

// Blocks until the body has been written to `path`; true only when all of it arrived and was
// written. Like a background download it writes under a temporary name beside `path` and
// moves the file into place only after the whole body: whatever ends the transfer, even
// the end of the process, `path` never holds part of a body. A transfer that fails leaves
// `path` untouched and removes the temporary file; one left by an ended process goes with
// the next download to the same `path`.
bool DownloadToFile(const std::wstring& url, const std::wstring& path);

// One background download, shared by its owner and its thread, each holding one reference.
// Whoever drops the last reference frees it. Each field has one writer.
struct DownloadJob {
    DownloadJob(std::wstring sourceUrl, std::wstring destinationPath)
        : url(std::move(sourceUrl)), path(std::move(destinationPath))
    {
    }

    const std::wstring url;
    const std::wstring path;                   // final destination
    std::atomic<uint64_t> totalBytes{0};       // the HEAD answer's Content-Length; thread writes
    std::atomic<uint64_t> receivedBytes{0};    // written to the temporary file so far; thread writes
    std::atomic<LONG> refCount{2};             // owner + thread; interlocked changes only
    std::atomic<bool> cancelRequested{false};  // owner writes
};

// Thread body of a background download, started by CAsyncDownload::Start with the job it
// holds one reference to. Writes under a temporary name and moves the file into place only
// after the whole body arrived, so the destination exists afterwards only on success. First
// removes the temporary files that earlier, ended processes left for the same destination.
unsigned __stdcall DownloadJobThread(void* job);

// The owner's side of a background download. The result is learnt from the file system:
// once IsFinished, the destination exists if and only if the download succeeded.
class CAsyncDownload {
public:
    CAsyncDownload() = default;
    ~CAsyncDownload();  // cancels a job still held
    CAsyncDownload(const CAsyncDownload&) = delete;
    CAsyncDownload& operator=(const CAsyncDownload&) = delete;

    // The handle must be empty (new, released or cancelled); Start drops nothing.
    void Start(const std::wstring& url, const std::wstring& path);
    int GetPercent() const;   // may end below or above 100 when HEAD and GET disagree
    bool IsFinished() const;  // the thread has let go of the job; an empty handle is finished
    void Release();
    void Cancel();  // the thread discards the temporary file by itself

private:
    DownloadJob* m_job = nullptr;
};
