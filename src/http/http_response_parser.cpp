// The socket-free response reader: the response buffer, the header name
// folding, the chunk-size scan and the state machine of one response.
#include "http/http_response_parser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/ascii.h"

namespace corvel::http {

namespace {

char FoldToUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

using platform::HexDigitValue;
// The C locale's white space (space, tab, CR, LF, VT, FF).
using platform::IsAsciiSpace;

// Optional white space around list elements and values (SP, HT).
bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trimmed(const std::string& text, std::size_t first, std::size_t last)
{
    while (first < last && IsBlank(text[first])) {
        ++first;
    }
    while (last > first && IsBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

// Whether the comma-separated list holds the token (case-insensitively).
bool ListHasToken(const std::string& list, const char* token)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::size_t end = comma == std::string::npos ? list.size() : comma;
        if (EqualsFolded(Trimmed(list, start, end).c_str(), token)) {
            return true;
        }
        if (comma == std::string::npos) {
            return false;
        }
        start = comma + 1;
    }
}

// A Content-Length value: one plain decimal number, or the same number
// repeated in a list (lines with the same name are joined by ",").
HttpFailure ParseContentLength(const std::string& value, std::uint64_t* length)
{
    bool first = true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        const std::size_t end = comma == std::string::npos ? value.size() : comma;
        const std::string element = Trimmed(value, start, end);
        if (element.empty() || element.size() > 19) {
            return element.empty() ? HttpFailure::badContentLength : HttpFailure::responseTooLarge;
        }
        std::uint64_t number = 0;
        for (char c : element) {
            if (c < '0' || c > '9') {
                return HttpFailure::badContentLength;
            }
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!first && number != *length) {
            return HttpFailure::conflictingLengths;
        }
        *length = number;
        first = false;
        if (comma == std::string::npos) {
            return HttpFailure::none;
        }
        start = comma + 1;
    }
}

}  // namespace

std::size_t FoldedHash::operator()(const std::string& text) const
{
    std::size_t hash = 14695981039346656037ull & static_cast<std::size_t>(-1);
    for (char c : text) {
        hash = (hash ^ static_cast<unsigned char>(FoldToUpper(c))) * static_cast<std::size_t>(1099511628211ull);
    }
    return hash;
}

bool FoldedEqual::operator()(const std::string& a, const std::string& b) const
{
    return a.size() == b.size() && EqualsFolded(a.c_str(), b.c_str());
}

bool EqualsFolded(const char* a, const char* b)
{
    for (; *a != 0 && *b != 0; ++a, ++b) {
        if (FoldToUpper(*a) != FoldToUpper(*b)) {
            return false;
        }
    }
    return *a == *b;
}

HttpFailure ResponseBuffer::Append(const void* bytes, std::uint32_t count)
{
    const std::uint64_t newLength = std::uint64_t{length} + count;
    if (newLength > kMaxResponseBytes) {
        return HttpFailure::responseTooLarge;
    }
    if (newLength + 1 > capacity) {
        // Grow by at least 4096 bytes, and by doubling once the buffer is
        // large, so that a big body is not copied once per receive.
        std::uint64_t newCapacity = std::uint64_t{capacity} + std::max<std::uint64_t>(kMinimumGrowth, count + 1u);
        newCapacity = std::max<std::uint64_t>(newCapacity, std::uint64_t{capacity} * 2);
        newCapacity = std::min<std::uint64_t>(newCapacity, std::uint64_t{kMaxResponseBytes} + 1);
        newCapacity = std::max<std::uint64_t>(newCapacity, newLength + 1);
        const std::size_t heldBefore = storage == inlineStorage ? 0 : capacity;
        // The budget is asked before the block exists, so that it is never
        // passed even for a moment.
        if (memory != nullptr && !memory->Hold(static_cast<std::size_t>(newCapacity) - heldBefore)) {
            return HttpFailure::budgetExhausted;
        }
        char* grown = nullptr;
        if (storage == inlineStorage) {
            grown = static_cast<char*>(std::malloc(newCapacity));
            if (grown != nullptr) {
                std::memcpy(grown, inlineStorage, length + 1);
            }
        } else {
            grown = static_cast<char*>(std::realloc(storage, newCapacity));
        }
        if (grown == nullptr) {
            if (memory != nullptr) {
                memory->Free(static_cast<std::size_t>(newCapacity) - heldBefore);
            }
            return HttpFailure::outOfMemory;
        }
        storage = grown;
        capacity = static_cast<std::uint32_t>(newCapacity);
    }
    if (count != 0) {
        std::memcpy(storage + length, bytes, count);
    }
    length = static_cast<std::uint32_t>(newLength);
    storage[length] = 0;
    return HttpFailure::none;
}

