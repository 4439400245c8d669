// The verdict on a failed probe, case by case: which failures are the
// terminal's (its session is logged off) and which the server's own (nothing
// is logged off), and the reason an operator reads. The Winsock numbers are
// the same on both backends.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/compat.h"
#include "watchdog/probe_verdict.h"

namespace {

using corvel::http::HttpFailure;
using corvel::soap::SoapClientError;
using corvel::watchdog::FailedProbe;
using corvel::watchdog::FailureSide;

constexpr FailureSide kTerminal = FailureSide::terminal;
constexpr FailureSide kServer = FailureSide::server;

FailedProbe Transfer(HttpFailure failure, std::uint32_t socketError = 0, std::int32_t httpStatus = -1)
{
    FailedProbe probe;
    probe.stage = SoapClientError::TransferFailed;
    probe.transportFailure = failure;
    probe.socketError = socketError;
    probe.httpStatus = httpStatus;
    probe.status = E_FAIL;
    return probe;
}

FailedProbe Stage(SoapClientError stage, std::int32_t status = E_FAIL, std::int32_t httpStatus = 200)
{
    FailedProbe probe;
    probe.stage = stage;
    probe.status = status;
    probe.httpStatus = httpStatus;
    return probe;
}

template <class Change>
FailedProbe With(FailedProbe probe, Change change)
{
    change(probe);
    return probe;
}

TEST(ProbeVerdict, EveryFailureHasItsSideAndReason)
{
    struct Case {
        const char* name;
        FailedProbe probe;
        FailureSide side;
        const char* reason;
    };
    const Case cases[] = {
        // The terminal's: it refused, timed out, reset, went away or answered badly.
        {"refused", Transfer(HttpFailure::connectFailed, 10061), kTerminal, "TransferFailed: connect failed (10061)"},
        {"connect timed out", Transfer(HttpFailure::connectFailed, 0), kTerminal, "TransferFailed: connect failed (0)"},
        {"connect 10060", Transfer(HttpFailure::connectFailed, 10060), kTerminal,
         "TransferFailed: connect failed (10060)"},
        {"host unreachable", Transfer(HttpFailure::connectFailed, 10065), kTerminal,
         "TransferFailed: connect failed (10065)"},
        {"host down", Transfer(HttpFailure::connectFailed, 10064), kTerminal, "TransferFailed: connect failed (10064)"},
        {"redirect to an unknown name", Transfer(HttpFailure::connectFailed, 11001), kTerminal,
         "TransferFailed: connect failed (11001)"},
        {"receive timed out", Transfer(HttpFailure::receiveFailed, 0), kTerminal, "TransferFailed: receive failed (0)"},
        {"reset", Transfer(HttpFailure::receiveFailed, 10054), kTerminal, "TransferFailed: receive failed (10054)"},
        {"send to a gone peer", Transfer(HttpFailure::sendFailed, 10053), kTerminal,
         "TransferFailed: send failed (10053)"},
        {"send timed out", Transfer(HttpFailure::sendFailed, 0), kTerminal, "TransferFailed: send failed (0)"},
        {"closed before the end", Transfer(HttpFailure::connectionClosed), kTerminal,
         "TransferFailed: connection closed"},
        {"dripping past the deadline", Transfer(HttpFailure::deadlinePassed), kTerminal,
         "TransferFailed: deadline passed"},
        {"bad status line", Transfer(HttpFailure::badStatusLine), kTerminal, "TransferFailed: bad status line"},
        {"bad headers", Transfer(HttpFailure::badHeaders), kTerminal, "TransferFailed: bad headers"},
        {"too large", Transfer(HttpFailure::responseTooLarge), kTerminal, "TransferFailed: response too large"},
        {"bad length", Transfer(HttpFailure::badContentLength), kTerminal, "TransferFailed: bad content length"},
        {"two lengths", Transfer(HttpFailure::conflictingLengths), kTerminal, "TransferFailed: conflicting lengths"},
        {"bad chunk size", Transfer(HttpFailure::badChunkSize), kTerminal, "TransferFailed: bad chunk size"},
        {"bad chunk framing", Transfer(HttpFailure::badChunkFraming), kTerminal, "TransferFailed: bad chunk framing"},
        {"bad Location", Transfer(HttpFailure::badLocation), kTerminal, "TransferFailed: bad Location"},
        {"redirect loop", Transfer(HttpFailure::tooManyRedirects), kTerminal, "TransferFailed: too many redirects"},
        {"404", Transfer(HttpFailure::statusRejected, 0, 404), kTerminal, "TransferFailed: status rejected (status 404)"},
        {"204", Stage(SoapClientError::UnexpectedStatus, E_FAIL, 204), kTerminal, "UnexpectedStatus (status 204)"},
        {"fault", Stage(SoapClientError::FaultReturned, E_FAIL, 500), kTerminal, "FaultReturned (status 500)"},
        {"unreadable fault", Stage(SoapClientError::FaultUnreadable, E_FAIL, 500), kTerminal, "FaultUnreadable"},
        {"answer without its result",
         With(Stage(SoapClientError::ResponseUnreadable),
              [](FailedProbe& p) { p.answerFailure = corvel::soap::SoapReadFailure::missingElement; }),
         kTerminal, "ResponseUnreadable: missing element"},
        {"200 without a body", Stage(SoapClientError::ResponseUnavailable), kTerminal, "ResponseUnavailable"},
        {"malformed envelope", Stage(SoapClientError::ResponseUnreadable, static_cast<std::int32_t>(0xC00CE508)),
         kTerminal, "ResponseUnreadable (0xC00CE508)"},
        // The server's own: no socket, port, buffer or memory, the budget
        // held by others, its own set-up, its network, its name service.
        {"descriptors", Transfer(HttpFailure::connectFailed, 10024), kServer, "TransferFailed: connect failed (10024)"},
        {"buffers on socket", Transfer(HttpFailure::connectFailed, 10055), kServer,
         "TransferFailed: connect failed (10055)"},
        {"port in use", Transfer(HttpFailure::connectFailed, 10048), kServer, "TransferFailed: connect failed (10048)"},
        {"no local port", Transfer(HttpFailure::connectFailed, 10049), kServer,
         "TransferFailed: connect failed (10049)"},
        {"Winsock not started", Transfer(HttpFailure::connectFailed, 10093), kServer,
         "TransferFailed: connect failed (10093)"},
        {"no memory for an event", Transfer(HttpFailure::connectFailed, 8), kServer,
         "TransferFailed: connect failed (8)"},
        {"network down", Transfer(HttpFailure::connectFailed, 10050), kServer, "TransferFailed: connect failed (10050)"},
        {"network unreachable", Transfer(HttpFailure::connectFailed, 10051), kServer,
         "TransferFailed: connect failed (10051)"},
        {"name service failing", Transfer(HttpFailure::connectFailed, 11002), kServer,
         "TransferFailed: connect failed (11002)"},
        {"buffers on receive", Transfer(HttpFailure::receiveFailed, 10055), kServer,
         "TransferFailed: receive failed (10055)"},
        {"an error we do not know", Transfer(HttpFailure::sendFailed, 10013), kServer,
         "TransferFailed: send failed (10013)"},
        {"budget held by others", Transfer(HttpFailure::budgetExhausted), kServer, "TransferFailed: budget exhausted"},
        {"out of memory in the transport", Transfer(HttpFailure::outOfMemory), kServer,
         "TransferFailed: out of memory"},
        {"no host in the URL", Transfer(HttpFailure::badTarget), kServer, "TransferFailed: bad target"},
        {"request text", Transfer(HttpFailure::requestTextFailed), kServer, "TransferFailed: request text failed"},
        {"read stopped", Transfer(HttpFailure::readStopped), kServer, "TransferFailed: read stopped"},
        {"transfer without a named failure", Transfer(HttpFailure::none), kServer, "TransferFailed"},
        {"reader set-up", Stage(SoapClientError::ReaderSetupFailed, static_cast<std::int32_t>(0x80040154)), kServer,
         "ReaderSetupFailed (0x80040154)"},
        {"call set-up", Stage(SoapClientError::CallSetupFailed), kServer, "CallSetupFailed"},
        {"request writing", Stage(SoapClientError::RequestWriteFailed, E_OUTOFMEMORY), kServer,
         "RequestWriteFailed (0x8007000E)"},
        {"an exception inside the exchange", Stage(SoapClientError::NoError), kServer, "failed without a stage"},
        {"parse out of memory", Stage(SoapClientError::ResponseUnreadable, E_OUTOFMEMORY), kServer,
         "ResponseUnreadable (0x8007000E)"},
        // Whatever the terminal did: no address, or the service stopping.
        {"no client address", With(Transfer(HttpFailure::badTarget), [](FailedProbe& p) { p.addressEmpty = true; }),
         kServer, "no client address; TransferFailed: bad target"},
        {"stopping, refused",
         With(Transfer(HttpFailure::connectFailed, 10061), [](FailedProbe& p) { p.stopping = true; }), kServer,
         "the service is stopping; TransferFailed: connect failed (10061)"},
        {"stopping, Winsock cleaned up",
         With(Transfer(HttpFailure::receiveFailed, 10093), [](FailedProbe& p) { p.stopping = true; }), kServer,
         "the service is stopping; TransferFailed: receive failed (10093)"},
    };
    for (const Case& c : cases) {
        const corvel::watchdog::ProbeVerdict verdict = corvel::watchdog::JudgeFailedProbe(c.probe);
        EXPECT_EQ(verdict.side, c.side) << c.name;
        EXPECT_EQ(verdict.reason, c.reason) << c.name;
    }
}

}  // namespace
