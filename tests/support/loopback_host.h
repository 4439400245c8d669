// The loopback servers of every test suite and benchmark: any number of TCP
// listeners served by one thread with one poll loop, each playing a script of
// steps on every connection it accepts (read a request, send, wait, drip,
// pace, flood, close, reset). The scripted server of the transport tests, the
// live and silent terminals of the watchdog tests and the hostile terminals
// of the fault suite are scripts for it (loopback_server.h, terminals.h,
// hostile_terminals.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvel::testing {

struct Step {
    enum class Kind {
        readRequest,     // waits for one whole request (request_reader.h) and records it
        send,            // sends bytes
        delay,           // waits milliseconds, reading nothing
        close,           // closes the connection (an orderly close)
        reset,           // closes with a reset
        flood,           // sends the bytes again and again until the peer goes away
        drip,            // sends bytes one at a time, milliseconds apart
        holdOpen,        // like delay: neither reads nor sends
        paced,           // sends bytes at bytesPerSecond
        floodGenerated,  // sends generator(0), generator(1), ... until the peer goes away
        repeat,          // starts the script again from its first step
    };
    Kind kind;
    std::string bytes;
    std::uint32_t milliseconds = 0;
    std::uint64_t bytesPerSecond = 0;
    std::function<std::string(std::uint64_t block)> generator;
};
using Script = std::vector<Step>;

Step ReadRequest();
Step SendBytes(std::string bytes);
Step Delay(std::uint32_t milliseconds);
Step CloseConnection();
Step ResetConnection();
Step Flood(std::string pattern);
Step Drip(std::string bytes, std::uint32_t intervalMs);
Step HoldOpen(std::uint32_t milliseconds);
Step Paced(std::string bytes, std::uint64_t bytesPerSecond);
Step FloodWith(std::function<std::string(std::uint64_t block)> generator);
Step Repeat();

// A script ends with the connection kept: the host reads and drops whatever
// the client still sends, and closes when the client does.
class LoopbackHost {
public:
    // Requests kept per listener for Requests(); later ones are only counted.
    static constexpr std::size_t kMaxKeptRequests = 1024;

    LoopbackHost();
    ~LoopbackHost();
    LoopbackHost(const LoopbackHost&) = delete;
    LoopbackHost& operator=(const LoopbackHost&) = delete;

    // Listens on address:port (port 0: a port the system picks). Connection n
    // plays scripts[n], every connection after the last script plays the last
    // one. A listener that does not accept leaves connects in its backlog.
    // Returns the listener's index, none when the address cannot be bound.
    // Every listener is added before Start.
    std::optional<std::size_t> Listen(const std::string& address, std::uint16_t port,
                                      std::shared_ptr<const std::vector<Script>> scripts, int backlog = 64,
                                      bool accepting = true);
    void Start();
    // Ends the loop and closes every connection and listener.
    void Stop();

    std::uint16_t Port(std::size_t listener) const;
    int Connections(std::size_t listener) const;
    std::uint32_t RequestCount(std::size_t listener) const;
    std::vector<std::string> Requests(std::size_t listener) const;
    std::string LastRequest(std::size_t listener) const;
    std::uint64_t TotalRequests() const { return totalRequests_.load(); }
    std::size_t OpenConnections() const { return openConnections_.load(); }
    // Waits until no connection is open; false when timeoutMs passed first.
    bool WaitIdle(std::uint32_t timeoutMs) const;

private:
    struct Listener;
    struct Connection;

    void Serve();
    void Accept(Listener& listener);
    // Runs the connection's steps as far as they go without blocking; false
    // when the connection is done.
    bool Advance(Connection& connection);
    void Record(Listener& listener, std::string request);

    std::vector<std::unique_ptr<Listener>> listeners_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> totalRequests_{0};
    std::atomic<std::size_t> openConnections_{0};
    mutable std::mutex lock_;
    std::thread thread_;
};

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t UnusedPort();

}  // namespace corvel::testing
