// Why an HTTP exchange failed: one name per failure, kept by the client beside
// the status code and the socket's last error, carried up through the SOAP
// proxy and printed by corvel-probe.
#pragma once

#include <cstdint>

namespace corvel::http {

enum class HttpFailure : std::uint32_t {
    none = 0,
    badTarget,           // the URL is not plain http or names no host
    requestTextFailed,   // the request text could not be built
    connectFailed,       // resolve or connect failed (lastError tells why)
    sendFailed,          // a send failed or went out short
    receiveFailed,       // a receive failed or timed out (lastError tells why)
    connectionClosed,    // the peer closed before the response was complete
    deadlinePassed,      // the request ran out of its whole-request deadline
    readStopped,         // the caller's read status callback stopped the read
    badStatusLine,       // no status number after the protocol version
    badHeaders,          // the status number overflows or the status line has no end
    responseTooLarge,    // the response costs more than the per-response cap
    budgetExhausted,     // the process-wide response budget has no room
    outOfMemory,         // an allocation failed
    badContentLength,    // a Content-Length value that is not a plain decimal number
    conflictingLengths,  // differing Content-Length values
    badChunkSize,        // a chunk-size line that is out of range or too long
    badChunkFraming,     // no CR LF where the chunked coding puts one
    badLocation,         // a redirect's Location cannot be made the target
    tooManyRedirects,    // the redirect chain passed its limit
    statusRejected,      // the status check refused the status (statusCode tells which)
};

// The failure's name as an operator reads it ("response too large").
const char* HttpFailureName(HttpFailure failure);

}  // namespace corvel::http
