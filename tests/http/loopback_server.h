// A loopback TCP server for the transport tests that plays scripted raw
// bytes: it reads requests, sends pieces with delays between them, drips,
// floods, closes or resets, and records what it received.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvel::http::testing {

struct Step {
    enum class Kind { readRequest, send, delay, close, reset, flood, drip, holdOpen };
    Kind kind;
    std::string bytes;         // send, flood (the pattern), drip
    std::uint32_t milliseconds = 0;  // delay, drip interval, holdOpen
};

// Step builders.
Step ReadRequest();
Step SendBytes(std::string bytes);
Step Delay(std::uint32_t milliseconds);
Step CloseConnection();
Step ResetConnection();
Step Flood(std::string pattern);  // sends the pattern until the peer goes away
Step Drip(std::string bytes, std::uint32_t intervalMs);
Step HoldOpen(std::uint32_t milliseconds);  // neither reads nor sends

// One script per accepted connection; the last script serves every later one.
class LoopbackServer {
public:
    // A server that does not accept leaves connects in its backlog.
    explicit LoopbackServer(std::vector<std::vector<Step>> scripts, int backlog = 8, bool accepting = true);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string Url(const std::string& path = "/") const;
    // Waits until the running scripts have ended (at most timeoutMs).
    void WaitIdle(std::uint32_t timeoutMs = 5000);

    std::vector<std::string> Requests() const;
    int Connections() const { return connections_.load(); }

private:
    void Serve();
    void Run(std::uintptr_t connection, const std::vector<Step>& script);

    std::vector<std::vector<Step>> scripts_;
    std::uintptr_t listener_;
    std::uint16_t port_ = 0;
    bool accepting_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> busy_{false};
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A port on which nothing listens (bound once, then released).
std::uint16_t UnusedPort();

}  // namespace corvel::http::testing
