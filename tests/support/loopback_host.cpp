// One thread, one poll loop. Each connection is a cursor into its script: the
// step it is on, how far into that step's bytes it got, and when a timed step
// (delay, hold, drip, paced) may go on. A connection is polled for reading
// while it waits for a request or drains after its script, for writing while
// it sends, and not at all while it waits for a time; the loop wakes at the
// earliest such time, at least every kPollMs so that Stop is seen.
#include "support/loopback_host.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "support/request_reader.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace corvel::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 10;
// Work one connection may do in one round, so that a flood does not starve
// the other connections of the loop.
constexpr std::size_t kBytesPerRound = 1024 * 1024;
constexpr std::size_t kReceiveBlock = 64 * 1024;
// Steps one connection may pass in one round (a script that loops without
// waiting for anything yields after these).
constexpr int kStepsPerRound = 1000;

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
constexpr int kNoSignal = 0;
void CloseNative(NativeSocket socket) { ::closesocket(socket); }
int PollNative(pollfd* entries, std::size_t count, int timeoutMs)
{
    return ::WSAPoll(entries, static_cast<ULONG>(count), timeoutMs);
}
void MakeNonBlocking(NativeSocket socket)
{
    u_long on = 1;
    ::ioctlsocket(socket, FIONBIO, &on);
}
bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
void ShutdownSend(NativeSocket socket) { ::shutdown(socket, SD_SEND); }
void StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
constexpr int kNoSignal = MSG_NOSIGNAL;
void CloseNative(NativeSocket socket) { ::close(socket); }
int PollNative(pollfd* entries, std::size_t count, int timeoutMs)
{
    return ::poll(entries, static_cast<nfds_t>(count), timeoutMs);
}
void MakeNonBlocking(NativeSocket socket) { ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK); }
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
void ShutdownSend(NativeSocket socket) { ::shutdown(socket, SHUT_WR); }
void StartWinsock() {}
#endif

// The number of bytes sent, 0 when the socket cannot take more now, -1 when
// the connection is gone.
long SendSome(NativeSocket socket, const char* data, std::size_t length)
{
    const int sent = ::send(socket, data, static_cast<int>(std::min<std::size_t>(length, kBytesPerRound)), kNoSignal);
    if (sent >= 0) {
        return sent;
    }
    return WouldBlock() ? 0 : -1;
}

// The port a bound socket has.
std::uint16_t BoundPort(NativeSocket socket)
{
    sockaddr_in local{};
#if defined(_WIN32)
    int length = sizeof local;
#else
    socklen_t length = sizeof local;
#endif
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

}  // namespace

struct LoopbackHost::Listener {
    NativeSocket socket = kNoSocket;
    std::uint16_t port = 0;
    bool accepting = true;
    std::shared_ptr<const std::vector<Script>> scripts;
    std::atomic<int> connections{0};
    std::atomic<std::uint32_t> requestCount{0};
    std::vector<std::string> requests;  // under lock_
    std::string lastRequest;            // under lock_
};

struct LoopbackHost::Connection {
    NativeSocket socket = kNoSocket;
    Listener* listener = nullptr;
    const Script* script = nullptr;
    std::size_t step = 0;
    std::size_t offset = 0;         // bytes of the step sent so far
    bool stepStarted = false;
    Clock::time_point stepStart{};  // delay, holdOpen, paced
    Clock::time_point wakeAt{};     // delay, holdOpen, drip, paced: no I/O before
    std::uint64_t block = 0;        // floodGenerated: the next block's number
    std::string generated;          // floodGenerated: the block being sent
    RequestReader reader;
};

Step ReadRequest() { return {Step::Kind::readRequest, {}, 0}; }
Step SendBytes(std::string bytes) { return {Step::Kind::send, std::move(bytes), 0}; }
Step Delay(std::uint32_t milliseconds) { return {Step::Kind::delay, {}, milliseconds}; }
Step CloseConnection() { return {Step::Kind::close, {}, 0}; }
Step ResetConnection() { return {Step::Kind::reset, {}, 0}; }
Step Flood(std::string pattern) { return {Step::Kind::flood, std::move(pattern), 0}; }
Step Drip(std::string bytes, std::uint32_t intervalMs) { return {Step::Kind::drip, std::move(bytes), intervalMs}; }
Step HoldOpen(std::uint32_t milliseconds) { return {Step::Kind::holdOpen, {}, milliseconds}; }
Step Paced(std::string bytes, std::uint64_t bytesPerSecond)
{
    Step step{Step::Kind::paced, std::move(bytes), 0};
    step.bytesPerSecond = std::max<std::uint64_t>(bytesPerSecond, 1);
    return step;
}
Step FloodWith(std::function<std::string(std::uint64_t block)> generator)
{
    Step step{Step::Kind::floodGenerated, {}, 0};
    step.generator = std::move(generator);
    return step;
}
Step Repeat() { return {Step::Kind::repeat, {}, 0}; }

