// Stub terminals for the watchdog and proxy tests: loopback listeners on
// addresses and ports of the test's choosing, each playing one scripted HTTP
// answer to every request, staying silent, or closing at once. One thread
// serves all of them with poll, so a thousand stubs cost one thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace corvel::testing {

#if defined(_WIN32)
using StubSocket = SOCKET;
inline constexpr StubSocket kNoStubSocket = INVALID_SOCKET;
inline void CloseStubSocket(StubSocket socket) { closesocket(socket); }
inline int PollStub(pollfd* entries, std::size_t count, int timeoutMs)
{
    return WSAPoll(entries, static_cast<ULONG>(count), timeoutMs);
}
inline void MakeNonBlocking(StubSocket socket)
{
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
}
struct StubWinsock {
    StubWinsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
#else
using StubSocket = int;
inline constexpr StubSocket kNoStubSocket = -1;
inline void CloseStubSocket(StubSocket socket) { ::close(socket); }
inline int PollStub(pollfd* entries, std::size_t count, int timeoutMs)
{
    return ::poll(entries, static_cast<nfds_t>(count), timeoutMs);
}
inline void MakeNonBlocking(StubSocket socket)
{
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
}
struct StubWinsock {};
#endif

// A complete HTTP answer with a body and its length.
inline std::string HttpAnswer(const std::string& statusLine, const std::string& body,
                              const std::string& contentType = "text/xml; charset=utf-8")
{
    std::string answer = "HTTP/1.1 " + statusLine + "\r\nConnection: close\r\n";
    if (!contentType.empty()) {
        answer += "Content-Type: " + contentType + "\r\n";
    }
    return answer + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The rpc/encoded answer of a terminal to Test.
inline std::string TestResponseEnvelope(const std::string& result)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<soap:Body><snp:TestResponse xmlns:snp=\"http://corvel.example/wsdl/\">"
           "<Result xsi:type=\"xsd:string\">" +
           result + "</Result></snp:TestResponse></soap:Body></soap:Envelope>";
}

inline std::string FaultEnvelope(const std::string& code, const std::string& text, const std::string& actor,
                                 const std::string& detail)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<soap:Body><soap:Fault><faultcode>soap:" +
           code + "</faultcode><faultstring>" + text + "</faultstring><faultactor>" + actor +
           "</faultactor><detail>" + detail + "</detail></soap:Fault></soap:Body></soap:Envelope>";
}

enum class StubBehaviour {
    answer,   // reads the request, sends the scripted answer, closes
    silent,   // reads the request and never answers
    delayed,  // like answer, after delayMs
};

class StubTerminals {
public:
    StubTerminals() = default;
    StubTerminals(const StubTerminals&) = delete;
    StubTerminals& operator=(const StubTerminals&) = delete;
    ~StubTerminals() { Stop(); }

    // Listens on address:port; throws when the address cannot be bound.
    // Returns the terminal's index. Add every terminal before Start.
    std::size_t Add(const std::string& address, std::uint16_t port, StubBehaviour behaviour, std::string answer = {},
                    std::uint32_t delayMs = 0)
    {
        StubSocket listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener == kNoStubSocket) {
            throw std::runtime_error("stub terminal: no socket");
        }
        int reuse = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            ::listen(listener, 64) != 0) {
            CloseStubSocket(listener);
            throw std::runtime_error("stub terminal: cannot listen on " + address + ":" + std::to_string(port));
        }
        MakeNonBlocking(listener);
        auto terminal = std::make_unique<Terminal>();
        terminal->listener = listener;
        terminal->behaviour = behaviour;
        terminal->answer = std::move(answer);
        terminal->delayMs = delayMs;
        terminals_.push_back(std::move(terminal));
        return terminals_.size() - 1;
    }

    void Start()
    {
        thread_ = std::thread([this] { Serve(); });
    }

    void Stop()
    {
        stopping_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
        for (Connection& connection : connections_) {
            CloseStubSocket(connection.socket);
        }
        connections_.clear();
        for (auto& terminal : terminals_) {
            if (terminal->listener != kNoStubSocket) {
                CloseStubSocket(terminal->listener);
                terminal->listener = kNoStubSocket;
            }
        }
    }

    // Requests that reached the terminal completely (headers and body).
    std::uint32_t Requests(std::size_t terminal) const { return terminals_[terminal]->requests.load(); }
    std::string LastRequest(std::size_t terminal) const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return terminals_[terminal]->lastRequest;
    }

