#include "tests/loopback_http_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kLargestRequestHead = 64 * 1024;
constexpr size_t kChunkBytes = 1000;
constexpr char kEntityTag[] = "\"v1\"";

bool SendAll(SOCKET client, const char* data, size_t size)
{
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        const int sent = send(client, data, chunk, 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 403: return "Forbidden";
    case 405: return "Method Not Allowed";
    case 501: return "Not Implemented";
    case 404: return "Not Found";
    case 206: return "Partial Content";
    case 503: return "Service Unavailable";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// The N of "bytes=N-"; nothing for any other range.
std::optional<uint64_t> RangeStart(const std::string& range)
{
    const std::string prefix = "bytes=";
    if (range.compare(0, prefix.size(), prefix) != 0 || range.empty() || range.back() != '-' ||
        range.size() == prefix.size() + 1)
        return std::nullopt;
    return std::stoull(range.substr(prefix.size(), range.size() - prefix.size() - 1));
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(unsigned short port)
    : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_paused(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_resume(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    WSADATA data = {};
    WSAStartup(MAKEWORD(2, 2), &data);

    Socket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener)
        return;
    // A fixed port must be usable again while connections of an earlier run linger.
    const BOOL reuse = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), SOMAXCONN) != 0)
        return;
    int length = sizeof(address);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_listener = std::move(listener);
    m_acceptThread = std::thread([this, listening = m_listener.get()] { AcceptConnections(listening); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    SetEvent(m_stop.get());
    if (m_listener) {
        // Closing the listener ends accept(); shutting the clients down ends their reads.
        shutdown(m_listener.get(), SD_BOTH);
        m_listener.reset();
    }
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (SOCKET client : m_openClients)
            shutdown(client, SD_BOTH);  // ends a send to a client that stopped reading
    }
    for (std::thread& thread : m_threads)
        thread.join();
    WSACleanup();
}

std::wstring LoopbackHttpServer::Url(const std::string& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(m_port) + std::wstring(path.begin(), path.end());
}

void LoopbackHttpServer::Serve(const std::string& path, const HttpAnswer& answer)
{
    Serve(path, answer, answer);
}

void LoopbackHttpServer::Serve(const std::string& path, const HttpAnswer& head, const HttpAnswer& get)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes[path] = Route{head, get};
}

void LoopbackHttpServer::ServeAnyOtherPath(const HttpAnswer& answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fallback = Route{answer, answer};
}

std::vector<RecordedRequest> LoopbackHttpServer::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

size_t LoopbackHttpServer::CountRequests(const std::string& method, const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_requests.begin(), m_requests.end(), [&](const RecordedRequest& r) {
        return r.method == method && r.path == path;
    }));
}

size_t LoopbackHttpServer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

uint64_t LoopbackHttpServer::BodyBytesSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bodyBytesSent;
}

bool LoopbackHttpServer::WaitUntilPaused(DWORD timeoutMs)
{
    return WaitForSingleObject(m_paused.get(), timeoutMs) == WAIT_OBJECT_0;
}

void LoopbackHttpServer::Resume()
{
    SetEvent(m_resume.get());
}

std::wstring UrlNobodyServes(const std::string& path)
{
    const LoopbackHttpServer gone;
    return gone.Url(path);
}

void LoopbackHttpServer::AcceptConnections(SOCKET listener)
{
    for (;;) {
        const SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0) {
            closesocket(client);
            return;
        }
        ++m_connections;
        m_openClients.insert(client);
        m_threads.emplace_back([this, client] {
            ServeConnection(client);
            {
                std::lock_guard<std::mutex> innerLock(m_mutex);
                m_openClients.erase(client);
            }
            closesocket(client);
        });
    }
}

void LoopbackHttpServer::ServeConnection(SOCKET client)
{
    std::string pending;
    for (;;) {
        RecordedRequest request;
        bool keepAlive = true;
        if (!ReadRequest(client, pending, request, keepAlive))
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
        }
        const Route route = FindRoute(request.path);
        const HttpAnswer& answer = request.method == "HEAD" ? route.head : route.get;
        if (!SendAnswer(client, request, answer, keepAlive))
            return;
    }
}

// Appends what the client sends next. False when it has gone or the server stops: WinINet
// keeps idle connections open for a while, and a blocked recv would hold the server up.
bool LoopbackHttpServer::ReceiveSome(SOCKET client, std::string& pending)
{
    for (;;) {
        if (WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0)
            return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval interval = {0, 50 * 1000};
        const int ready = select(0, &readable, nullptr, nullptr, &interval);
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        char buffer[4096];
        const int received = recv(client, buffer, sizeof(buffer), 0);
        if (received <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(received));
        return true;
    }
}

// Reads one request head (and skips any body it announces). False when the client is gone.
bool LoopbackHttpServer::ReadRequest(SOCKET client, std::string& pending, RecordedRequest& request, bool& keepAlive)
{
    size_t headEnd = std::string::npos;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > kLargestRequestHead)
            return false;
        if (!ReceiveSome(client, pending))
            return false;
    }
    const std::string head = pending.substr(0, headEnd);
    pending.erase(0, headEnd + 4);

    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos)
        return false;
    request.method = requestLine.substr(0, firstSpace);
    request.path = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    size_t bodyLength = 0;
    size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        size_t next = head.find("\r\n", position);
        if (next == std::string::npos)
            next = head.size();
        const std::string line = head.substr(position, next - position);
        position = next + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trim(line.substr(0, colon)));
        const std::string value = Trim(line.substr(colon + 1));
        if (name == "user-agent")
            request.userAgent = value;
        else if (name == "range")
            request.range = value;
        else if (name == "if-range")
            request.ifRange = value;
        else if (name == "content-length")
            bodyLength = static_cast<size_t>(std::stoull(value));
        else if (name == "connection" && Lower(value) == "close")
            keepAlive = false;
    }
    while (pending.size() < bodyLength) {
        if (!ReceiveSome(client, pending))
            return false;
    }
    pending.erase(0, bodyLength);
    return true;
}

