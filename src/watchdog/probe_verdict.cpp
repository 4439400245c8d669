// The verdict on a failed probe. A wrong "dead" verdict logs off a live
// user's session and loses their work, so what is not plainly the terminal's
// doing counts as the server's: the session is judged again at the next pass.
#include "watchdog/probe_verdict.h"

#include <cstdio>

#include "platform/compat.h"
#include "trace/trace.h"

namespace corvel::watchdog {

namespace {

using http::HttpFailure;
using soap::SoapClientError;

// The transport's failures by who caused them. Socket failures (connect,
// send, receive) depend on the socket's last error as well.
enum class TransportSide { terminal, server, bySocketError };

TransportSide SideOf(HttpFailure failure)
{
    switch (failure) {
    case HttpFailure::connectFailed:
    case HttpFailure::sendFailed:
    case HttpFailure::receiveFailed:
        return TransportSide::bySocketError;
    // The terminal closed early, kept sending past the request's deadline, or
    // answered something that is not a usable HTTP answer.
    case HttpFailure::connectionClosed:
    case HttpFailure::deadlinePassed:
    case HttpFailure::badStatusLine:
    case HttpFailure::badHeaders:
    case HttpFailure::responseTooLarge:
    case HttpFailure::badContentLength:
    case HttpFailure::conflictingLengths:
    case HttpFailure::badChunkSize:
    case HttpFailure::badChunkFraming:
    case HttpFailure::badLocation:
    case HttpFailure::tooManyRedirects:
    case HttpFailure::statusRejected:
        return TransportSide::terminal;
    // Ours: the URL we built (an empty address names no host), the request
    // text, a read we stopped, memory, or the budget other probes hold.
    case HttpFailure::none:
    case HttpFailure::badTarget:
    case HttpFailure::requestTextFailed:
    case HttpFailure::readStopped:
    case HttpFailure::budgetExhausted:
    case HttpFailure::outOfMemory:
        return TransportSide::server;
    }
    return TransportSide::server;
}

bool IsSocketFailure(HttpFailure failure)
{
    return SideOf(failure) == TransportSide::bySocketError;
}

std::string ReasonText(const FailedProbe& probe)
{
    // A call fails without a stage only when an exception ended the exchange.
    std::string reason =
        probe.stage == SoapClientError::NoError ? "failed without a stage" : soap::SoapClientErrorName(probe.stage);
    if (probe.transportFailure != HttpFailure::none) {
        reason += ": ";
        reason += http::HttpFailureName(probe.transportFailure);
    }
    if (probe.answerFailure != soap::SoapReadFailure::none) {
        reason += ": ";
        reason += soap::SoapReadFailureName(probe.answerFailure);
    }
    char detail[48] = {};
    if (IsSocketFailure(probe.transportFailure) || probe.socketError != 0) {
        std::snprintf(detail, sizeof detail, " (%lu)", static_cast<unsigned long>(probe.socketError));
    } else if (probe.httpStatus > 0 && (probe.transportFailure == HttpFailure::statusRejected ||
                                        probe.stage == SoapClientError::UnexpectedStatus ||
                                        probe.stage == SoapClientError::FaultReturned)) {
        std::snprintf(detail, sizeof detail, " (status %ld)", static_cast<long>(probe.httpStatus));
    } else if (probe.transportFailure == HttpFailure::none && probe.status != E_FAIL && probe.status < 0) {
        std::snprintf(detail, sizeof detail, " (0x%08lX)",
                      static_cast<unsigned long>(static_cast<std::uint32_t>(probe.status)));
    }
    return reason + detail;
}

FailureSide SideOf(const FailedProbe& probe)
{
    if (probe.status == E_OUTOFMEMORY) {
        return FailureSide::server;
    }
    switch (probe.stage) {
    case SoapClientError::TransferFailed:
        switch (SideOf(probe.transportFailure)) {
        case TransportSide::terminal:
            return FailureSide::terminal;
        case TransportSide::bySocketError:
            return IsTerminalSocketError(probe.socketError) ? FailureSide::terminal : FailureSide::server;
        case TransportSide::server:
            return FailureSide::server;
        }
        return FailureSide::server;
    // The terminal answered, but not with a Test answer: a status other than
    // the expected ones, a fault, no body, a malformed or incomplete envelope.
    case SoapClientError::UnexpectedStatus:
    case SoapClientError::FaultReturned:
    case SoapClientError::FaultUnreadable:
    case SoapClientError::ResponseUnavailable:
    case SoapClientError::ResponseUnreadable:
        return FailureSide::terminal;
    // The proxy's own set-up or request writing, or a failure that left no
    // stage (an exception inside the exchange).
    case SoapClientError::NoError:
    case SoapClientError::ReaderSetupFailed:
    case SoapClientError::CallSetupFailed:
    case SoapClientError::RequestWriteFailed:
        return FailureSide::server;
    }
    return FailureSide::server;
}

}  // namespace

bool IsTerminalSocketError(std::uint32_t socketError)
{
    switch (socketError) {
    case 0:      // the connect or receive got no answer within the time-out
    case 10052:  // WSAENETRESET: the connection broke while in use
    case 10053:  // WSAECONNABORTED (a send to a peer that is gone)
    case 10054:  // WSAECONNRESET
    case 10057:  // WSAENOTCONN: the peer is gone
    case 10058:  // WSAESHUTDOWN
    case 10060:  // WSAETIMEDOUT
    case 10061:  // WSAECONNREFUSED
    case 10064:  // WSAEHOSTDOWN
    case 10065:  // WSAEHOSTUNREACH: a terminal switched off on the local network
    case 11001:  // WSAHOST_NOT_FOUND: a name the terminal redirected to does not exist
    case 11004:  // WSANO_DATA: the same, the name has no address
        return true;
    default:
        // Among them: descriptors (10024), buffers (10055), ports (10048,
        // 10049 on connect: no local port left), memory (8), Winsock not
        // started (10093), the server's network down or without a route
        // (10050, 10051), the name service failing (11002, 11003), and any
        // error that we do not know to be the terminal's.
        return false;
    }
}

ProbeVerdict JudgeFailedProbe(const FailedProbe& probe)
{
    if (probe.stopping) {
        return {FailureSide::server, "the service is stopping; " + ReasonText(probe)};
    }
    if (probe.addressEmpty) {
        return {FailureSide::server, "no client address; " + ReasonText(probe)};
    }
    return {SideOf(probe), ReasonText(probe)};
}

std::string ExceptionText(const std::exception_ptr& exception)
{
    try {
        if (exception) {
            std::rethrow_exception(exception);
        }
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return "an unknown exception";
}

void TraceException(const char* where, const std::exception_ptr& exception)
{
    // Composing the text may itself fail when memory is short; the worker
    // goes on either way.
    try {
        WatchdogTrace("%s ended by an exception: %s", where, ExceptionText(exception).c_str());
    } catch (...) {
    }
}

}  // namespace corvel::watchdog
