// One scripted loopback server on 127.0.0.1 and a port of its own, for the
// transport tests: each accepted connection plays the next script of steps
// (the last one for every later connection), and the requests it read are
// kept for the test to compare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/loopback_host.h"

namespace corvel::testing {

class LoopbackServer {
public:
    // Serves at once. A server that does not accept leaves connects in its backlog.
    explicit LoopbackServer(std::vector<Script> scripts, int backlog = 8, bool accepting = true);
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return host_.Port(listener_); }
    std::string Url(const std::string& path = "/") const;
    // Waits until every connection has ended (at most timeoutMs).
    void WaitIdle(std::uint32_t timeoutMs = 5000) { host_.WaitIdle(timeoutMs); }

    std::vector<std::string> Requests() const { return host_.Requests(listener_); }
    int Connections() const { return host_.Connections(listener_); }

private:
    LoopbackHost host_;
    std::size_t listener_ = 0;
};

}  // namespace corvel::testing
