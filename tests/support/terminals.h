// Terminals for the watchdog, proxy and fault tests and the benchmarks: the
// HTTP answers and SOAP envelopes a terminal's web service sends, the scripts
// of a live, a silent and a slow terminal, and StubTerminals, many such
// terminals on addresses and ports of the test's choosing served by one
// thread (loopback_host.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/loopback_host.h"

namespace corvel::testing {

// A complete HTTP answer with a body and its length; the terminal closes after it.
std::string HttpAnswer(const std::string& statusLine, const std::string& body,
                       const std::string& contentType = "text/xml; charset=utf-8");
// The rpc/encoded answer of a terminal to Test.
std::string TestResponseEnvelope(const std::string& result);
std::string FaultEnvelope(const std::string& code, const std::string& text, const std::string& actor,
                          const std::string& detail);

// Reads a request, sends the answer, closes.
Script AnswerScript(std::string answer);
// Like AnswerScript, the answer delayMs after the request.
Script DelayedAnswerScript(std::string answer, std::uint32_t delayMs);
// Reads request after request and never answers.
Script SilentScript();

enum class StubBehaviour {
    answer,   // reads the request, sends the scripted answer, closes
    silent,   // reads requests and never answers
    delayed,  // like answer, after delayMs
};

class StubTerminals {
public:
    // Listens on address:port; throws when the address cannot be bound.
    // Returns the terminal's index. Add every terminal before Start.
    std::size_t Add(const std::string& address, std::uint16_t port, StubBehaviour behaviour, std::string answer = {},
                    std::uint32_t delayMs = 0);
    // The same with a script of the caller's.
    std::size_t Add(const std::string& address, std::uint16_t port, Script script);
    void Start() { host_.Start(); }
    void Stop() { host_.Stop(); }

    // Requests that reached the terminal completely (headers and body).
    std::uint32_t Requests(std::size_t terminal) const { return host_.RequestCount(terminal); }
    std::string LastRequest(std::size_t terminal) const { return host_.LastRequest(terminal); }

private:
    LoopbackHost host_;
};

}  // namespace corvel::testing
