#pragma once
// A small HTTP/1.1 server on 127.0.0.1 inside the test program, on Winsock. Each path gets
// its own answer to HEAD and to GET; every request is recorded so tests can count sends.
// Connections are kept alive and may carry several requests, as WinINet expects.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle.h"

struct HttpAnswer {
    int status = 200;
    std::string body;          // sent to GET only; HEAD gets the headers
    uint64_t bodyRepeats = 1;  // the body is sent this many times over: large bodies, small memory
    // Announced size; by default the size of the body sent. A body shorter than announced is
    // followed by closing the connection, as when a connection drops.
    std::optional<uint64_t> contentLength;
    bool sendContentLength = true;  // without it a GET body ends with the connection
    // Stop after this many body bytes until Resume(); WaitUntilPaused() tells when. The whole
    // body's size pauses after the last byte, before a connection that ends the body closes.
    std::optional<uint64_t> pauseAfter;
    DWORD delayMs = 0;  // answers only after this long, as a distant server would
    std::string location;  // sent as the Location header: where a redirect points
    // The GET body in chunks of kChunkBytes, without Content-Length. Without `lastChunk` the
    // connection closes after the body instead of the empty chunk that ends it.
    bool chunked = false;
    bool lastChunk = true;
    // The first `drops` GETs of the path close the connection after this many body bytes.
    std::optional<uint64_t> dropAfter;
    int drops = 1;
    // Answers `Range: bytes=N-` with 206 and Content-Range, names an ETag and a
    // Last-Modified, and honours If-Range.
    bool servesRange = false;
    std::string contentType;  // sent as Content-Type when set
    // The first this many requests of each method to the path are answered 503 with
    // Retry-After: 2.
    int busyAnswers = 0;
};

// A redirect answer with this status to `location`.
inline HttpAnswer RedirectTo(const std::string& location, int status = 301)
{
    HttpAnswer answer;
    answer.status = status;
    answer.location = location;
    return answer;
}

// A chunked GET body; `whole` false drops the connection where the last chunk belongs.
inline HttpAnswer Chunked(const std::string& body, bool whole = true)
{
    HttpAnswer answer;
    answer.body = body;
    answer.chunked = true;
    answer.lastChunk = whole;
    return answer;
}

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string userAgent;
    std::string range;    // the Range header, if any
    std::string ifRange;  // the If-Range header, if any
};

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static void Close(Handle handle) { closesocket(handle); }
};
using Socket = UniqueHandle<SocketTraits>;

// An answer of status 200 with this body.
inline HttpAnswer Body(const std::string& body)
{
    HttpAnswer answer;
    answer.body = body;
    return answer;
}

// A status-200 answer that announces `contentLength` bytes; its GET body is empty.
inline HttpAnswer Announcing(uint64_t contentLength)
{
    HttpAnswer answer;
    answer.contentLength = contentLength;
    return answer;
}

// Without a Content-Length, the GET body ends with the connection.
inline HttpAnswer WithoutContentLength(const std::string& body)
{
    HttpAnswer answer = Body(body);
    answer.sendContentLength = false;
    return answer;
}

// URLs and paths here are ASCII: the server speaks bytes, the code under test wide text.
inline std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The port of a compiled-in server address ("host:port"); 80 when it names none.
inline unsigned short PortOfServer(const std::wstring& server)
{
    const size_t colon = server.rfind(L':');
    return colon == std::wstring::npos ? 80 : static_cast<unsigned short>(std::stoul(server.substr(colon + 1)));
}

// A URL on a loopback port that a server listened on a moment ago: nobody answers there.
std::wstring UrlNobodyServes(const std::string& path);

class LoopbackHttpServer {
public:
    // Port 0 takes a free one; a fixed port serves the compiled-in server addresses.
    explicit LoopbackHttpServer(unsigned short port = 0);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool IsListening() const { return static_cast<bool>(m_listener); }
    unsigned short Port() const { return m_port; }
    std::wstring Url(const std::string& path) const;  // http://127.0.0.1:port + path

    void Serve(const std::string& path, const HttpAnswer& answer);  // the same for HEAD and GET
    void Serve(const std::string& path, const HttpAnswer& head, const HttpAnswer& get);
    void ServeAnyOtherPath(const HttpAnswer& answer);  // instead of 404

    std::vector<RecordedRequest> Requests() const;
    size_t CountRequests(const std::string& method, const std::string& path) const;
    size_t Connections() const;
    uint64_t BodyBytesSent() const;  // GET body bytes written to every client so far

    bool WaitUntilPaused(DWORD timeoutMs);
    void Resume();

private:
    struct Route {
        HttpAnswer head;
        HttpAnswer get;
    };

    void AcceptConnections(SOCKET listener);
    void ServeConnection(SOCKET client);
    bool ReceiveSome(SOCKET client, std::string& pending);
    bool ReadRequest(SOCKET client, std::string& pending, RecordedRequest& request, bool& keepAlive);
    bool SendAnswer(SOCKET client, const RecordedRequest& request, const HttpAnswer& answer, bool keepAlive);
    bool SendBody(SOCKET client, const HttpAnswer& answer, uint64_t from, uint64_t length);
    bool SendChunks(SOCKET client, const HttpAnswer& answer);
    bool PauseIfAsked(const HttpAnswer& answer, uint64_t sent);
    Route FindRoute(const std::string& path) const;

    Socket m_listener;
    unsigned short m_port = 0;
    KernelHandle m_stop;
    KernelHandle m_paused;
    KernelHandle m_resume;
    mutable std::mutex m_mutex;  // guards everything below
    std::map<std::string, Route> m_routes;
    std::optional<Route> m_fallback;
    std::vector<RecordedRequest> m_requests;
    size_t m_connections = 0;
    uint64_t m_bodyBytesSent = 0;
    std::set<SOCKET> m_openClients;
    std::vector<std::thread> m_threads;
    std::thread m_acceptThread;
};
