// The member bodies of CHttpClientT, the HTTP/1.1 client under the SOAP
// transport (soap_socket_client.h); included by http_client.h only.
//
// One SendRequest runs through these stages; the response reader's own
// states are described in http_response_parser.h.
//   idle       -> targeted     ResetState, SetTarget, BuildRequestText
//   targeted   -> connected    ConnectToServer (kept from the last request
//                              when the socket is still connected)
//   connected  -> sent         SendRequestAndBody
//   sent       -> read         ReadResponse (the parser to complete or failed);
//                              it closes the socket unless the parser's
//                              KeepsConnection and no bytesBeyondResponse
//   read       -> done         CheckStatusCode (with checkStatus): 200-206, 304, 305
//                              as they are; 301-303 through FollowRedirect, which runs
//                              targeted..read again on the Location (at most
//                              kMaxRedirects times); 401 and 407 through
//                              AnswerChallenge
//   any stage  -> failed       Fail records the first HttpFailure; every later
//                              one is dropped. After the connection is made a
//                              failure closes the socket (SendRequest).
// Flags that may stand together: deadlineExpired is set by BoundWait or Settle
// once the request's deadline (kRequestDeadlineFactor times the time-out) has
// passed and then names the failure (deadlinePassed); bytesBeyondResponse is
// set by Feed and only closes the connection; failure stays none while the
// request succeeds, and ResetState clears all three and redirectCount.
// options points at the caller's record during SendRequest only.
#pragma once

#include <algorithm>
#include <cctype>

#include "platform/ascii.h"

