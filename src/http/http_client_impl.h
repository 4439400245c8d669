// The member bodies of CHttpClientT; included by http_client.h only.
#pragma once

#include <algorithm>
#include <cctype>

namespace corvel::http {

namespace detail {

inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Position of CR LF CR LF in [from, to), or to when absent.
inline std::uint32_t FindBlankLine(const char* data, std::uint32_t from, std::uint32_t to)
{
    for (std::uint32_t at = from; at + 4 <= to; ++at) {
        if (data[at] == '\r' && data[at + 1] == '\n' && data[at + 2] == '\r' && data[at + 3] == '\n') {
            return at;
        }
    }
    return to;
}

}  // namespace detail

template <class TSocket>
CHttpClientT<TSocket>::CHttpClientT()
{
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
bool CHttpClientT<TSocket>::HeaderValue(const char* name, std::string& value) const
{
    auto found = headerTable.find(name);
    if (found == headerTable.end()) {
        return false;
    }
    value = found->second;
    return true;
}

template <class TSocket>
void CHttpClientT<TSocket>::ResetState()
{
    headerTable.clear();
    response.Empty();
    target.Reset();
    target.AssignScheme("http");
    target.AssignPort(80);
    requestMethod.clear();
    responseBodyLength = 0;
    headerLength = 0;
    headerOffset = 0;
    hasScanPosition = false;
    scanPosition = 0;
    dataEnd = 0;
    statusCode = -1;
    deadlineExpired = false;
    redirectCount = 0;
    redirectLimitReached = false;
    statusOverflow = false;
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
        return false;
    }
    if (!BuildRequestText(requestMethod.c_str(), requestOptions.extraHeaders)) {
        return false;
    }
    if (!ConnectToServer()) {
        return false;
    }

    const auto textLength = static_cast<std::uint32_t>(requestText.size());
    const auto* body = static_cast<const char*>(requestOptions.body);
    std::uint64_t totalSent = 0;
    bool sendFailed = false;
    // In the piecewise modes every send reports to sendStatus, and a false
    // answer ends the sending.
    auto reported = [&requestOptions](std::uint32_t bytes) {
        return requestOptions.sendStatus == nullptr || requestOptions.sendStatus(bytes, requestOptions.sendStatusParam);
    };
    if ((requestOptions.flags & RequestOptions::bodyFromSource) != 0 && requestOptions.bodySource != nullptr) {
        if (SendWhole(requestText.data(), textLength) && reported(textLength)) {
            totalSent = textLength;
            for (;;) {
                const char* piece = nullptr;
                std::uint32_t pieceLength = 0;
                if (!requestOptions.bodySource(&piece, &pieceLength, requestOptions.bodySourceParam) ||
                    piece == nullptr || pieceLength == 0) {
                    break;
                }
                if (!SendWhole(piece, pieceLength)) {
                    sendFailed = true;
                    break;
                }
                totalSent += pieceLength;
                if (!reported(pieceLength)) {
                    sendFailed = true;
                    break;
                }
            }
        } else {
            sendFailed = true;
        }
    } else if (body == nullptr) {
        std::uint32_t sent = 0;
        WSABUF buffer{textLength, requestText.data()};
        if (SendBounded(&buffer, 1, &sent)) {
            totalSent = sent;
        }
        if (requestOptions.sendStatus != nullptr) {
            requestOptions.sendStatus(sent, requestOptions.sendStatusParam);
        }
    } else if ((requestOptions.flags & RequestOptions::sendInBlocks) != 0) {
        if (SendWhole(requestText.data(), textLength) && reported(textLength)) {
            totalSent = textLength;
            std::uint32_t offset = 0;
            while (requestOptions.sendBlockSize != 0 && offset < requestOptions.bodyLength) {
                const std::uint32_t piece = std::min(requestOptions.sendBlockSize, requestOptions.bodyLength - offset);
                if (!SendWhole(body + offset, piece)) {
                    sendFailed = true;
                    break;
                }
                offset += piece;
                totalSent += piece;
                if (!reported(piece)) {
                    sendFailed = true;
                    break;
                }
            }
        } else {
            sendFailed = true;
        }
    } else {
        std::uint32_t sent = 0;
        WSABUF buffers[2] = {{textLength, requestText.data()},
                             {requestOptions.bodyLength, const_cast<char*>(body)}};
        if (SendBounded(buffers, 2, &sent)) {
            totalSent = sent;
        }
        if (requestOptions.sendStatus != nullptr) {
            requestOptions.sendStatus(sent, requestOptions.sendStatusParam);
        }
    }
    if (sendFailed || totalSent != std::uint64_t{textLength} + requestOptions.bodyLength) {
        this->CloseSocket();
        return false;
    }

    if (ReadResponse() != ResponseReadResult::ok) {
        this->CloseSocket();
        return false;
    }
    if ((requestOptions.flags & RequestOptions::checkStatus) != 0 && !CheckStatusCode(requestOptions.flags)) {
        this->CloseSocket();
        return false;
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
    return ConnectBounded(target.HostName(), target.PortNumber());
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

template <class TSocket>
bool CHttpClientT<TSocket>::ConnectBounded(const char* hostName, std::uint16_t port)
{
    return BoundWait() && Settle(this->ConnectHost(hostName, port));
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
    return SendWhole(requestText.data(), static_cast<std::uint32_t>(requestText.size()));
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReadMore()
{
    char block[kHeaderReceiveSize];
    std::uint32_t emptyReceives = 0;
    for (;;) {
        std::uint32_t size = sizeof block;
        if (!ReceiveBounded(block, &size)) {
            return false;
        }
        if (options != nullptr && options->readStatus != nullptr &&
            !options->readStatus(size, options->readStatusParam)) {
            return false;
        }
        if (size != 0) {
            const std::uint32_t oldEnd = response.Length();
            if (!response.Append(block, size)) {
                return false;
            }
            dataEnd = response.Length();
            // The search goes on where it could first find the blank line
            // among the new bytes: a header block that arrives in small pieces
            // is scanned once, not once per receive.
            scanPosition = std::max(headerOffset, oldEnd >= 3 ? oldEnd - 3 : 0u);
            return true;
        }
        if (++emptyReceives == kMaxEmptyReceives) {
            return false;
        }
    }
}

template <class TSocket>
ResponseReadResult CHttpClientT<TSocket>::ReadResponse()
{
    response.Empty();
    hasScanPosition = false;
    scanPosition = 0;
    dataEnd = 0;
    headerOffset = 0;

    for (;;) {  // one pass per response; an interim 100 starts the next
        headerTable.clear();
        statusCode = -1;
        statusOverflow = false;
        headerLength = 0;
        responseBodyLength = 0;

        const std::uint32_t responseStart = hasScanPosition ? scanPosition : 0;
        headerOffset = responseStart;
        std::uint32_t blankLine = 0;
        for (;;) {
            if (hasScanPosition) {
                blankLine = detail::FindBlankLine(response.Data(), scanPosition, dataEnd);
                if (blankLine != dataEnd) {
                    break;
                }
            }
            if (!ReadMore()) {
                return ResponseReadResult::socketReadFailed;
            }
            hasScanPosition = true;
        }
        scanPosition = blankLine + 4;
        headerLength = scanPosition - responseStart;
        headerOffset = responseStart;

        ParseStatusLine();
        if (statusCode == -1) {
            return ResponseReadResult::badStatusLine;
        }
        if (statusCode == 100) {
            continue;
        }
        if (!ParseHeaderLines()) {
            return ResponseReadResult::badHeaders;
        }

        ResponseReadResult result = ResponseReadResult::ok;
        std::string value;
        if (HeaderValue("Transfer-Encoding", value) && EqualsFolded(value.c_str(), "chunked")) {
            if (!ReadChunkedBody()) {
                return ResponseReadResult::chunkedBodyReadFailed;
            }
        } else {
            std::int64_t contentLength = -1;
            if (HeaderValue("Content-Length", value)) {
                // Leading digits as a decimal number, clamped to 32 bits.
                const char* digits = value.c_str();
                bool negative = false;
                while (detail::IsSpace(*digits)) {
                    ++digits;
                }
                if (*digits == '-' || *digits == '+') {
                    negative = *digits == '-';
                    ++digits;
                }
                std::int64_t number = 0;
                while (*digits >= '0' && *digits <= '9') {
                    number = std::min<std::int64_t>(number * 10 + (*digits - '0'), INT32_MAX);
                    ++digits;
                }
                contentLength = negative ? -number : number;
            }
            const std::uint32_t bodySoFar = dataEnd - headerOffset - headerLength;
            if (!ReadPlainBody(contentLength, bodySoFar)) {
                result = ResponseReadResult::bodyReadFailed;
            }
        }
        if (HeaderValue("Connection", value) && EqualsFolded(value.c_str(), "close")) {
            this->CloseSocket();
        }
        return result;
    }
}

template <class TSocket>
bool CHttpClientT<TSocket>::FindHeaderLines(std::uint32_t* lineStart)
{
    // The status line is read only within the header block.
    const char* data = response.Data();
    const std::uint32_t end = headerOffset + headerLength;
    std::uint32_t at = headerOffset;
    while (at < end && !detail::IsSpace(data[at])) {
        ++at;
    }
    while (at < end && detail::IsSpace(data[at])) {
        ++at;
    }
    if (at >= end || data[at] < '0' || data[at] > '9') {
        return false;
    }
    std::int64_t number = 0;
    bool overflow = false;
    while (at < end && data[at] >= '0' && data[at] <= '9') {
        number = number * 10 + (data[at] - '0');
        if (number > INT32_MAX) {
            number = INT32_MAX;
            overflow = true;
        }
        ++at;
    }
    statusCode = static_cast<std::int32_t>(number);
    statusOverflow = overflow;
    while (at < end && data[at] != '\n') {
        ++at;
    }
    if (at >= end) {
        return false;
    }
    *lineStart = at + 1;
    return !overflow;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ParseStatusLine()
{
    std::uint32_t lineStart = 0;
    return FindHeaderLines(&lineStart);
}

template <class TSocket>
bool CHttpClientT<TSocket>::ParseHeaderLines()
{
    std::uint32_t lineStart = 0;
    if (!FindHeaderLines(&lineStart)) {
        return false;
    }
    const char* data = response.Data();
    // Header lines end at the blank line; body bytes never count as headers.
    const std::uint32_t end = headerOffset + headerLength;
    while (lineStart < end && data[lineStart] != 0) {
        std::uint32_t lineEnd = lineStart;
        bool found = false;
        while (lineEnd + 1 < end) {
            if (data[lineEnd] == 0) {
                found = true;
                break;
            }
            if (data[lineEnd] == '\r' && data[lineEnd + 1] == '\n') {
                const bool blankFollows = lineEnd + 4 <= end && data[lineEnd + 2] == '\r' && data[lineEnd + 3] == '\n';
                if (lineEnd + 2 < end && detail::IsSpace(data[lineEnd + 2]) && !blankFollows) {
                    lineEnd += 2;  // a folded header: the next physical line continues this one
                    continue;
                }
                found = true;
                break;
            }
            ++lineEnd;
        }
        if (!found) {
            return true;
        }
        ParseHeaderLine(data + lineStart, data + lineEnd);
        if (lineEnd + 4 <= end && data[lineEnd] == '\r' && data[lineEnd + 1] == '\n' && data[lineEnd + 2] == '\r' &&
            data[lineEnd + 3] == '\n') {
            return true;
        }
        if (data[lineEnd] == 0) {
            return true;
        }
        lineStart = lineEnd + 2;
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ParseHeaderLine(const char* lineStart, const char* lineEnd)
{
    const char* colon = static_cast<const char*>(std::memchr(lineStart, ':', lineEnd - lineStart));
    if (colon == nullptr) {
        return true;
    }
    if (static_cast<std::size_t>(colon - lineStart) >= kMaxHeaderPartLength) {
        return false;
    }
    const char* valueStart = colon + 1;
    while (valueStart < lineEnd && detail::IsSpace(*valueStart)) {
        ++valueStart;
    }
    if (static_cast<std::size_t>(lineEnd - valueStart) >= kMaxHeaderPartLength) {
        return false;
    }
    try {
        std::string name(lineStart, colon);
        std::string value(valueStart, lineEnd);
        if (EqualsFolded(name.c_str(), "www-authenticate") || EqualsFolded(name.c_str(), "proxy-authenticate")) {
            challengeList.push_back(value);
        }
        auto found = headerTable.find(name);
        if (found != headerTable.end()) {
            found->second += ',';
            found->second += value;
        } else {
            headerTable.emplace(name, value);
        }
        if (EqualsFolded(name.c_str(), "set-cookie")) {
            CookieReceived(value.c_str());
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReadPlainBody(std::int64_t contentLength, std::uint32_t bodyBytesSoFar)
{
    const std::uint32_t blockSize =
        options != nullptr && options->readBlockSize != 0 ? options->readBlockSize : kDefaultReadBlockSize;
    std::vector<char> block;
    try {
        block.resize(blockSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::int64_t bodySoFar = bodyBytesSoFar;
    std::uint32_t emptyReceives = 0;
    if (contentLength != -1) {
        while (bodySoFar < contentLength) {
            std::uint32_t size = blockSize;
            if (!ReceiveBounded(block.data(), &size)) {
                return false;
            }
            if (options != nullptr && options->readStatus != nullptr &&
                !options->readStatus(size, options->readStatusParam)) {
                return false;
            }
            if (size == 0) {
                if (++emptyReceives == kMaxEmptyReceives) {
                    return false;
                }
                continue;
            }
            emptyReceives = 0;
            if (!response.Append(block.data(), size)) {
                return false;
            }
            dataEnd = response.Length();
            bodySoFar += size;
        }
    } else {
        for (;;) {
            std::uint32_t size = blockSize;
            if (!ReceiveBounded(block.data(), &size)) {
                // The end of the connection, or silence: the body is complete.
                // Only a request that ran out of its deadline fails here.
                if (deadlineExpired) {
                    return false;
                }
                break;
            }
            if (options != nullptr && options->readStatus != nullptr &&
                !options->readStatus(size, options->readStatusParam)) {
                return false;
            }
            if (size == 0) {
                if (++emptyReceives == kMaxEmptyReceives + 1) {
                    break;
                }
                continue;
            }
            emptyReceives = 0;
            if (!response.Append(block.data(), size)) {
                return false;
            }
            dataEnd = response.Length();
            bodySoFar += size;
        }
    }
    responseBodyLength = static_cast<std::uint32_t>(bodySoFar);
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReadChunkedBody()
{
    enum class ChunkState { size, sizeEnd, data, dataEnd, last, trailers, finished };

    std::vector<char> work;
    ResponseBuffer collected;
    const std::uint32_t bodySoFar = dataEnd - headerOffset - headerLength;
    try {
        work.resize(std::max(kChunkWorkBufferSize, bodySoFar));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!collected.Append(response.Data() + headerOffset, headerLength)) {
        return false;
    }
    std::memcpy(work.data(), response.Data() + headerOffset + headerLength, bodySoFar);
    std::size_t cursor = 0;
    std::size_t unread = bodySoFar;
    response.Empty();
    responseBodyLength = 0;
    headerOffset = 0;
    dataEnd = 0;

    // Moves the unread rest to the start of the work buffer and receives once
    // into the free space after it; a failed or empty receive fails the body.
    auto receiveMore = [&]() -> bool {
        std::memmove(work.data(), work.data() + cursor, unread - cursor);
        unread -= cursor;
        cursor = 0;
        if (unread == work.size()) {
            return false;  // a line longer than the work buffer never completes
        }
        auto size = static_cast<std::uint32_t>(work.size() - unread);
        if (!ReceiveBounded(work.data() + unread, &size) || size == 0) {
            return false;
        }
        unread += size;
        return true;
    };

    std::string trailerValue;
    const bool hasTrailers = HeaderValue("Trailer", trailerValue);
    auto decode = [&]() -> bool {
        ChunkState state = ChunkState::size;
        std::uint32_t chunkSize = 0;
        while (state != ChunkState::finished) {
            switch (state) {
            case ChunkState::size: {
                std::size_t consumed = 0;
                const ChunkSizeScan scan =
                    ScanChunkSize(work.data() + cursor, work.data() + unread, &chunkSize, &consumed);
                if (scan == ChunkSizeScan::invalid) {
                    return false;
                }
                if (scan == ChunkSizeScan::needMoreBytes) {
                    if (!receiveMore()) {
                        return false;
                    }
                    break;
                }
                cursor += consumed;  // onto the CR after the digits
                if (chunkSize == 0) {
                    state = ChunkState::last;
                    break;
                }
                if (std::uint64_t{collected.Length()} + chunkSize > kMaxResponseBytes) {
                    return false;
                }
                if (std::uint64_t{chunkSize} + 2 > work.size()) {
                    try {
                        work.resize(std::size_t{chunkSize} * 2);
                    } catch (const std::bad_alloc&) {
                        return false;
                    }
                }
                responseBodyLength += chunkSize;
                state = ChunkState::sizeEnd;
                break;
            }
            case ChunkState::sizeEnd:
            case ChunkState::dataEnd:
                if (unread - cursor < 2) {
                    if (!receiveMore()) {
                        return false;
                    }
                    break;
                }
                if (work[cursor] != '\r' || work[cursor + 1] != '\n') {
                    return false;
                }
                cursor += 2;
                state = state == ChunkState::sizeEnd ? ChunkState::data : ChunkState::size;
                break;
            case ChunkState::data:
                if (unread - cursor < chunkSize) {
                    if (!receiveMore()) {
                        return false;
                    }
                    break;
                }
                if (!collected.Append(work.data() + cursor, chunkSize)) {
                    return false;
                }
                cursor += chunkSize;
                state = ChunkState::dataEnd;
                break;
            case ChunkState::last:
                if (unread - cursor < 2) {
                    if (!receiveMore()) {
                        return false;
                    }
                    break;
                }
                if (work[cursor] == '\r' && work[cursor + 1] == '\n') {
                    cursor += 2;
                }
                state = hasTrailers ? ChunkState::trailers : ChunkState::finished;
                break;
            case ChunkState::trailers: {
                const char* lineStart = work.data() + cursor;
                const char* lineEnd = nullptr;
                for (std::size_t at = cursor; at + 1 < unread; ++at) {
                    if (work[at] == '\r' && work[at + 1] == '\n') {
                        lineEnd = work.data() + at;
                        break;
                    }
                }
                if (lineEnd == nullptr) {
                    if (!receiveMore()) {
                        return false;
                    }
                    break;
                }
                if (lineEnd == lineStart) {
                    state = ChunkState::finished;
                    break;
                }
                ParseHeaderLine(lineStart, lineEnd);
                cursor = static_cast<std::size_t>(lineEnd - work.data()) + 2;
                break;
            }
            case ChunkState::finished:
                break;
            }
        }
        return true;
    };
    const bool decoded = decode();
    // Whatever happened, response holds the header block and the chunks read
    // so far, and the recorded lengths describe exactly those bytes: a failed
    // read never leaves the body pointing past the buffer.
    if (!response.Append(collected.Data(), collected.Length())) {
        headerLength = responseBodyLength = dataEnd = 0;
        return false;
    }
    dataEnd = response.Length();
    responseBodyLength = collected.Length() - headerLength;
    return decoded;
}

template <class TSocket>
bool CHttpClientT<TSocket>::CheckStatusCode(std::uint32_t flags)
{
    switch (statusCode) {
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

template <class TSocket>
void CHttpClientT<TSocket>::KeepAliveCheck()
{
    std::string value;
    if (HeaderValue("Connection", value) && EqualsFolded(value.c_str(), "close")) {
        this->CloseSocket();
        ConnectToServer();
    }
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
            redirectLimitReached = true;
            return false;
        }
        ++redirectCount;

        const std::string extraHeaders =
            options != nullptr && options->extraHeaders != nullptr ? options->extraHeaders : "";
        KeepAliveCheck();
        headerTable.clear();
        response.Empty();
        headerOffset = headerLength = responseBodyLength = dataEnd = 0;

        if (!ResolveLocation(location)) {
            return false;
        }
        const std::string oldHost = target.HostName();
        const std::uint16_t oldPort = target.PortNumber();
        if (!SetTargetText(location.c_str(), oldPort)) {
            return false;
        }
        if (oldHost != target.HostName() || oldPort != target.PortNumber()) {
            this->CloseSocket();
            ConnectToServer();  // a failure shows in the send below
        }
        if (!BuildRequestText(requestMethod.c_str(), extraHeaders.c_str()) || !SendRequestText()) {
            return false;
        }
        if (ReadResponse() == ResponseReadResult::ok && options != nullptr) {
            CheckStatusCode(options->flags);
        }
        // The caller judges statusCode; only the bounds of the request fail it here.
        return !redirectLimitReached && !deadlineExpired;
    } catch (...) {
        return false;
    }
}

template <class TSocket>
bool CHttpClientT<TSocket>::ResolveLocation(std::string& location)
{
    std::size_t first = 0;
    std::size_t last = location.size();
    while (first < last && detail::IsSpace(location[first])) {
        ++first;
    }
    while (last > first && detail::IsSpace(location[last - 1])) {
        --last;
    }
    location = location.substr(first, last - first);

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