void ResponseBuffer::Truncate(std::uint32_t newLength)
{
    if (newLength < length) {
        length = newLength;
        storage[length] = 0;
    }
}

void ResponseBuffer::Empty()
{
    if (storage != inlineStorage) {
        std::free(storage);
        if (memory != nullptr) {
            memory->Free(capacity);
        }
        storage = inlineStorage;
        capacity = kInlineCapacity;
    }
    length = 0;
    storage[0] = 0;
}

// A chunk size is an unsigned hexadecimal number: optional leading white
// space, an optional sign (a minus negates), an optional 0x, then digits of
// either case (none give 0). It is complete only when a CR follows the digits
// at once; a chunk extension or a missing byte needs more bytes. Sizes of 2^31
// or more, and numbers out of range, are invalid.
ChunkSizeScan ScanChunkSize(const char* cursor, const char* end, std::uint32_t* size, std::size_t* consumed)
{
    const char* at = cursor;
    while (at < end && IsAsciiSpace(*at)) {
        ++at;
    }
    bool negative = false;
    if (at < end && (*at == '+' || *at == '-')) {
        negative = *at == '-';
        ++at;
    }
    if (at + 1 < end && at[0] == '0' && (at[1] == 'x' || at[1] == 'X') && at + 2 < end && HexDigitValue(at[2]) >= 0) {
        at += 2;
    }
    const char* digits = at;
    std::uint64_t value = 0;
    bool outOfRange = false;
    while (at < end && HexDigitValue(*at) >= 0) {
        if (value > (UINT64_MAX >> 4)) {
            outOfRange = true;
        } else {
            value = value * 16 + static_cast<std::uint64_t>(HexDigitValue(*at));
        }
        ++at;
    }
    // With no digits at all nothing is consumed: the byte after is the first one.
    const char* after = at == digits ? cursor : at;
    if (at == digits) {
        value = 0;
        negative = false;
    }
    if (after >= end || *after != '\r') {
        return ChunkSizeScan::needMoreBytes;
    }
    if (negative && value != 0) {
        return ChunkSizeScan::invalid;  // the negated number is 2^64 - value, far past 2^31
    }
    if (outOfRange || value >= (std::uint64_t{1} << 31)) {
        return ChunkSizeScan::invalid;
    }
    *size = static_cast<std::uint32_t>(value);
    *consumed = static_cast<std::size_t>(after - cursor);
    return ChunkSizeScan::complete;
}

CHttpResponseParser::CHttpResponseParser(ResponseBudget& budget) : memory(budget) {}

void CHttpResponseParser::Begin(bool bodylessRequest)
{
    Drop();
    state = State::headerBlock;
    failure = HttpFailure::none;
    statusCode = -1;
    statusOverflow = false;
    bodyless = bodylessRequest;
    wireBytes = 0;
    blankLineMatched = 0;
    chunked = joinTrailers = untilClose = lengthsAmbiguous = false;
    persistentVersion = keepAliveToken = closeToken = false;
    bodyRemaining = 0;
    chunkRemaining = 0;
    lineEndMatched = 0;
    lineLength = 0;
    lineEndsInCr = false;
}

