// The names of the HTTP client's failures.
#include "http/http_failure.h"

namespace corvel::http {

const char* HttpFailureName(HttpFailure failure)
{
    switch (failure) {
    case HttpFailure::none:
        return "none";
    case HttpFailure::badTarget:
        return "bad target";
    case HttpFailure::requestTextFailed:
        return "request text failed";
    case HttpFailure::connectFailed:
        return "connect failed";
    case HttpFailure::sendFailed:
        return "send failed";
    case HttpFailure::receiveFailed:
        return "receive failed";
    case HttpFailure::connectionClosed:
        return "connection closed";
    case HttpFailure::deadlinePassed:
        return "deadline passed";
    case HttpFailure::readStopped:
        return "read stopped";
    case HttpFailure::badStatusLine:
        return "bad status line";
    case HttpFailure::badHeaders:
        return "bad headers";
    case HttpFailure::responseTooLarge:
        return "response too large";
    case HttpFailure::budgetExhausted:
        return "budget exhausted";
    case HttpFailure::outOfMemory:
        return "out of memory";
    case HttpFailure::badContentLength:
        return "bad content length";
    case HttpFailure::conflictingLengths:
        return "conflicting lengths";
    case HttpFailure::badChunkSize:
        return "bad chunk size";
    case HttpFailure::badChunkFraming:
        return "bad chunk framing";
    case HttpFailure::badLocation:
        return "bad Location";
    case HttpFailure::tooManyRedirects:
        return "too many redirects";
    case HttpFailure::statusRejected:
        return "status rejected";
    }
    return "unknown";
}

}  // namespace corvel::http