LoopbackHost::LoopbackHost() { StartWinsock(); }

LoopbackHost::~LoopbackHost() { Stop(); }

std::optional<std::size_t> LoopbackHost::Listen(const std::string& address, std::uint16_t port,
                                                std::shared_ptr<const std::vector<Script>> scripts, int backlog,
                                                bool accepting)
{
    NativeSocket listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == kNoSocket) {
        return std::nullopt;
    }
    if (port != 0) {
        // A fixed port is taken again by every run, while the last run's
        // connections may still linger.
        int reuse = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    }
#if !defined(_WIN32)
    ::fcntl(listener, F_SETFD, FD_CLOEXEC);
#endif
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener, backlog) != 0) {
        CloseNative(listener);
        return std::nullopt;
    }
    MakeNonBlocking(listener);
    auto entry = std::make_unique<Listener>();
    entry->socket = listener;
    entry->port = BoundPort(listener);
    entry->accepting = accepting;
    entry->scripts = scripts && !scripts->empty() ? std::move(scripts)
                                                  : std::make_shared<const std::vector<Script>>(1, Script{});
    listeners_.push_back(std::move(entry));
    return listeners_.size() - 1;
}

void LoopbackHost::Start()
{
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Serve(); });
    }
}

void LoopbackHost::Stop()
{
    stopping_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    for (auto& connection : connections_) {
        CloseNative(connection->socket);
    }
    connections_.clear();
    openConnections_.store(0);
    for (auto& listener : listeners_) {
        if (listener->socket != kNoSocket) {
            CloseNative(listener->socket);
            listener->socket = kNoSocket;
        }
    }
}

std::uint16_t LoopbackHost::Port(std::size_t listener) const { return listeners_.at(listener)->port; }

int LoopbackHost::Connections(std::size_t listener) const { return listeners_.at(listener)->connections.load(); }

std::uint32_t LoopbackHost::RequestCount(std::size_t listener) const
{
    return listeners_.at(listener)->requestCount.load();
}

std::vector<std::string> LoopbackHost::Requests(std::size_t listener) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return listeners_.at(listener)->requests;
}

std::string LoopbackHost::LastRequest(std::size_t listener) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return listeners_.at(listener)->lastRequest;
}

bool LoopbackHost::WaitIdle(std::uint32_t timeoutMs) const
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (openConnections_.load() != 0) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void LoopbackHost::Record(Listener& listener, std::string request)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (listener.requests.size() < kMaxKeptRequests) {
            listener.requests.push_back(request);
        }
        listener.lastRequest = std::move(request);
    }
    // Counted after the text is kept, so that a count a test sees has its text.
    listener.requestCount.fetch_add(1);
    totalRequests_.fetch_add(1);
}

void LoopbackHost::Accept(Listener& listener)
{
    for (;;) {
        NativeSocket accepted = ::accept(listener.socket, nullptr, nullptr);
        if (accepted == kNoSocket) {
            return;
        }
        MakeNonBlocking(accepted);
#if !defined(_WIN32)
        ::fcntl(accepted, F_SETFD, FD_CLOEXEC);
#endif
        // Every send leaves at once: a drip is one byte per segment.
        int noDelay = 1;
        ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        auto connection = std::make_unique<Connection>();
        connection->socket = accepted;
        connection->listener = &listener;
        const int index = listener.connections.fetch_add(1);
        const auto& scripts = *listener.scripts;
        connection->script = &scripts[std::min<std::size_t>(static_cast<std::size_t>(index), scripts.size() - 1)];
        connections_.push_back(std::move(connection));
        openConnections_.fetch_add(1);
    }
}