void CHttpResponseParser::Drop()
{
    ClearHeaderTable();
    response.Empty();
    headerLength = 0;
    responseBodyLength = 0;
}

void CHttpResponseParser::ClearHeaderTable()
{
    headerTable.clear();
    memory.Free(static_cast<std::size_t>(tableBytes));
    tableBytes = 0;
}

bool CHttpResponseParser::HeaderValue(const char* name, std::string& value) const
{
    auto found = headerTable.find(name);
    if (found == headerTable.end()) {
        return false;
    }
    value = found->second;
    return true;
}

bool CHttpResponseParser::KeepsConnection() const
{
    const bool persistent = (persistentVersion || keepAliveToken) && !closeToken;
    return state == State::complete && persistent && !untilClose && !lengthsAmbiguous && statusCode != 101;
}

bool CHttpResponseParser::Fail(HttpFailure reason)
{
    if (state != State::failed) {
        failure = reason;
        state = State::failed;
    }
    return false;
}

bool CHttpResponseParser::Consume(std::size_t wire)
{
    if (Cost() + wire > kMaxResponseBytes) {
        return Fail(HttpFailure::responseTooLarge);
    }
    wireBytes += wire;
    return true;
}

bool CHttpResponseParser::Keep(const char* bytes, std::size_t count)
{
    const HttpFailure appended = response.Append(bytes, static_cast<std::uint32_t>(count));
    return appended == HttpFailure::none || Fail(appended);
}

CHttpResponseParser::PutResult CHttpResponseParser::Put(const char* bytes, std::size_t size)
{
    std::size_t at = 0;
    while (at < size) {
        switch (state) {
        case State::headerBlock: {
            // The bytes up to the end of the blank line belong to the block.
            static constexpr char kBlankLine[] = "\r\n\r\n";
            std::size_t end = at;
            while (end < size && blankLineMatched < 4) {
                const char byte = bytes[end++];
                blankLineMatched = byte == kBlankLine[blankLineMatched] ? blankLineMatched + 1 : byte == '\r' ? 1 : 0;
            }
            if (!Consume(end - at) || !Keep(bytes + at, end - at)) {
                return {at, Progress::failed};
            }
            at = end;
            if (blankLineMatched == 4) {
                blankLineMatched = 0;
                if (!HeaderBlockEnded()) {
                    return {at, Progress::failed};
                }
            }
            break;
        }
        case State::plainBody: {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, bodyRemaining));
            if (!Consume(take) || !Keep(bytes + at, take)) {
                return {at, Progress::failed};
            }
            at += take;
            bodyRemaining -= take;
            responseBodyLength += static_cast<std::uint32_t>(take);
            if (bodyRemaining == 0) {
                state = State::complete;
            }
            break;
        }
        case State::bodyUntilClose: {
            const std::size_t take = size - at;
            if (!Consume(take) || !Keep(bytes + at, take)) {
                return {at, Progress::failed};
            }
            at += take;
            responseBodyLength += static_cast<std::uint32_t>(take);
            break;
        }
        case State::chunkData: {
            const std::size_t take = std::min<std::size_t>(size - at, chunkRemaining);
            if (!Consume(take) || !Keep(bytes + at, take)) {
                return {at, Progress::failed};
            }
            at += take;
            chunkRemaining -= static_cast<std::uint32_t>(take);
            responseBodyLength += static_cast<std::uint32_t>(take);
            if (chunkRemaining == 0) {
                lineEndMatched = 0;
                state = State::chunkDataEnd;
            }
            break;
        }
        case State::chunkSize:
        case State::chunkSizeEnd:
        case State::chunkDataEnd:
        case State::lastChunk:
        case State::emptyLastChunk:
        case State::trailers: {
            // The framing lines go byte by byte; each counts against the cap.
            const char byte = bytes[at];
            if (!Consume(1)) {
                return {at, Progress::failed};
            }
            ++at;
            bool ok = true;
            switch (state) {
            case State::chunkSize:
                ok = ChunkSizeByte(byte);
                break;
            case State::chunkSizeEnd:
                ok = ExpectLineEnd(byte, State::chunkData);
                break;
            case State::chunkDataEnd:
                ok = ExpectLineEnd(byte, State::chunkSize);
                break;
            case State::lastChunk:
                ok = ExpectLineEnd(byte, State::trailers);
                break;
            case State::emptyLastChunk:
                ok = ExpectLineEnd(byte, State::complete);
                break;
            default:
                ok = TrailerByte(byte);
                break;
            }
            if (!ok) {
                return {at, Progress::failed};
            }
            break;
        }
        case State::complete:
            return {at, Progress::complete};
        case State::failed:
            return {at, Progress::failed};
        }
    }
    switch (state) {
    case State::complete:
        return {at, Progress::complete};
    case State::failed:
        return {at, Progress::failed};
    default:
        return {at, Progress::needMore};
    }
}

