// The socket-free response reader: every response of a table gives the same
// outcome fed whole, split at every byte position, and byte by byte; and what
// a response may cost is bounded whatever it holds.
#include "http/http_response_parser.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace corvel::http {
namespace {

using Parser = CHttpResponseParser;

struct Outcome {
    Parser::Progress progress = Parser::Progress::needMore;
    HttpFailure failure = HttpFailure::none;
    std::int32_t status = -1;
    std::map<std::string, std::string> headers;  // names folded to lower case
    std::string body;
    bool keepsConnection = false;
    std::size_t leftOver = 0;  // bytes beyond the end of the response

    bool operator==(const Outcome&) const = default;
};

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return text;
}

// Feeds the pieces in order, then the end of the connection when asked.
Outcome Feed(const std::vector<std::string>& pieces, bool connectionEnds)
{
    Parser parser;
    parser.Begin();
    Outcome outcome;
    for (const std::string& piece : pieces) {
        if (outcome.progress != Parser::Progress::needMore) {
            outcome.leftOver += piece.size();
            continue;
        }
        const Parser::PutResult put = parser.Put(piece.data(), piece.size());
        outcome.progress = put.progress;
        outcome.leftOver += piece.size() - put.consumed;
    }
    if (connectionEnds && outcome.progress == Parser::Progress::needMore) {
        outcome.progress = parser.PutEnd();
    }
    outcome.failure = parser.Failure();
    outcome.status = parser.StatusCode();
    for (const auto& [name, value] : parser.Headers()) {
        outcome.headers[Lower(name)] = value;
    }
    outcome.body.assign(parser.ResponseData() + parser.HeaderLength(), parser.ResponseBodyLength());
    outcome.keepsConnection = parser.KeepsConnection();
    return outcome;
}

struct Case {
    const char* name;
    std::string bytes;
    bool connectionEnds;  // the peer closes after the bytes
    Parser::Progress progress;
    HttpFailure failure;
    std::int32_t status;
    std::string body;
    bool keepsConnection;
    std::map<std::string, std::string> someHeaders;  // must be present with these values
    std::vector<std::string> absentHeaders;
};

const std::string kOk = "HTTP/1.1 200 OK\r\n";
constexpr auto kComplete = Parser::Progress::complete;
constexpr auto kFailed = Parser::Progress::failed;
constexpr auto kNone = HttpFailure::none;

const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = {
        {"content length", kOk + "Content-Length: 5\r\n\r\nhello", false, kComplete, kNone, 200, "hello", true},
        {"repeated equal lengths", kOk + "Content-Length: 5\r\ncontent-length: 5\r\n\r\nhello", false, kComplete,
         kNone, 200, "hello", true},
        {"bytes beyond the length", kOk + "Content-Length: 2\r\n\r\nabEXTRA", false, kComplete, kNone, 200, "ab",
         true},
        {"chunked", kOk + "Transfer-Encoding: chunked\r\n\r\n4\r\nwxyz\r\na\r\n0123456789\r\n0\r\n\r\n", false,
         kComplete, kNone, 200, "wxyz0123456789", true},
        {"chunked with announced trailers",
         kOk + "Transfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n2\r\nab\r\n0\r\nX-Sum: 42\r\n\r\n", false,
         kComplete, kNone, 200, "ab", true, {{"x-sum", "42"}}},
        {"chunked with unannounced trailers",
         kOk + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\nX-Late: 1\r\nX-Later: 2\r\n\r\n", false, kComplete,
         kNone, 200, "ab", true, {}, {"x-late"}},
        {"empty chunk-size line ends the body", kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n\r\n", false,
         kComplete, kNone, 200, "abc", true},
        {"chunk extension never completes", kOk + "Transfer-Encoding: chunked\r\n\r\n3;x=1\r\nabc\r\n0\r\n\r\n",
         true, kFailed, HttpFailure::connectionClosed, 200, "", true},
        {"chunk data without its CR LF", kOk + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", false,
         kFailed, HttpFailure::badChunkFraming, 200, "ab", true},
        {"transfer coding in white space", kOk + "Transfer-Encoding:  Chunked \t\r\n\r\n1\r\nz\r\n0\r\n\r\n", false,
         kComplete, kNone, 200, "z", true},
        {"interim answers then the final one",
         "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" + kOk +
             "Content-Length: 2\r\n\r\nok",
         false, kComplete, kNone, 200, "ok", true, {}, {"x-interim", "link"}},
        {"204 has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\n", false, kComplete, kNone, 204, "",
         true},
        {"304 has no body", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", false, kComplete,
         kNone, 304, "", true},
        {"conflicting lengths", kOk + "Content-Length: 5\r\nContent-Length: 44\r\n\r\nhello", false, kFailed,
         HttpFailure::conflictingLengths, 200, "", true},
        {"length that is not a number", kOk + "Content-Length: 5x\r\n\r\nhello", false, kFailed,
         HttpFailure::badContentLength, 200, "", true},
        {"negative length", kOk + "Content-Length: -1\r\n\r\n", false, kFailed, HttpFailure::badContentLength, 200,
         "", true},
        {"transfer coding and length", kOk + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n2\r\nab\r\n0\r\n\r\n",
         false, kComplete, kNone, 200, "ab", false},
        {"body until close", kOk + "\r\nuntil close", true, kComplete, kNone, 200, "until close", false},
        {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, kComplete, kNone, 200,
         "ok", false},
        {"HTTP/1.0 with keep-alive", "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok", false,
         kComplete, kNone, 200, "ok", true},
        {"close among other tokens", kOk + "Connection: TE, close\r\nContent-Length: 2\r\n\r\nok", false, kComplete,
         kNone, 200, "ok", false},
        {"folded and joined headers", kOk + "X-Folded: first\r\n second\r\nX-Twice: a\r\nx-twice: b\r\nContent-Length: 0\r\n\r\n",
         false, kComplete, kNone, 200, "", true, {{"x-folded", "first\r\n second"}, {"x-twice", "a,b"}}},
        {"bare LF does not end a header line", kOk + "Content-Length: 1\nX: y\r\n\r\nz", false, kFailed,
         HttpFailure::badContentLength, 200, "", true},
        {"status line without a number", "HTTP/1.1 OK\r\n\r\n", false, kFailed, HttpFailure::badStatusLine, -1, "",
         false},
    };
    return cases;
}

