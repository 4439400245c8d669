#include "http/loopback_server.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
using SocketLength = int;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
void CloseNative(NativeSocket socket) { closesocket(socket); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using NativeSocket = int;
using SocketLength = socklen_t;
constexpr NativeSocket kNoSocket = -1;
void CloseNative(NativeSocket socket) { ::close(socket); }
#endif

namespace corvel::http::testing {

namespace {

#if defined(_WIN32)
struct WinsockUser {
    WinsockUser()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
} winsockUser;
constexpr int kNoSignal = 0;
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

NativeSocket Native(std::uintptr_t socket)
{
    return static_cast<NativeSocket>(socket);
}

void SleepFor(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The connection's sends and receives give up every 100 ms, so that a
// stopping server is never stuck in one; these retry until it stops.
void SetSocketTimeouts(NativeSocket socket)
{
#if defined(_WIN32)
    DWORD wait = 100;
#else
    timeval wait{0, 100000};
#endif
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
}

bool TimedOut()
{
#if defined(_WIN32)
    return WSAGetLastError() == WSAETIMEDOUT || WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
#endif
}

// The serving thread's own stop flag.
thread_local const std::atomic<bool>* stopFlag = nullptr;

bool SendAll(NativeSocket socket, const char* data, std::size_t length)
{
    while (length != 0) {
        const int sent = ::send(socket, data, static_cast<int>(length), kNoSignal);
        if (sent < 0 && TimedOut() && !*stopFlag) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Reads one request: the header block, then Content-Length bytes of body.
bool ReadOneRequest(NativeSocket socket, std::string& pending, std::string& request)
{
    char block[4096];
    for (;;) {
        const std::size_t headerEnd = pending.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            std::size_t bodyLength = 0;
            const std::size_t field = pending.find("Content-Length: ");
            if (field != std::string::npos && field < headerEnd) {
                bodyLength = std::strtoul(pending.c_str() + field + 16, nullptr, 10);
            }
            const std::size_t total = headerEnd + 4 + bodyLength;
            if (pending.size() >= total) {
                request = pending.substr(0, total);
                pending.erase(0, total);
                return true;
            }
        }
        const int received = ::recv(socket, block, sizeof block, 0);
        if (received < 0 && TimedOut() && !*stopFlag) {
            continue;
        }
        if (received <= 0) {
            return false;
        }
        pending.append(block, static_cast<std::size_t>(received));
    }
}

}  // namespace

Step ReadRequest() { return {Step::Kind::readRequest, {}, 0}; }
Step SendBytes(std::string bytes) { return {Step::Kind::send, std::move(bytes), 0}; }
Step Delay(std::uint32_t milliseconds) { return {Step::Kind::delay, {}, milliseconds}; }
Step CloseConnection() { return {Step::Kind::close, {}, 0}; }
Step ResetConnection() { return {Step::Kind::reset, {}, 0}; }
Step Flood(std::string pattern) { return {Step::Kind::flood, std::move(pattern), 0}; }
Step Drip(std::string bytes, std::uint32_t intervalMs) { return {Step::Kind::drip, std::move(bytes), intervalMs}; }
Step HoldOpen(std::uint32_t milliseconds) { return {Step::Kind::holdOpen, {}, milliseconds}; }

LoopbackServer::LoopbackServer(std::vector<std::vector<Step>> scripts, int backlog, bool accepting)
    : scripts_(std::move(scripts)), accepting_(accepting)
{
    NativeSocket listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, backlog);
    SocketLength length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listener_ = static_cast<std::uintptr_t>(listener);
    thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer()
{
    stopping_ = true;
    thread_.join();
    CloseNative(Native(listener_));
}

std::string LoopbackServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::WaitIdle(std::uint32_t timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (busy_ && std::chrono::steady_clock::now() < end) {
        SleepFor(5);
    }
}

std::vector<std::string> LoopbackServer::Requests() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void LoopbackServer::Serve()
{
    stopFlag = &stopping_;
    while (!stopping_) {
        if (!accepting_) {
            SleepFor(10);
            continue;
        }
        // Wait for a connection, looking at the stop flag now and then.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(Native(listener_), &readable);
        timeval wait{0, 20000};
        if (::select(static_cast<int>(Native(listener_)) + 1, &readable, nullptr, nullptr, &wait) <= 0) {
            continue;
        }
        NativeSocket connection = ::accept(Native(listener_), nullptr, nullptr);
        if (connection == kNoSocket) {
            continue;
        }
        SetSocketTimeouts(connection);
        busy_ = true;
        const int index = connections_++;
        const auto& script = scripts_[std::min<std::size_t>(static_cast<std::size_t>(index), scripts_.size() - 1)];
        Run(static_cast<std::uintptr_t>(connection), script);
        busy_ = false;
    }
}

void LoopbackServer::Run(std::uintptr_t handle, const std::vector<Step>& script)
{
    NativeSocket connection = Native(handle);
    std::string pending;
    bool open = true;
    for (const Step& step : script) {
        if (!open || stopping_) {
            break;
        }
        switch (step.kind) {
        case Step::Kind::readRequest: {
            std::string request;
            if (!ReadOneRequest(connection, pending, request)) {
                open = false;
                break;
            }
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(request);
            break;
        }
        case Step::Kind::send:
            open = SendAll(connection, step.bytes.data(), step.bytes.size());
            break;
        case Step::Kind::delay:
        case Step::Kind::holdOpen:
            for (std::uint32_t slept = 0; slept < step.milliseconds && !stopping_; slept += 10) {
                SleepFor(std::min<std::uint32_t>(10, step.milliseconds - slept));
            }
            break;
        case Step::Kind::close:
            CloseNative(connection);
            return;
        case Step::Kind::reset: {
            linger abort{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
            CloseNative(connection);
            return;
        }
        case Step::Kind::flood:
            while (!stopping_ && SendAll(connection, step.bytes.data(), step.bytes.size())) {
            }
            open = false;
            break;
        case Step::Kind::drip:
            for (char c : step.bytes) {
                if (stopping_ || !SendAll(connection, &c, 1)) {
                    open = false;
                    break;
                }
                SleepFor(step.milliseconds);
            }
            break;
        }
    }
    // Keep the connection until the client lets it go, so that a kept-alive
    // connection stays usable for the next script steps of the same client.
    char block[512];
    while (open && !stopping_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection, &readable);
        timeval wait{0, 20000};
        const int ready = ::select(static_cast<int>(connection) + 1, &readable, nullptr, nullptr, &wait);
        if (ready > 0 && ::recv(connection, block, sizeof block, 0) <= 0) {
            break;
        }
        if (ready < 0) {
            break;
        }
        // A client that sends another request after the script ended finds
        // no answer; the tests script every request they make.
    }
    CloseNative(connection);
}

std::uint16_t UnusedPort()
{
    NativeSocket probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    SocketLength length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    CloseNative(probe);
    return ntohs(address.sin_port);
}

}  // namespace corvel::http::testing