bool LoopbackHost::Advance(Connection& connection)
{
    static thread_local std::vector<char> received(kReceiveBlock);
    const Script& script = *connection.script;
    for (int steps = 0; steps < kStepsPerRound; ++steps) {
        const auto now = Clock::now();
        if (connection.step >= script.size()) {
            // The script has ended: drop what the client sends until it goes.
            for (std::size_t taken = 0; taken < kBytesPerRound;) {
                const int count = ::recv(connection.socket, received.data(), static_cast<int>(received.size()), 0);
                if (count == 0 || (count < 0 && !WouldBlock())) {
                    return false;
                }
                if (count < 0) {
                    return true;
                }
                taken += static_cast<std::size_t>(count);
            }
            return true;
        }
        const Step& step = script[connection.step];
        if (!connection.stepStarted) {
            connection.stepStarted = true;
            connection.stepStart = now;
            connection.offset = 0;
            connection.wakeAt = now;
            if (step.kind == Step::Kind::delay || step.kind == Step::Kind::holdOpen) {
                connection.wakeAt = now + std::chrono::milliseconds(step.milliseconds);
            }
        }
        bool stepDone = false;
        switch (step.kind) {
        case Step::Kind::readRequest: {
            std::string request;
            for (std::size_t taken = 0;;) {
                const RequestStatus status = connection.reader.Next(request);
                if (status == RequestStatus::complete) {
                    Record(*connection.listener, std::move(request));
                    stepDone = true;
                    break;
                }
                if (status == RequestStatus::malformed || taken >= kBytesPerRound) {
                    if (status == RequestStatus::malformed) {
                        return false;
                    }
                    return true;
                }
                const int count = ::recv(connection.socket, received.data(), static_cast<int>(received.size()), 0);
                if (count == 0 || (count < 0 && !WouldBlock())) {
                    return false;
                }
                if (count < 0) {
                    return true;
                }
                connection.reader.Append(received.data(), static_cast<std::size_t>(count));
                taken += static_cast<std::size_t>(count);
            }
            break;
        }
        case Step::Kind::send: {
            while (connection.offset < step.bytes.size()) {
                const long sent = SendSome(connection.socket, step.bytes.data() + connection.offset,
                                           step.bytes.size() - connection.offset);
                if (sent < 0) {
                    return false;
                }
                if (sent == 0) {
                    return true;
                }
                connection.offset += static_cast<std::size_t>(sent);
            }
            stepDone = true;
            break;
        }
        case Step::Kind::flood:
        case Step::Kind::floodGenerated: {
            for (std::size_t sentThisRound = 0; sentThisRound < kBytesPerRound;) {
                const std::string* bytes = &step.bytes;
                if (step.kind == Step::Kind::floodGenerated) {
                    if (connection.offset >= connection.generated.size()) {
                        connection.generated = step.generator(connection.block++);
                        connection.offset = 0;
                    }
                    bytes = &connection.generated;
                } else if (connection.offset >= bytes->size()) {
                    connection.offset = 0;
                }
                if (bytes->empty()) {
                    return false;  // nothing to flood with: the flood is over
                }
                const long sent =
                    SendSome(connection.socket, bytes->data() + connection.offset, bytes->size() - connection.offset);
                if (sent < 0) {
                    return false;
                }
                if (sent == 0) {
                    return true;
                }
                connection.offset += static_cast<std::size_t>(sent);
                sentThisRound += static_cast<std::size_t>(sent);
            }
            return true;
        }
        case Step::Kind::drip: {
            if (now < connection.wakeAt) {
                return true;
            }
            if (connection.offset >= step.bytes.size()) {
                stepDone = true;
                break;
            }
            const long sent = SendSome(connection.socket, step.bytes.data() + connection.offset, 1);
            if (sent < 0) {
                return false;
            }
            if (sent == 0) {
                return true;
            }
            ++connection.offset;
            connection.wakeAt = now + std::chrono::milliseconds(step.milliseconds);
            break;
        }
        case Step::Kind::paced: {
            if (now < connection.wakeAt) {
                return true;
            }
            const auto elapsedUs =
                std::chrono::duration_cast<std::chrono::microseconds>(now - connection.stepStart).count();
            const std::size_t allowed = static_cast<std::size_t>(
                std::min<std::uint64_t>(step.bytes.size(), static_cast<std::uint64_t>(elapsedUs) *
                                                               step.bytesPerSecond / 1000000u));
            while (connection.offset < allowed) {
                const long sent = SendSome(connection.socket, step.bytes.data() + connection.offset,
                                           allowed - connection.offset);
                if (sent < 0) {
                    return false;
                }
                if (sent == 0) {
                    return true;
                }
                connection.offset += static_cast<std::size_t>(sent);
            }
            if (connection.offset >= step.bytes.size()) {
                stepDone = true;
                break;
            }
            connection.wakeAt = now + std::chrono::milliseconds(kPollMs);
            return true;
        }
        case Step::Kind::delay:
        case Step::Kind::holdOpen:
            if (now < connection.wakeAt) {
                return true;
            }
            stepDone = true;
            break;
        case Step::Kind::close:
            ShutdownSend(connection.socket);
            return false;
        case Step::Kind::reset: {
#if defined(_WIN32)
            // Under Wine the reset that the linger option asks for reaches
            // the peer now and then as an orderly close when the socket is
            // non-blocking; closed blocking, it is always a reset.
            u_long off = 0;
            ::ioctlsocket(connection.socket, FIONBIO, &off);
#endif
            linger abort{1, 0};
            ::setsockopt(connection.socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                         sizeof abort);
            return false;
        }
        case Step::Kind::repeat:
            connection.step = 0;
            connection.stepStarted = false;
            continue;
        }
        if (stepDone) {
            ++connection.step;
            connection.stepStarted = false;
        }
    }
    return true;
}