void ExpectCase(const Case& c, const Outcome& outcome)
{
    EXPECT_EQ(outcome.progress, c.progress);
    EXPECT_EQ(outcome.failure, c.failure) << HttpFailureName(outcome.failure);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.body, c.body);
    if (c.progress == kComplete) {
        EXPECT_EQ(outcome.keepsConnection, c.keepsConnection);
    }
    for (const auto& [name, value] : c.someHeaders) {
        EXPECT_EQ(outcome.headers.count(name) ? outcome.headers.at(name) : "(absent)", value) << name;
    }
    for (const std::string& name : c.absentHeaders) {
        EXPECT_EQ(outcome.headers.count(name), 0u) << name;
    }
}

TEST(HttpResponseParser, EveryResponseReadsTheSameWhateverTheSplit)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const Outcome whole = Feed({c.bytes}, c.connectionEnds);
        ExpectCase(c, whole);
        for (std::size_t split = 1; split < c.bytes.size(); ++split) {
            const Outcome twoPieces = Feed({c.bytes.substr(0, split), c.bytes.substr(split)}, c.connectionEnds);
            ASSERT_EQ(twoPieces, whole) << "split at " << split;
        }
        std::vector<std::string> bytes;
        for (char byte : c.bytes) {
            bytes.emplace_back(1, byte);
        }
        EXPECT_EQ(Feed(bytes, c.connectionEnds), whole) << "byte by byte";
    }
}

TEST(HttpResponseParser, EachResponseConsumesExactlyItsOwnBytes)
{
    // An answer and the next one back to back in one piece: the first ends
    // where its framing says, and the next reads whole from there.
    const std::string next = kOk + "Content-Length: 4\r\n\r\nnext";
    for (const Case& c : Cases()) {
        if (c.progress != kComplete || c.connectionEnds) {
            continue;
        }
        SCOPED_TRACE(c.name);
        const std::size_t own = c.bytes.size() - Feed({c.bytes}, false).leftOver;
        const std::string both = c.bytes.substr(0, own) + next;
        Parser parser;
        parser.Begin();
        const Parser::PutResult first = parser.Put(both.data(), both.size());
        EXPECT_EQ(first.progress, kComplete);
        EXPECT_EQ(first.consumed, own);
        parser.Begin();
        const Parser::PutResult second = parser.Put(both.data() + first.consumed, both.size() - first.consumed);
        EXPECT_EQ(second.progress, kComplete);
        EXPECT_EQ(second.consumed, next.size());
        EXPECT_EQ(std::string(parser.ResponseData() + parser.HeaderLength(), parser.ResponseBodyLength()), "next");
    }
}