private:
    static constexpr int kPollMs = 10;
    static constexpr std::size_t kReceiveBytes = 4096;

    struct Terminal {
        StubSocket listener = kNoStubSocket;
        StubBehaviour behaviour = StubBehaviour::answer;
        std::string answer;
        std::uint32_t delayMs = 0;
        std::atomic<std::uint32_t> requests{0};
        std::string lastRequest;
    };
    struct Connection {
        StubSocket socket;
        Terminal* terminal;
        std::string received;
        std::size_t sent = 0;
        bool answering = false;
        std::chrono::steady_clock::time_point answerAt{};
    };

    static bool RequestComplete(const std::string& received)
    {
        const std::size_t headerEnd = received.find("\r\n\r\n");
        if (headerEnd == std::string::npos) {
            return false;
        }
        std::size_t bodyLength = 0;
        const std::size_t field = received.find("Content-Length:");
        if (field != std::string::npos && field < headerEnd) {
            bodyLength = std::stoul(received.substr(field + 15));
        }
        return received.size() >= headerEnd + 4 + bodyLength;
    }

    void Serve()
    {
        std::vector<pollfd> entries;
        while (!stopping_.load()) {
            entries.clear();
            for (auto& terminal : terminals_) {
                entries.push_back(pollfd{terminal->listener, POLLIN, 0});
            }
            for (Connection& connection : connections_) {
                short events = POLLIN;
                if (connection.answering) {
                    events = std::chrono::steady_clock::now() >= connection.answerAt ? POLLOUT : 0;
                }
                entries.push_back(pollfd{connection.socket, events, 0});
            }
            if (PollStub(entries.data(), entries.size(), kPollMs) < 0) {
                continue;
            }
            for (std::size_t index = 0; index < terminals_.size(); ++index) {
                if ((entries[index].revents & POLLIN) == 0) {
                    continue;
                }
                for (;;) {
                    StubSocket accepted = ::accept(terminals_[index]->listener, nullptr, nullptr);
                    if (accepted == kNoStubSocket) {
                        break;
                    }
                    MakeNonBlocking(accepted);
                    connections_.push_back(Connection{accepted, terminals_[index].get(), {}, 0, false, {}});
                }
            }
            // Connections accepted in this round were not polled yet.
            const std::size_t polled = entries.size() - terminals_.size();
            std::vector<Connection> kept;
            for (std::size_t index = 0; index < connections_.size(); ++index) {
                Connection& connection = connections_[index];
                const short events = index < polled ? entries[terminals_.size() + index].revents : 0;
                if (events == 0 || Advance(connection, events)) {
                    kept.push_back(std::move(connection));
                } else {
                    CloseStubSocket(connection.socket);
                }
            }
            connections_ = std::move(kept);
        }
    }

    // False when the connection is done.
    bool Advance(Connection& connection, short events)
    {
        if (!connection.answering) {
            char buffer[kReceiveBytes];
            const int received = static_cast<int>(::recv(connection.socket, buffer, sizeof buffer, 0));
            if (received <= 0) {
                return false;
            }
            connection.received.append(buffer, static_cast<std::size_t>(received));
            if (!RequestComplete(connection.received)) {
                return true;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                connection.terminal->lastRequest = connection.received;
            }
            connection.terminal->requests.fetch_add(1);
            if (connection.terminal->behaviour == StubBehaviour::silent) {
                connection.received.clear();
                return true;
            }
            connection.answering = true;
            connection.answerAt =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(connection.terminal->delayMs);
            return true;
        }
        if ((events & (POLLERR | POLLHUP)) != 0 && (events & POLLOUT) == 0) {
            return false;
        }
        const std::string& answer = connection.terminal->answer;
        const int sent = static_cast<int>(::send(connection.socket, answer.data() + connection.sent,
                                                 static_cast<int>(answer.size() - connection.sent), 0));
        if (sent <= 0) {
            return false;
        }
        connection.sent += static_cast<std::size_t>(sent);
        if (connection.sent < answer.size()) {
            return true;
        }
        // Done: let the peer read everything before the close.
#if defined(_WIN32)
        ::shutdown(connection.socket, SD_SEND);
#else
        ::shutdown(connection.socket, SHUT_WR);
#endif
        return false;
    }

    // Winsock is started before the first listener is made.
    [[maybe_unused]] StubWinsock winsock_;
    std::vector<std::unique_ptr<Terminal>> terminals_;
    std::vector<Connection> connections_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::thread thread_;
};

}  // namespace corvel::testing
