// Terminals that answer the probe's POST in every broken or hostile way we
// know of, from a live answer to floods meant to exhaust the service's memory.
// Each behaviour is a script for the loopback host (loopback_host.h), built
// once and shared by every terminal that behaves so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_host.h"

namespace corvel::testing {

enum class Behaviour {
    Live,                // a well-formed Test answer "OK"
    HugeResult,          // a well-formed answer whose Result holds 10 MiB
    Silent,              // reads the request, never answers
    Drip,                // a valid answer, one byte a second
    ResetMidResponse,    // half an answer, then a reset
    EndlessBody,         // 200 without length, then bytes for ever
    RedirectForever,     // 302 to itself on every request
    ManyHeaderLines,     // 100,000 header lines
    HugeHeaderLine,      // one header line of 1 MiB
    ChunkSizeMax,        // a chunk size of 7FFFFFFF
    ChunkSizeNegative,   // a chunk size of -1
    DeepNesting,         // 100,000 nested elements in Result
    EntityBomb,          // an entity expansion bomb in the document type
    InvalidUtf8,         // a Result with malformed UTF-8
    EndlessTrailers,     // a chunked 200, the last chunk, then trailer lines of 1000 bytes for ever
    EndlessHeaderNames,  // a 200 status line, then distinct short header names for ever
    SlowHugeBody,        // a 200 with a 16 MiB body, sent at 2 MB/s
    DripHalfSecond,      // a valid answer, one byte every 0.5 s
};

const char* BehaviourName(Behaviour behaviour);

// True for the behaviours whose terminal gives a valid answer.
bool Answers(Behaviour behaviour);

// The script of every connection to a terminal that behaves so.
Script HostileScript(Behaviour behaviour);

// Any number of hostile terminals on one loopback host.
class HostileTerminals {
public:
    // Listens on address:port; none when that is not possible (not root, in use).
    std::optional<std::size_t> Add(const std::string& address, std::uint16_t port, Behaviour behaviour);
    void Start() { host_.Start(); }
    void Stop() { host_.Stop(); }
    int Connections(std::size_t terminal) const { return host_.Connections(terminal); }
    std::uint32_t Requests(std::size_t terminal) const { return host_.RequestCount(terminal); }

private:
    std::map<Behaviour, std::shared_ptr<const std::vector<Script>>> scripts_;
    LoopbackHost host_;
};

}  // namespace corvel::testing