// Feeds the lines again and again until the reader stops taking them.
Parser::PutResult FeedUntilStopped(Parser& parser, const std::string& head, const std::string& line,
                                   std::uint64_t* fed)
{
    Parser::PutResult put = parser.Put(head.data(), head.size());
    *fed = put.consumed;
    while (put.progress == Parser::Progress::needMore) {
        put = parser.Put(line.data(), line.size());
        *fed += put.consumed;
    }
    return put;
}

TEST(HttpResponseParser, EndlessTrailersStopAtTheCap)
{
    // Announced trailers join one header value without bound unless the
    // joined value counts; unannounced ones are read past, but their bytes
    // count all the same.
    const std::string line = "x: " + std::string(1000, 'a') + "\r\n";
    for (const char* announce : {"Trailer: x\r\n", ""}) {
        SCOPED_TRACE(announce);
        Parser parser;
        parser.Begin();
        std::uint64_t fed = 0;
        const Parser::PutResult put = FeedUntilStopped(
            parser, kOk + "Transfer-Encoding: chunked\r\n" + announce + "\r\n1\r\nz\r\n0\r\n", line, &fed);
        EXPECT_EQ(put.progress, kFailed);
        EXPECT_EQ(parser.Failure(), HttpFailure::responseTooLarge);
        EXPECT_LE(parser.Cost(), kMaxResponseBytes);
        EXPECT_LE(fed, kMaxResponseBytes);
        EXPECT_LE(parser.Memory().Held(), kMaxResponseBytes);
    }
}

TEST(HttpResponseParser, ManyShortHeaderNamesCostTheirTableEntries)
{
    // Distinct short names cost far more in the table than on the wire: a
    // block well under the cap still fails once its table would pass it, and
    // what is held stays within the cap.
    std::string block = kOk;
    for (int i = 0; block.size() < 6u * 1024 * 1024; ++i) {
        block += std::to_string(i) + ":\r\n";
    }
    block += "\r\n";
    Parser parser;
    parser.Begin();
    const Parser::PutResult put = parser.Put(block.data(), block.size());
    EXPECT_EQ(put.progress, kFailed);
    EXPECT_EQ(parser.Failure(), HttpFailure::responseTooLarge);
    EXPECT_LE(parser.Cost(), kMaxResponseBytes);
    EXPECT_LE(parser.Memory().Held(), kMaxResponseBytes + ResponseBuffer::kInlineCapacity);
    parser.Drop();
    EXPECT_EQ(parser.Memory().Held(), 0u);
}

TEST(HttpResponseParser, SharedBudgetRefusesBeyondItsLimitButNotTheAllowance)
{
    ResponseBudget budget(1024 * 1024);
    const std::string big = kOk + "Content-Length: 700000\r\n\r\n" + std::string(700000, 'b');
    const std::string small = kOk + "Content-Length: 9\r\n\r\nsmall one";
    Parser first(budget);
    Parser second(budget);
    Parser third(budget);
    for (Parser* parser : {&first, &second, &third}) {
        parser->Begin();
    }
    EXPECT_EQ(first.Put(big.data(), big.size()).progress, kComplete);
    EXPECT_EQ(second.Put(big.data(), big.size()).progress, kFailed);
    EXPECT_EQ(second.Failure(), HttpFailure::budgetExhausted);
    EXPECT_LE(budget.InUse(), budget.Limit());
    // A normal answer fits its own allowance, whoever holds the budget.
    EXPECT_EQ(third.Put(small.data(), small.size()).progress, kComplete);
    second.Drop();
    // Dropping the held response gives its share back to the others.
    first.Drop();
    EXPECT_EQ(budget.InUse(), 0u);
    second.Begin();
    EXPECT_EQ(second.Put(big.data(), big.size()).progress, kComplete);
}

TEST(HttpResponseParser, LengthBeyondTheCapFailsAtOnce)
{
    for (const char* length : {"16777217", "99999999999999999999999"}) {
        SCOPED_TRACE(length);
        Parser parser;
        parser.Begin();
        const std::string head = kOk + "Content-Length: " + length + "\r\n\r\n";
        EXPECT_EQ(parser.Put(head.data(), head.size()).progress, kFailed);
        EXPECT_EQ(parser.Failure(), HttpFailure::responseTooLarge);
    }
    for (const char* size : {"7FFFFFFF", "-1", "80000000", "FFFFFFFFFFFFFFFFFF"}) {
        SCOPED_TRACE(size);
        Parser parser;
        parser.Begin();
        const std::string head = kOk + "Transfer-Encoding: chunked\r\n\r\n" + size + "\r\nabc";
        EXPECT_EQ(parser.Put(head.data(), head.size()).progress, kFailed);
        EXPECT_NE(parser.Failure(), HttpFailure::none);
    }
}

}  // namespace
}  // namespace corvel::http