CHttpResponseParser::Progress CHttpResponseParser::PutEnd()
{
    if (state == State::bodyUntilClose) {
        state = State::complete;
    } else if (state != State::complete) {
        Fail(HttpFailure::connectionClosed);
    }
    return state == State::complete ? Progress::complete : Progress::failed;
}

// Size-end, Data-end and Last: the two bytes CR LF, one at a time.
bool CHttpResponseParser::ExpectLineEnd(char byte, State next)
{
    static constexpr char kLineEnd[] = "\r\n";
    if (byte != kLineEnd[lineEndMatched]) {
        return Fail(HttpFailure::badChunkFraming);
    }
    if (++lineEndMatched < 2) {
        return true;
    }
    lineEndMatched = 0;
    lineLength = 0;
    lineEndsInCr = false;
    state = next;
    return true;
}

// Size: the line is scanned whenever a CR arrives, over all its bytes so far;
// the scan completes only on the CR right after the digits, which is then the
// first byte of the line end (Size-end, or Last for size 0).
bool CHttpResponseParser::ChunkSizeByte(char byte)
{
    if (lineLength == kMaxChunkLineBytes) {
        return Fail(HttpFailure::badChunkSize);
    }
    lineBuffer[lineLength++] = byte;
    if (byte != '\r') {
        return true;
    }
    std::uint32_t size = 0;
    std::size_t consumed = 0;
    switch (ScanChunkSize(lineBuffer, lineBuffer + lineLength, &size, &consumed)) {
    case ChunkSizeScan::invalid:
        return Fail(HttpFailure::badChunkSize);
    case ChunkSizeScan::needMoreBytes:
        return true;  // a chunk extension: never completes
    case ChunkSizeScan::complete:
        break;
    }
    lineEndMatched = 1;  // the CR
    if (size == 0) {
        // "0" starts the trailer section; a line with no digits at all is
        // the sender's whole end of the body.
        state = consumed == 0 ? State::emptyLastChunk : State::lastChunk;
        return true;
    }
    if (Cost() + size > kMaxResponseBytes) {
        return Fail(HttpFailure::responseTooLarge);
    }
    chunkRemaining = size;
    state = State::chunkSizeEnd;
    return true;
}

// Trailers: lines up to CR LF; the empty line ends the response. Trailer
// fields join the header table when the response announced them with a
// Trailer header, and are read past otherwise.
bool CHttpResponseParser::TrailerByte(char byte)
{
    if (byte == '\n' && lineEndsInCr) {
        const std::uint32_t contentLength = lineLength - 1;
        lineLength = 0;
        lineEndsInCr = false;
        if (contentLength == 0) {
            state = State::complete;
            return true;
        }
        if (joinTrailers && contentLength < kMaxTrailerLineBytes) {
            ParseHeaderLine(lineBuffer, lineBuffer + contentLength);
            if (failure != HttpFailure::none) {
                return false;
            }
        }
        return true;
    }
    if (lineLength < kMaxTrailerLineBytes) {
        lineBuffer[lineLength] = byte;
    }
    if (lineLength < UINT32_MAX) {
        ++lineLength;
    }
    lineEndsInCr = byte == '\r';
    return true;
}

