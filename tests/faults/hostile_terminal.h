// Stub terminals for the fault-injection suite: each listens on its own
// loopback address, port 80, and answers the probe's POST as its behaviour
// says, from a live SOAP answer to every kind of broken or hostile server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvel::faults {

enum class Behaviour {
    Live,              // a well-formed Test answer "OK"
    HugeResult,        // a well-formed answer whose Result holds 10 MB
    Silent,            // accepts, reads the request, never answers
    Drip,              // a valid answer, one byte a second
    ResetMidResponse,  // half an answer, then a reset
    EndlessBody,       // 200 without length, then bytes for ever
    RedirectForever,   // 302 to itself on every request
    ManyHeaderLines,   // 100,000 header lines
    HugeHeaderLine,    // one header line of 1 MB
    ChunkSizeMax,      // a chunk size of 7FFFFFFF
    ChunkSizeNegative, // a chunk size of -1
    DeepNesting,       // 100,000 nested elements in Result
    EntityBomb,        // an entity expansion bomb in the document type
    InvalidUtf8,       // a Result with malformed UTF-8
};

const char* BehaviourName(Behaviour behaviour);

// True for the behaviours whose terminal gives a valid answer, so that its
// session must be kept.
bool Answers(Behaviour behaviour);

class HostileTerminal {
public:
    HostileTerminal(std::string address, Behaviour behaviour);
    ~HostileTerminal();
    HostileTerminal(const HostileTerminal&) = delete;
    HostileTerminal& operator=(const HostileTerminal&) = delete;

    // Binds address:80; false when that is not possible (not root, in use).
    bool Start();
    void Stop();

    const std::string& address() const { return address_; }
    Behaviour behaviour() const { return behaviour_; }
    int connections() const { return connections_.load(); }

private:
    void AcceptLoop();
    void Serve(int connection);
    bool ReadRequest(int connection, std::string& pending);
    bool SendAll(int connection, const std::string& bytes);

    std::string address_;
    Behaviour behaviour_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptThread_;
    std::mutex workersLock_;
    std::vector<std::thread> workers_;
};

}  // namespace corvel::faults
