// Splits the bytes a client sends into HTTP requests: a header block up to its
// blank line, then as many body bytes as its Content-Length says. Every
// loopback server of the tests and benchmarks reads requests through this one
// reader; it never throws on what a client sends.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvel::testing {

enum class RequestStatus {
    incomplete,  // more bytes are needed
    complete,    // one request was taken out
    malformed,   // the pending bytes can never form a request; drop the connection
};

class RequestReader {
public:
    // A client of the tests sends small headers; a body may be large (the
    // event socket tests send 64 MiB), but never larger than this.
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr std::size_t kMaxBodyBytes = 256u * 1024u * 1024u;

    void Append(const char* data, std::size_t length) { pending_.append(data, length); }
    // Moves the first complete request (header block and body) into request.
    RequestStatus Next(std::string& request);
    std::size_t PendingBytes() const { return pending_.size(); }

private:
    std::string pending_;
};

// The body length a header block announces: 0 without Content-Length, none
// when a value is not a plain decimal number, is out of range, or differs
// from another Content-Length line. The name matches in any letter case and
// only at the start of a header line.
std::optional<std::size_t> AnnouncedBodyLength(std::string_view headerBlock);

}  // namespace corvel::testing
