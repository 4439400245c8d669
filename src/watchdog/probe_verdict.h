// The verdict on a failed probe: did the terminal fail, or did the server
// itself fall short? Only a failure the terminal caused may log its session
// off; a failure of the server's own (no address, no descriptor, socket, port
// or memory, the response budget held by other probes, the proxy's own
// set-up, the server's network down, the service stopping) is traced and the
// next scanner pass judges the session again. Used by the session probe.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "http/http_failure.h"
#include "soap/soap_socket_client.h"

namespace corvel::watchdog {

// Everything known about one failed call of Test.
struct FailedProbe {
    soap::SoapClientError stage = soap::SoapClientError::NoError;
    http::HttpFailure transportFailure = http::HttpFailure::none;
    soap::SoapReadFailure answerFailure = soap::SoapReadFailure::none;  // why the answer was refused
    std::uint32_t socketError = 0;  // the socket's last error, as Winsock numbers it
    std::int32_t httpStatus = -1;   // -1 when no status came
    std::int32_t status = 0;        // the HRESULT that Test returned
    bool addressEmpty = false;      // the client address could not be read
    bool stopping = false;          // the service is stopping
};

enum class FailureSide {
    terminal,  // the terminal failed: its session is logged off
    server,    // the server's own failure: nothing is logged off
};

struct ProbeVerdict {
    FailureSide side = FailureSide::server;
    // What an operator reads: the stage and the named failure, for example
    // "TransferFailed: connect failed (10061)".
    std::string reason;
};

ProbeVerdict JudgeFailedProbe(const FailedProbe& probe);

// Whether a socket error on connect, send or receive names the terminal's
// failure (refused, reset, timed out, unreachable) rather than a shortage or
// fault of the server's own. 0 is a wait that timed out.
bool IsTerminalSocketError(std::uint32_t socketError);

// The text of an exception that reached a worker's thread procedure: its
// what() text, or "an unknown exception".
std::string ExceptionText(const std::exception_ptr& exception);

// One trace line: "<where> ended by an exception: <text>".
void TraceException(const char* where, const std::exception_ptr& exception);

}  // namespace corvel::watchdog