bool CHttpResponseParser::HeaderBlockEnded()
{
    headerLength = response.Length();
    responseBodyLength = 0;
    ParseStatusLine();
    if (statusCode == -1) {
        return Fail(HttpFailure::badStatusLine);
    }
    if (statusCode >= 100 && statusCode <= 199 && statusCode != 101 && !statusOverflow) {
        // An interim answer: dropped, and the next one read in its place. Its
        // bytes stay counted against the cap.
        response.Empty();
        headerLength = 0;
        statusCode = -1;
        return true;
    }
    if (!ParseHeaderLines()) {
        return Fail(failure != HttpFailure::none ? failure : HttpFailure::badHeaders);
    }
    return ChooseFraming();
}

bool CHttpResponseParser::ChooseFraming()
{
    std::string value;
    if (HeaderValue("Connection", value)) {
        closeToken = ListHasToken(value, "close");
        keepAliveToken = ListHasToken(value, "keep-alive");
    }
    std::string transferEncoding;
    const bool hasTransferEncoding = HeaderValue("Transfer-Encoding", transferEncoding);
    std::string contentLengthText;
    const bool hasContentLength = HeaderValue("Content-Length", contentLengthText);
    lengthsAmbiguous = hasTransferEncoding && hasContentLength;

    if (bodyless || statusCode == 204 || statusCode == 304 || statusCode == 101) {
        state = State::complete;
        return true;
    }
    if (hasTransferEncoding &&
        EqualsFolded(Trimmed(transferEncoding, 0, transferEncoding.size()).c_str(), "chunked")) {
        chunked = true;
        joinTrailers = HeaderValue("Trailer", value);
        lineLength = 0;
        state = State::chunkSize;
        return true;
    }
    if (hasContentLength) {
        std::uint64_t length = 0;
        const HttpFailure parsed = ParseContentLength(contentLengthText, &length);
        if (parsed != HttpFailure::none) {
            return Fail(parsed);
        }
        if (Cost() + length > kMaxResponseBytes) {
            return Fail(HttpFailure::responseTooLarge);
        }
        bodyRemaining = length;
        state = length == 0 ? State::complete : State::plainBody;
        return true;
    }
    untilClose = true;
    state = State::bodyUntilClose;
    return true;
}