namespace corvel::http {

template <class TSocket>
CHttpClientT<TSocket>::CHttpClientT()
{
    parser.SetHeaderLineSink(&CHttpClientT::HeaderLineParsed, this);
    target.AssignScheme("http");
    target.AssignPort(80);
    this->CloseSocket();
    ResetState();
}

template <class TSocket>
CHttpClientT<TSocket>::~CHttpClientT()
{
    this->CloseSocket();
}

template <class TSocket>
void CHttpClientT<TSocket>::HeaderLineParsed(void* context, const std::string& name, const std::string& value)
{
    auto* client = static_cast<CHttpClientT*>(context);
    if (EqualsFolded(name.c_str(), "www-authenticate") || EqualsFolded(name.c_str(), "proxy-authenticate")) {
        if (client->challengeList.size() < kMaxChallenges) {
            client->challengeList.push_back(value);
        }
    }
    if (EqualsFolded(name.c_str(), "set-cookie")) {
        client->CookieReceived(value.c_str());
    }
}

template <class TSocket>
void CHttpClientT<TSocket>::ResetState()
{
    parser.Begin();
    target.Reset();
    target.AssignScheme("http");
    target.AssignPort(80);
    requestMethod.clear();
    failure = HttpFailure::none;
    bytesBeyondResponse = false;
    deadlineExpired = false;
    redirectCount = 0;
}

template <class TSocket>
bool CHttpClientT<TSocket>::Fail(HttpFailure reason)
{
    if (failure == HttpFailure::none) {
        failure = reason;
    }
    return false;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReceiveFailed()
{
    return Fail(deadlineExpired ? HttpFailure::deadlinePassed : HttpFailure::receiveFailed);
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendRequest(const CParsedUrl& url, RequestOptions& requestOptions)
{
    ResetState();
    options = &requestOptions;
    requestMethod = requestOptions.requestMethod != nullptr ? requestOptions.requestMethod : "";
    requestTimeoutMs = requestOptions.timeoutMs;
    this->SetTimeout(requestTimeoutMs);
    deadlineMs = platform::MonotonicMs() + std::uint64_t{kRequestDeadlineFactor} * requestTimeoutMs;

    // The caller's record is not kept beyond this call, whatever the outcome.
    struct OptionsRelease {
        RequestOptions*& held;
        ~OptionsRelease() { held = nullptr; }
    } release{options};

    if (!SetTarget(url, requestOptions.port)) {
        return Fail(HttpFailure::badTarget);
    }
    if (!BuildRequestText(requestMethod.c_str(), requestOptions.extraHeaders)) {
        return Fail(HttpFailure::requestTextFailed);
    }
    if (!ConnectToServer()) {
        return false;
    }
    // From here on every failure closes the connection: what is left on it
    // cannot be trusted to start the next response.
    if (!SendRequestAndBody() || ReadResponse() != ResponseReadResult::ok) {
        this->CloseSocket();
        return false;
    }
    if ((requestOptions.flags & RequestOptions::checkStatus) != 0 && !CheckStatusCode(requestOptions.flags)) {
        this->CloseSocket();
        return Fail(HttpFailure::statusRejected);
    }
    return true;
}

// The request text and the body, by the first matching mode: from the body
// source; the text alone; the text, then the body in blocks; text and body
// in one gathered send. A redirected request goes out the same way. The
// request is sent when every byte of the text and the body went out.
template <class TSocket>
bool CHttpClientT<TSocket>::SendRequestAndBody()
{
    std::uint64_t sent = 0;
    bool completed = false;
    if ((options->flags & RequestOptions::bodyFromSource) != 0 && options->bodySource != nullptr) {
        completed = SendBodyFromSource(&sent);
    } else if (options->body == nullptr) {
        completed = SendTextAlone(&sent);
    } else if ((options->flags & RequestOptions::sendInBlocks) != 0) {
        completed = SendBodyInBlocks(&sent);
    } else {
        completed = SendGathered(&sent);
    }
    if (!completed || sent != std::uint64_t{requestText.size()} + options->bodyLength) {
        return Fail(deadlineExpired ? HttpFailure::deadlinePassed : HttpFailure::sendFailed);
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReportSent(std::uint32_t bytes)
{
    return options->sendStatus == nullptr || options->sendStatus(bytes, options->sendStatusParam);
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendBodyFromSource(std::uint64_t* sent)
{
    const auto textLength = static_cast<std::uint32_t>(requestText.size());
    if (!SendWhole(requestText.data(), textLength) || !ReportSent(textLength)) {
        return false;
    }
    *sent = textLength;
    for (;;) {
        const char* piece = nullptr;
        std::uint32_t pieceLength = 0;
        if (!options->bodySource(&piece, &pieceLength, options->bodySourceParam) || piece == nullptr ||
            pieceLength == 0) {
            return true;  // the source has no more
        }
        if (!SendWhole(piece, pieceLength)) {
            return false;
        }
        *sent += pieceLength;
        if (!ReportSent(pieceLength)) {
            return false;
        }
    }
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendTextAlone(std::uint64_t* sent)
{
    std::uint32_t bytes = 0;
    WSABUF buffer{static_cast<std::uint32_t>(requestText.size()), requestText.data()};
    if (SendBounded(&buffer, 1, &bytes)) {
        *sent = bytes;
    }
    if (options->sendStatus != nullptr) {
        options->sendStatus(bytes, options->sendStatusParam);  // one send: its answer changes nothing
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendBodyInBlocks(std::uint64_t* sent)
{
    const auto textLength = static_cast<std::uint32_t>(requestText.size());
    const auto* body = static_cast<const char*>(options->body);
    if (!SendWhole(requestText.data(), textLength) || !ReportSent(textLength)) {
        return false;
    }
    *sent = textLength;
    std::uint32_t offset = 0;
    while (options->sendBlockSize != 0 && offset < options->bodyLength) {
        const std::uint32_t piece = std::min(options->sendBlockSize, options->bodyLength - offset);
        if (!SendWhole(body + offset, piece)) {
            return false;
        }
        offset += piece;
        *sent += piece;
        if (!ReportSent(piece)) {
            return false;
        }
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendGathered(std::uint64_t* sent)
{
    std::uint32_t bytes = 0;
    WSABUF buffers[2] = {{static_cast<std::uint32_t>(requestText.size()), requestText.data()},
                         {options->bodyLength, const_cast<char*>(static_cast<const char*>(options->body))}};
    if (SendBounded(buffers, 2, &bytes)) {
        *sent = bytes;
    }
    if (options->sendStatus != nullptr) {
        options->sendStatus(bytes, options->sendStatusParam);  // one send: its answer changes nothing
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SetTarget(const CParsedUrl& url, std::uint16_t defaultPort)
{
    target = url;
    if (target.SchemeType() != kSchemeHttp) {
        return false;
    }
    if (target.PathLength() == 0) {
        target.AssignPath("/");
    }
    if (target.HostNameLength() == 0) {
        return false;
    }
    if (target.PortNumber() == 0) {
        target.AssignPort(defaultPort);
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SetTargetText(const char* text, std::uint16_t defaultPort)
{
    CParsedUrl parsed;
    if (!parsed.Parse(text)) {
        return false;
    }
    return SetTarget(parsed, defaultPort);
}

template <class TSocket>
bool CHttpClientT<TSocket>::BuildRequestText(const char* method, const char* extraHeaderText)
{
    try {
        std::string text;
        text.reserve(256);
        text += method;
        text += ' ';
        text += target.Path();
        text += target.Query();
        text += " HTTP/1.1\r\n";
        if (options != nullptr && options->bodyLength != 0) {
            text += "Content-Length: ";
            text += std::to_string(options->bodyLength);
            text += "\r\n";
        }
        if (options != nullptr && options->contentType != nullptr && options->contentType[0] != 0) {
            text += "Content-Type: ";
            text += options->contentType;
            text += "\r\n";
        }
        if (extraHeaderText != nullptr) {
            text += extraHeaderText;
        }
        text += "Host: ";
        text += target.HostName();
        if (target.PortNumber() != 80) {
            text += ':';
            text += std::to_string(target.PortNumber());
        }
        text += "\r\n";
        text += kUserAgentLine;
        text += "\r\n";
        requestText = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}

template <class TSocket>
bool CHttpClientT<TSocket>::ConnectToServer()
{
    if (!ConnectBounded(target.HostName(), target.PortNumber())) {
        return Fail(deadlineExpired ? HttpFailure::deadlinePassed : HttpFailure::connectFailed);
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::BoundWait()
{
    const std::uint64_t now = platform::MonotonicMs();
    if (now > deadlineMs) {
        deadlineExpired = true;
        return false;
    }
    const std::uint64_t remaining = deadlineMs - now;
    this->SetTimeout(static_cast<std::uint32_t>(std::min<std::uint64_t>(requestTimeoutMs, remaining)));
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::Settle(bool succeeded)
{
    // A wait cut short by the deadline counts as the deadline's failure.
    if (!succeeded && platform::MonotonicMs() >= deadlineMs) {
        deadlineExpired = true;
    }
    return succeeded;
}

// A host name (a redirect's) is resolved within what is left of the
// deadline, not just within one wait: a name server that never answers
// ends the request when its deadline passes.
template <class TSocket>
bool CHttpClientT<TSocket>::ConnectBounded(const char* hostName, std::uint16_t port)
{
    if (!BoundWait()) {
        return false;
    }
    const std::uint64_t now = platform::MonotonicMs();
    const std::uint64_t left = deadlineMs > now ? deadlineMs - now : 0;
    this->SetResolveTimeout(static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kNoResolveLimit - 1)));
    return Settle(this->ConnectHost(hostName, port));
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendBounded(const WSABUF* buffers, std::uint32_t count, std::uint32_t* bytesSent)
{
    *bytesSent = 0;
    return BoundWait() && Settle(this->Send(buffers, count, bytesSent));
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReceiveBounded(void* buffer, std::uint32_t* size)
{
    if (!BoundWait()) {
        *size = 0;
        return false;
    }
    return Settle(this->Receive(buffer, size));
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendWhole(const void* bytes, std::uint32_t length)
{
    WSABUF buffer{length, static_cast<char*>(const_cast<void*>(bytes))};
    std::uint32_t sent = 0;
    return SendBounded(&buffer, 1, &sent) && sent == length;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendRequestText()
{
    return SendWhole(requestText.data(), static_cast<std::uint32_t>(requestText.size())) ||
           Fail(deadlineExpired ? HttpFailure::deadlinePassed : HttpFailure::sendFailed);
}

// Feeds received bytes to the reader. Bytes beyond the end of the response
// belong to no request of ours: the connection is not used again.
template <class TSocket>
bool CHttpClientT<TSocket>::Feed(const char* bytes, std::uint32_t size)
{
    const CHttpResponseParser::PutResult put = parser.Put(bytes, size);
    if (put.progress == CHttpResponseParser::Progress::failed) {
        return Fail(parser.Failure());
    }
    if (put.consumed < size) {
        bytesBeyondResponse = true;
    }
    return true;
}

// One receive of the header phase: up to kHeaderReceiveSize bytes. Receives
// of 0 bytes are repeated; the fifth in a row fails.
template <class TSocket>
bool CHttpClientT<TSocket>::ReadMore(char* block, std::uint32_t* size)
{
    const std::uint32_t capacity = *size;
    std::uint32_t emptyReceives = 0;
    for (;;) {
        *size = capacity;
        if (!ReceiveBounded(block, size)) {
            return ReceiveFailed();
        }
        if (options != nullptr && options->readStatus != nullptr &&
            !options->readStatus(*size, options->readStatusParam)) {
            return Fail(HttpFailure::readStopped);
        }
        if (*size != 0) {
            return true;
        }
        if (++emptyReceives == kMaxEmptyReceives) {
            return Fail(HttpFailure::connectionClosed);
        }
    }
}

template <class TSocket>
ResponseReadResult CHttpClientT<TSocket>::ReadResponse()
{
    bytesBeyondResponse = false;
    parser.Begin(EqualsFolded(requestMethod.c_str(), "HEAD"));
    auto failed = [this]() {
        switch (parser.Failure()) {
        case HttpFailure::badStatusLine:
            return ResponseReadResult::badStatusLine;
        case HttpFailure::badHeaders:
            return ResponseReadResult::badHeaders;
        default:
            if (parser.HeaderLength() == 0) {
                return ResponseReadResult::socketReadFailed;
            }
            return parser.IsChunked() ? ResponseReadResult::chunkedBodyReadFailed
                                      : ResponseReadResult::bodyReadFailed;
        }
    };

    // The header block (interim answers are dropped inside the reader); the
    // bytes after it in the same receive go on into the body.
    char block[kHeaderReceiveSize];
    while (parser.InHeaderBlock()) {
        std::uint32_t size = sizeof block;
        if (!ReadMore(block, &size)) {
            return ResponseReadResult::socketReadFailed;
        }
        if (!Feed(block, size)) {
            return failed();
        }
    }
    if (parser.CurrentState() != CHttpResponseParser::State::complete) {
        if (parser.CurrentState() == CHttpResponseParser::State::failed) {
            return failed();
        }
        if (!(parser.IsChunked() ? ReadChunkedBody() : ReadPlainBody())) {
            return failed();
        }
    }
    if (!parser.KeepsConnection() || bytesBeyondResponse) {
        this->CloseSocket();
    }
    return ResponseReadResult::ok;
}

// A body of known length, or until the end of the connection, in receives of
// readBlockSize (2048 when 0). For a known length, five receives of 0 bytes in
// a row fail; a body until close ends on a failed receive (unless the
// deadline has passed) or on the sixth receive of 0 bytes.
template <class TSocket>
bool CHttpClientT<TSocket>::ReadPlainBody()
{
    const std::uint32_t blockSize =
        options != nullptr && options->readBlockSize != 0 ? options->readBlockSize : kDefaultReadBlockSize;
    std::vector<char> block;
    try {
        block.resize(blockSize);
    } catch (const std::bad_alloc&) {
        return Fail(HttpFailure::outOfMemory);
    }
    const bool untilClose = parser.CurrentState() == CHttpResponseParser::State::bodyUntilClose;
    std::uint32_t emptyReceives = 0;
    while (parser.CurrentState() == CHttpResponseParser::State::plainBody ||
           parser.CurrentState() == CHttpResponseParser::State::bodyUntilClose) {
        std::uint32_t size = blockSize;
        if (!ReceiveBounded(block.data(), &size)) {
            if (untilClose && !deadlineExpired) {
                parser.PutEnd();  // the end of the connection, or silence: the body is complete
                break;
            }
            return ReceiveFailed();
        }
        if (options != nullptr && options->readStatus != nullptr &&
            !options->readStatus(size, options->readStatusParam)) {
            return Fail(HttpFailure::readStopped);
        }
        if (size == 0) {
            ++emptyReceives;
            if (untilClose && emptyReceives == kMaxEmptyReceives + 1) {
                parser.PutEnd();
                break;
            }
            if (!untilClose && emptyReceives == kMaxEmptyReceives) {
                return Fail(HttpFailure::connectionClosed);
            }
            continue;
        }
        emptyReceives = 0;
        if (!Feed(block.data(), size)) {
            return false;
        }
    }
    return parser.CurrentState() == CHttpResponseParser::State::complete || Fail(parser.Failure());
}

// A chunked body, received kChunkWorkBufferSize bytes at a time; the reader
// runs its chunk states over them. A failed receive or one of 0 bytes fails.
template <class TSocket>
bool CHttpClientT<TSocket>::ReadChunkedBody()
{
    char block[kChunkWorkBufferSize];
    while (parser.CurrentState() != CHttpResponseParser::State::complete) {
        std::uint32_t size = sizeof block;
        if (!ReceiveBounded(block, &size)) {
            return ReceiveFailed();
        }
        if (size == 0) {
            return Fail(HttpFailure::connectionClosed);
        }
        if (!Feed(block, size)) {
            return false;
        }
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::CheckStatusCode(std::uint32_t flags)
{
    switch (StatusCode()) {
    case 200:
    case 201:
    case 202:
    case 203:
    case 204:
    case 205:
    case 206:
    case 304:
    case 305:
        return true;
    case 301:
    case 302:
    case 303:
        return (flags & RequestOptions::followRedirects) != 0 && FollowRedirect();
    case 401:
        return AnswerChallenge(false);
    case 407:
        return AnswerChallenge(true);
    default:
        return false;
    }
}

// A response that did not leave the connection open (Connection: close, or
// any response the reader does not trust for reuse) is followed by a new
// connection to the current target.
template <class TSocket>
bool CHttpClientT<TSocket>::KeepAliveCheck()
{
    return this->IsConnected() || ConnectToServer();
}

template <class TSocket>
bool CHttpClientT<TSocket>::FollowRedirect()
{
    try {
        std::string location;
        if (!HeaderValue("Location", location)) {
            return true;
        }
        // A server that redirects for ever (to itself, or round a ring of
        // hosts) ends the request at the limit instead of holding it.
        if (redirectCount == kMaxRedirects) {
            return Fail(HttpFailure::tooManyRedirects);
        }
        ++redirectCount;

        const std::string extraHeaders =
            options != nullptr && options->extraHeaders != nullptr ? options->extraHeaders : "";
        if (!ResolveLocation(location)) {
            return Fail(HttpFailure::badLocation);
        }
        const std::string oldHost = target.HostName();
        const std::uint16_t oldPort = target.PortNumber();
        if (!SetTargetText(location.c_str(), oldPort)) {
            return Fail(HttpFailure::badLocation);
        }
        if (oldHost != target.HostName() || oldPort != target.PortNumber()) {
            this->CloseSocket();
        }
        if (!KeepAliveCheck()) {
            return false;
        }
        if (!BuildRequestText(requestMethod.c_str(), extraHeaders.c_str())) {
            return Fail(HttpFailure::requestTextFailed);
        }
        // The redirected request is sent whole, body included; any failure
        // from here on fails the request, and the caller closes the socket.
        if (!SendRequestAndBody() || ReadResponse() != ResponseReadResult::ok) {
            return false;
        }
        // The caller judges the final statusCode; only a failure of the
        // exchange itself (a further redirect's, say) fails it here.
        if (options != nullptr && !CheckStatusCode(options->flags) && failure != HttpFailure::none) {
            return false;
        }
        return true;
    } catch (...) {
        return Fail(HttpFailure::outOfMemory);
    }
}

// The Location text, trimmed; one that still holds a control character or a
// space cannot become a request line. An absolute URL of any scheme is kept;
// anything else is a reference relative to the current target.
template <class TSocket>
bool CHttpClientT<TSocket>::ResolveLocation(std::string& location)
{
    std::size_t first = 0;
    std::size_t last = location.size();
    while (first < last && platform::IsAsciiSpace(location[first])) {
        ++first;
    }
    while (last > first && platform::IsAsciiSpace(location[last - 1])) {
        --last;
    }
    location = location.substr(first, last - first);
    for (char c : location) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return false;
        }
    }

    CParsedUrl absolute;
    if (absolute.Parse(location.c_str())) {
        return true;
    }
    CParsedUrl resolved = target;
    std::string newPath;
    if (!location.empty() && location[0] == '/') {
        newPath = location;
    } else {
        std::string base = target.Path();
        const std::size_t slash = base.rfind('/');
        base = slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1);
        newPath = base + location;
    }
    if (!resolved.AssignPath(newPath.c_str())) {
        return false;
    }
    char text[kLocationCapacity];
    std::uint32_t size = sizeof text;
    if (!resolved.Compose(text, &size)) {
        return false;
    }
    location.assign(text, size);
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::AnswerChallenge(bool forProxy)
{
    if (!silentLogonConfirmed) {
        char url[kZoneCheckUrlCapacity];
        std::uint32_t size = sizeof url;
        if (!target.Compose(url, &size) || !platform::SilentLogonAllowed(url)) {
            return false;
        }
    }
    bool answered = false;
    for (const std::string& challenge : challengeList) {
        const std::string scheme = challenge.substr(0, challenge.find(' '));
        auto found = authHandlers.find(scheme);
        if (found == authHandlers.end() || found->second == nullptr || found->second->skipped) {
            continue;
        }
        answered = found->second->AnswerChallenge(challenge, forProxy);
        if (answered) {
            break;
        }
    }
    return answered;
}

}  // namespace corvel::http
