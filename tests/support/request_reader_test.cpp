// The request reader that every loopback server shares: where a request ends,
// and which Content-Length values it refuses instead of guessing.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/request_reader.h"

namespace corvel::testing {
namespace {

TEST(RequestReader, AnnouncedBodyLength)
{
    struct Case {
        const char* name;
        std::string headers;
        std::optional<std::size_t> length;
    };
    const Case cases[] = {
        {"none", "GET / HTTP/1.1\r\nHost: a\r\n", 0},
        {"plain", "POST / HTTP/1.1\r\nContent-Length: 12\r\n", 12},
        {"any letter case, no blank", "POST / HTTP/1.1\r\ncontent-LENGTH:7\r\n", 7},
        {"surrounding blanks", "POST / HTTP/1.1\r\nContent-Length: \t 7 \r\n", 7},
        {"the same twice", "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n", 3},
        {"only at the start of a line", "POST /Content-Length:9 HTTP/1.1\r\nX-Content-Length: 9\r\n", 0},
        {"differing values", "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n", std::nullopt},
        {"a list", "POST / HTTP/1.1\r\nContent-Length: 5,44\r\n", std::nullopt},
        {"a sign", "POST / HTTP/1.1\r\nContent-Length: +5\r\n", std::nullopt},
        {"no digits", "POST / HTTP/1.1\r\nContent-Length: \r\n", std::nullopt},
        {"too large", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AnnouncedBodyLength(c.headers), c.length) << c.name;
    }
}

// Requests are taken one by one, whatever the pieces they arrive in.
TEST(RequestReader, SplitsPipelinedRequestsFedByteByByte)
{
    const std::vector<std::string> requests = {
        "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
        "GET /b HTTP/1.1\r\nHost: x\r\n\r\n",
        "POST /c HTTP/1.1\r\ncontent-length: 0\r\n\r\n",
    };
    std::string stream;
    for (const std::string& request : requests) {
        stream += request;
    }
    RequestReader reader;
    std::vector<std::string> taken;
    for (char byte : stream) {
        reader.Append(&byte, 1);
        std::string request;
        while (reader.Next(request) == RequestStatus::complete) {
            taken.push_back(request);
        }
    }
    EXPECT_EQ(taken, requests);
    EXPECT_EQ(reader.PendingBytes(), 0u);
}

TEST(RequestReader, RefusesWhatCanNeverBeARequest)
{
    std::string request;
    RequestReader badLength;
    const std::string bad = "POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n";
    badLength.Append(bad.data(), bad.size());
    EXPECT_EQ(badLength.Next(request), RequestStatus::malformed);

    RequestReader endless;
    const std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    RequestStatus status = RequestStatus::incomplete;
    for (std::size_t sent = 0; sent <= RequestReader::kMaxHeaderBytes && status == RequestStatus::incomplete;
         sent += line.size()) {
        endless.Append(line.data(), line.size());
        status = endless.Next(request);
    }
    EXPECT_EQ(status, RequestStatus::malformed);
}

}  // namespace
}  // namespace corvel::testing