bool CHttpResponseParser::FindHeaderLines(std::uint32_t* lineStart)
{
    // The status line is read only within the header block.
    const char* data = response.Data();
    const std::uint32_t end = headerLength;
    std::uint32_t at = 0;
    while (at < end && !IsAsciiSpace(data[at])) {
        ++at;
    }
    const std::string version(data, at);
    while (at < end && IsAsciiSpace(data[at])) {
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
    // HTTP/1.1 and later keep the connection unless told otherwise; 1.0 and
    // anything unrecognised only with keep-alive.
    persistentVersion = false;
    if (version.size() >= 8 && EqualsFolded(version.substr(0, 5).c_str(), "HTTP/")) {
        const char* digits = version.c_str() + 5;
        char* after = nullptr;
        const long major = std::strtol(digits, &after, 10);
        if (after != digits && *after == '.' && after[1] >= '0' && after[1] <= '9') {
            const long minor = std::strtol(after + 1, nullptr, 10);
            persistentVersion = major > 1 || (major == 1 && minor >= 1);
        }
    }
    while (at < end && data[at] != '\n') {
        ++at;
    }
    if (at >= end) {
        return false;
    }
    *lineStart = at + 1;
    return !overflow;
}

bool CHttpResponseParser::ParseStatusLine()
{
    std::uint32_t lineStart = 0;
    return FindHeaderLines(&lineStart);
}

bool CHttpResponseParser::ParseHeaderLines()
{
    std::uint32_t lineStart = 0;
    if (!FindHeaderLines(&lineStart)) {
        return false;
    }
    const char* data = response.Data();
    // Header lines end at the blank line; body bytes never count as headers.
    const std::uint32_t end = headerLength;
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
                if (lineEnd + 2 < end && IsAsciiSpace(data[lineEnd + 2]) && !blankFollows) {
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
        if (failure != HttpFailure::none) {
            return false;  // the table passed the cap or the budget
        }
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

std::size_t CHttpResponseParser::EntryCost(const std::string& name, const std::string& value) const
{
    return kHeaderEntryOverhead + name.capacity() + 1 + value.capacity() + 1;
}

// One header line into the table. False drops the line (no ":" is not a
// drop: the line is ignored); a line that would take the table past the cap
// or the budget also sets failure, which fails the response.
bool CHttpResponseParser::ParseHeaderLine(const char* lineStart, const char* lineEnd)
{
    const char* colon = static_cast<const char*>(std::memchr(lineStart, ':', lineEnd - lineStart));
    if (colon == nullptr) {
        return true;
    }
    if (static_cast<std::size_t>(colon - lineStart) >= kMaxHeaderPartLength) {
        return false;
    }
    const char* valueStart = colon + 1;
    while (valueStart < lineEnd && IsAsciiSpace(*valueStart)) {
        ++valueStart;
    }
    if (static_cast<std::size_t>(lineEnd - valueStart) >= kMaxHeaderPartLength) {
        return false;
    }
    // The table's growth is charged before it happens: the cap and the
    // budget are never passed, even by one joined value that doubles.
    auto charge = [this](std::size_t bytes) {
        tableBytes += bytes;
        if (Cost() > kMaxResponseBytes) {
            tableBytes -= bytes;
            return Fail(HttpFailure::responseTooLarge);
        }
        if (!memory.Hold(bytes)) {
            tableBytes -= bytes;
            return Fail(HttpFailure::budgetExhausted);
        }
        return true;
    };
    auto settle = [this](std::size_t charged, std::size_t actual) {
        if (actual > charged) {
            tableBytes += actual - charged;
            memory.Hold(actual - charged);  // the allocator's rounding; not refused
        } else {
            tableBytes -= charged - actual;
            memory.Free(charged - actual);
        }
    };
    try {
        std::string name(lineStart, colon);
        const std::size_t valueLength = static_cast<std::size_t>(lineEnd - valueStart);
        auto found = headerTable.find(name);
        if (found != headerTable.end()) {
            std::string& joined = found->second;
            const std::size_t oldCost = EntryCost(found->first, joined);
            const std::size_t newSize = joined.size() + 1 + valueLength;
            std::size_t newCapacity = joined.capacity();
            if (newSize > newCapacity) {
                newCapacity = std::max(newSize, 2 * joined.capacity());
            }
            const std::size_t charged = newCapacity - joined.capacity();
            if (!charge(charged)) {
                return false;
            }
            joined.reserve(newCapacity);
            joined += ',';
            joined.append(valueStart, valueLength);
            settle(charged, EntryCost(found->first, joined) - oldCost);
        } else {
            std::string value(valueStart, valueLength);
            const std::size_t cost = EntryCost(name, value);
            if (!charge(cost)) {
                return false;
            }
            found = headerTable.emplace(std::move(name), std::move(value)).first;
            settle(cost, EntryCost(found->first, found->second));
        }
        if (headerLineSink != nullptr) {
            headerLineSink(sinkContext, found->first, std::string(valueStart, valueLength));
        }
        return true;
    } catch (const std::bad_alloc&) {
        Fail(HttpFailure::outOfMemory);
        return false;
    }
}

}  // namespace corvel::http