void LoopbackHost::Serve()
{
    std::vector<pollfd> entries;
    // For each connection, its entry in entries or -1 when it is not polled.
    std::vector<long> entryOf;
    while (!stopping_.load()) {
        const auto now = Clock::now();
        auto wake = now + std::chrono::milliseconds(kPollMs);
        entries.clear();
        for (auto& listener : listeners_) {
            if (listener->accepting) {
                entries.push_back(pollfd{listener->socket, POLLIN, 0});
            }
        }
        entryOf.assign(connections_.size(), -1);
        for (std::size_t index = 0; index < connections_.size(); ++index) {
            Connection& connection = *connections_[index];
            short events = POLLIN;  // waiting for a request, or draining after the script
            if (connection.step < connection.script->size()) {
                const Step& step = (*connection.script)[connection.step];
                switch (step.kind) {
                case Step::Kind::readRequest:
                    events = POLLIN;
                    break;
                case Step::Kind::delay:
                case Step::Kind::holdOpen:
                case Step::Kind::drip:
                case Step::Kind::paced:
                    if (connection.stepStarted && now < connection.wakeAt) {
                        wake = std::min(wake, connection.wakeAt);
                        events = 0;
                        break;
                    }
                    events = POLLOUT;
                    break;
                default:
                    events = POLLOUT;
                    break;
                }
            }
            if (events != 0) {
                entryOf[index] = static_cast<long>(entries.size());
                entries.push_back(pollfd{connection.socket, events, 0});
            }
        }
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        const int timeoutMs = static_cast<int>(std::clamp<long long>(waitMs, 0, kPollMs));
        if (entries.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        } else if (PollNative(entries.data(), entries.size(), timeoutMs) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const auto woken = Clock::now();
        // Connections accepted in this round come after the polled ones and
        // are advanced at once: their request may be there already.
        const std::size_t polled = connections_.size();
        std::size_t entry = 0;
        for (auto& listener : listeners_) {
            if (listener->accepting) {
                if ((entries[entry].revents & POLLIN) != 0) {
                    Accept(*listener);
                }
                ++entry;
            }
        }
        std::vector<std::unique_ptr<Connection>> kept;
        kept.reserve(connections_.size());
        for (std::size_t index = 0; index < connections_.size(); ++index) {
            Connection& connection = *connections_[index];
            bool due = index >= polled;
            if (!due) {
                due = entryOf[index] >= 0 ? entries[static_cast<std::size_t>(entryOf[index])].revents != 0
                                          : woken >= connection.wakeAt;
            }
            if (due && !Advance(connection)) {
                CloseNative(connection.socket);
                openConnections_.fetch_sub(1);
                continue;
            }
            kept.push_back(std::move(connections_[index]));
        }
        connections_.swap(kept);
    }
}

std::uint16_t UnusedPort()
{
    StartWinsock();
    NativeSocket probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const std::uint16_t port = BoundPort(probe);
    CloseNative(probe);
    return port;
}

}  // namespace corvel::testing