// False when the connection is to end after this answer.
bool LoopbackHttpServer::SendAnswer(SOCKET client, const RecordedRequest& request, const HttpAnswer& answer,
                                    bool keepAlive)
{
    if (answer.delayMs != 0 && WaitForSingleObject(m_stop.get(), answer.delayMs) == WAIT_OBJECT_0)
        return false;
    const size_t sameRequests = CountRequests(request.method, request.path);  // this one included
    if (sameRequests <= static_cast<size_t>(answer.busyAnswers)) {
        const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 2\r\nContent-Length: 0\r\n\r\n";
        return SendAll(client, busy, sizeof(busy) - 1) && keepAlive;
    }
    const uint64_t bodySize = answer.body.size() * answer.bodyRepeats;
    const uint64_t announced = answer.contentLength.value_or(bodySize);
    const bool isGet = request.method == "GET";
    const bool chunked = isGet && answer.chunked;
    const std::optional<uint64_t> rangeStart = RangeStart(request.range);
    const bool ranged = answer.servesRange && rangeStart && *rangeStart < announced &&
                        (request.ifRange.empty() || request.ifRange == kEntityTag);
    const uint64_t from = ranged ? *rangeStart : 0;
    uint64_t length = (answer.sendContentLength ? std::min(bodySize, announced) : bodySize) - std::min(from, bodySize);
    const bool drops = isGet && answer.dropAfter && sameRequests <= static_cast<size_t>(answer.drops) &&
                       *answer.dropAfter < length;
    if (drops)
        length = *answer.dropAfter;
    // A GET body that does not fill what was announced, that nothing announced, or whose
    // last chunk never comes, ends with the connection.
    const bool closeAfter = !keepAlive || drops ||
                            (isGet && (chunked ? !answer.lastChunk
                                               : !answer.sendContentLength || bodySize < announced));

    const int status = ranged ? 206 : answer.status;
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
    if (chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (answer.sendContentLength)
        head += "Content-Length: " + std::to_string(announced - from) + "\r\n";
    if (ranged)
        head += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(announced - 1) + "/" +
                std::to_string(announced) + "\r\n";
    if (answer.servesRange)
        head += std::string("ETag: ") + kEntityTag + "\r\nLast-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n";
    if (!answer.contentType.empty())
        head += "Content-Type: " + answer.contentType + "\r\n";
    if (!answer.location.empty())
        head += "Location: " + answer.location + "\r\n";
    if (closeAfter)
        head += "Connection: close\r\n";
    head += "\r\n";
    if (!SendAll(client, head.data(), head.size()))
        return false;
    if (chunked)
        return SendChunks(client, answer) && !closeAfter;
    if (isGet && !SendBody(client, answer, from, length))
        return false;
    return !closeAfter;
}

bool LoopbackHttpServer::SendChunks(SOCKET client, const HttpAnswer& answer)
{
    for (size_t offset = 0; offset < answer.body.size(); offset += kChunkBytes) {
        const size_t size = std::min(kChunkBytes, answer.body.size() - offset);
        char sizeLine[32] = {};
        std::snprintf(sizeLine, sizeof(sizeLine), "%zx\r\n", size);
        const std::string chunk = sizeLine + answer.body.substr(offset, size) + "\r\n";
        if (!SendAll(client, chunk.data(), chunk.size()))
            return false;
    }
    return !answer.lastChunk || SendAll(client, "0\r\n\r\n", 5);
}

bool LoopbackHttpServer::SendBody(SOCKET client, const HttpAnswer& answer, uint64_t from, uint64_t length)
{
    uint64_t sent = 0;
    for (;;) {
        // Also at the end, before the connection closes on a body without Content-Length.
        if (!PauseIfAsked(answer, sent))
            return false;
        if (sent == length)
            return true;
        const size_t offset = static_cast<size_t>((from + sent) % answer.body.size());
        uint64_t chunk = std::min<uint64_t>(answer.body.size() - offset, length - sent);
        if (answer.pauseAfter && sent < *answer.pauseAfter)
            chunk = std::min<uint64_t>(chunk, *answer.pauseAfter - sent);
        if (!SendAll(client, answer.body.data() + offset, static_cast<size_t>(chunk)))
            return false;
        sent += chunk;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bodyBytesSent += chunk;
    }
}

// False when the server stops while paused.
bool LoopbackHttpServer::PauseIfAsked(const HttpAnswer& answer, uint64_t sent)
{
    if (!answer.pauseAfter || sent != *answer.pauseAfter)
        return true;
    SetEvent(m_paused.get());
    const HANDLE events[] = {m_resume.get(), m_stop.get()};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
}

LoopbackHttpServer::Route LoopbackHttpServer::FindRoute(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_routes.find(path);
    if (it != m_routes.end())
        return it->second;
    if (m_fallback)
        return *m_fallback;
    HttpAnswer missing;
    missing.status = 404;
    return Route{missing, missing};
}
