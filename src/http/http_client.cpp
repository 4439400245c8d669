// The non-template parts of the HTTP client: the response buffer, the header
// name folding and the chunk-size scan; and the client over the event socket.
#include "http/http_client.h"

#include <cstdlib>

namespace corvel::http {

template class CHttpClientT<ZEvtSyncSocket>;

ResponseBuffer::~ResponseBuffer()
{
    if (storage != inlineStorage) {
        std::free(storage);
    }
}

bool ResponseBuffer::Append(const void* bytes, std::uint32_t count)
{
    const std::uint64_t newLength = std::uint64_t{length} + count;
    if (newLength > kMaxResponseBytes) {
        return false;
    }
    if (newLength + 1 > capacity) {
        // Grow by at least 4096 bytes, and by doubling once the buffer is
        // large, so that a big body is not copied once per receive.
        std::uint64_t newCapacity = std::uint64_t{capacity} + std::max<std::uint64_t>(kMinimumGrowth, count + 1u);
        newCapacity = std::max<std::uint64_t>(newCapacity, std::uint64_t{capacity} * 2);
        newCapacity = std::min<std::uint64_t>(newCapacity, std::uint64_t{kMaxResponseBytes} + 1);
        newCapacity = std::max<std::uint64_t>(newCapacity, newLength + 1);
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
            return false;
        }
        storage = grown;
        capacity = static_cast<std::uint32_t>(newCapacity);
    }
    if (count != 0) {
        std::memcpy(storage + length, bytes, count);
    }
    length = static_cast<std::uint32_t>(newLength);
    storage[length] = 0;
    return true;
}

void ResponseBuffer::Empty()
{
    length = 0;
    storage[0] = 0;
}

namespace {

char FoldToUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
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

// A chunk size is an unsigned hexadecimal number: optional leading white
// space, an optional sign (a minus negates), an optional 0x, then digits of
// either case (none give 0). It is complete only when a CR follows the digits
// at once; a chunk extension or a missing byte needs more bytes. Sizes of 2^31
// or more, and numbers out of range, are invalid.
ChunkSizeScan ScanChunkSize(const char* cursor, const char* end, std::uint32_t* size, std::size_t* consumed)
{
    const char* at = cursor;
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n' || *at == '\v' || *at == '\f')) {
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

}  // namespace corvel::http
