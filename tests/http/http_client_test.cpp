// The HTTP client against scripted loopback servers: framing of every kind,
// interim answers, joined headers and trailers, short and reset responses,
// status handling, request text and body modes, redirects, and the caps and
// deadline that bound what a hostile server can make it hold.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "http/client_test_helpers.h"
#include "http/loopback_server.h"
#include "http/read_stream_on_socket.h"

namespace corvel::http {
namespace {

using namespace testing;  // the loopback server's steps and the client helpers
using Client = CHttpClientT<ZEvtSyncSocket>;

// Exposes the request text builder for the Host line cases.
class InspectableClient : public Client {
public:
    using Client::BuildRequestText;
    using Client::SetTarget;
};

// One request against one scripted connection.
struct Exchange {
    std::vector<std::string> pieces;
    bool ok;
    std::int32_t status;
    std::string body;
};

TEST(HttpClient, ReadsResponsesAsTheyAreFramed)
{
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const Exchange cases[] = {
        // Content-Length, whole and split inside the header block and the body.
        {{ok + "Content-Length: 5\r\n\r\nhello"}, true, 200, "hello"},
        {{"HTTP/1.1 2", "00 OK\r\nContent-Len", "gth: 5\r\n\r", "\nhel", "lo"}, true, 200, "hello"},
        // An interim 100 in the same receive and in an earlier one.
        {{"HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok"}, true, 200, "ok"},
        {{"HTTP/1.1 100 Continue\r\n\r\n", ok + "Content-Length: 2\r\n\r\n", "ok"}, true, 200, "ok"},
        // Chunked, one chunk in one receive and split byte by byte across receives.
        {{ok + "Transfer-Encoding: chunked\r\n\r\n4\r\nwxyz\r\n0\r\n\r\n"}, true, 200, "wxyz"},
        {{ok + "Transfer-Encoding: CHUNKED\r\n\r\n", "1", "0\r", "\n0123456789", "ABCDEF", "\r\n3;", "", "x"}, false},
        {{ok + "Transfer-Encoding: chunked\r\n\r\n", "a\r\n01234", "56789\r\n", "2\r\nAB\r\n", "0\r\n\r\n"}, true, 200,
         "0123456789AB"},
        // An empty chunk-size line is the last chunk.
        {{ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n\r\n"}, true, 200, "abc"},
        // Another coding before "chunked": the body is read until close.
        {{ok + "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"}, true, 200, "3\r\nabc\r\n0\r\n\r\n"},
        // Neither length nor chunks: until the server closes.
        {{ok + "\r\nuntil", " close"}, true, 200, "until close"},
        // A status line without a number.
        {{"HTTP/1.1 OK\r\n\r\n"}, false, -1, ""},
        {{"HTTP/1.1 999999999999 Big\r\nContent-Length: 0\r\n\r\n"}, false},
    };
    for (const Exchange& c : cases) {
        SCOPED_TRACE(c.pieces.front().substr(0, 60));
        std::vector<Step> script = Answer(c.pieces);
        script.push_back(CloseConnection());
        LoopbackServer server({script});
        Client client;
        std::string body = "<x/>";
        RequestOptions options = PostOptions(body);
        EXPECT_EQ(client.SendRequest(UrlOf(server.Url("/webservice.wsdl")), options), c.ok);
        // Failed or not, the recorded body lies within the received bytes.
        EXPECT_LE(client.HeaderOffset() + client.HeaderLength() + client.ResponseBodyLength(), client.ResponseLength());
        if (c.ok || c.status != 0) {
            EXPECT_EQ(client.StatusCode(), c.status);
            EXPECT_EQ(Body(client), c.body);
            EXPECT_EQ(StreamText(client), c.body);
        }
    }
}

TEST(HttpClient, InterimAnswerLeavesOnlyTheFinalHeaders)
{
    LoopbackServer server({Answer({"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n",
                                   "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-Final: yes\r\n\r\n"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    std::string value;
    EXPECT_FALSE(client.HeaderValue("X-Interim", value));
    EXPECT_TRUE(client.HeaderValue("x-final", value));
}

TEST(HttpClient, JoinsDuplicateHeadersUnfoldsAndKeepsChallenges)
{
    LoopbackServer server({Answer({"HTTP/1.1 200 OK\r\n"
                                   "Set-Cookie: a=1\r\n"
                                   "set-COOKIE: b=2\r\n"
                                   "X-Folded: first\r\n second\r\n"
                                   "No colon line\r\n"
                                   "X-Long: " + std::string(1024, 'v') + "\r\n"
                                   "WWW-Authenticate: Basic realm=x\r\n"
                                   "Content-Length: 3\r\n\r\nabc"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    std::string value;
    ASSERT_TRUE(client.HeaderValue("SET-cookie", value));
    EXPECT_EQ(value, "a=1,b=2");
    ASSERT_TRUE(client.HeaderValue("x-folded", value));
    EXPECT_EQ(value, "first\r\n second");
    EXPECT_FALSE(client.HeaderValue("X-Long", value));  // a value of 1024 bytes drops the line
    ASSERT_EQ(client.ChallengeList().size(), 1u);
    EXPECT_EQ(client.ChallengeList()[0], "Basic realm=x");
    EXPECT_EQ(Body(client), "abc");
}

TEST(HttpClient, ChunkedTrailersJoinTheHeaders)
{
    LoopbackServer server({Answer({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n"
                                   "2\r\nab\r\n0\r\nX-Sum: 42\r\n\r\n"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    std::string value;
    ASSERT_TRUE(client.HeaderValue("x-sum", value));
    EXPECT_EQ(value, "42");
    // The de-chunked body follows the header block at offset 0.
    EXPECT_EQ(client.HeaderOffset(), 0u);
    EXPECT_EQ(Body(client), "ab");
}

TEST(HttpClient, ShortBodyFailsAndClosesTheSocket)
{
    LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345"),
                            CloseConnection()}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_FALSE(client.HasSocket());
}

TEST(HttpClient, ResetMidResponseFails)
{
    LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Len"), Delay(20), ResetConnection()}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_FALSE(client.HasSocket());
}

TEST(HttpClient, ServerErrorFailsButKeepsItsBody)
{
    const std::string fault = "<soap:Fault>boom</soap:Fault>";
    LoopbackServer server({Answer({"HTTP/1.1 500 Internal Server Error\r\nContent-Length: " +
                                   std::to_string(fault.size()) + "\r\n\r\n" + fault})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), 500);
    EXPECT_EQ(StreamText(client), fault);
}

TEST(HttpClient, UnauthorisedIsNotAnsweredSilently)
{
    LoopbackServer server({Answer({"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate\r\n"
                                   "Content-Length: 0\r\n\r\n"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), 401);
}

TEST(HttpClient, WritesTheRequestAndKeepsTheConnection)
{
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    LoopbackServer server({{ReadRequest(), SendBytes(reply), ReadRequest(), SendBytes(reply)}});
    Client client;
    const std::string body(5000, 'b');
    RequestOptions options = PostOptions(body);
    const CParsedUrl url = UrlOf(server.Url("/webservice.wsdl?x=1"));
    ASSERT_TRUE(client.SendRequest(url, options));
    ASSERT_TRUE(client.SendRequest(url, options));
    server.WaitIdle(200);
    EXPECT_EQ(server.Connections(), 1);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string expected = "POST /webservice.wsdl?x=1 HTTP/1.1\r\n"
                                 "Content-Length: 5000\r\n"
                                 "Content-Type: text/xml; charset=utf-8\r\n"
                                 "Accept: text/xml\r\n"
                                 "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
                                 "User-Agent: Corvel-Service/1.0\r\n\r\n" + body;
    EXPECT_EQ(requests[0], expected);
    EXPECT_EQ(requests[1], expected);
}

TEST(HttpClient, ConnectionCloseMakesTheNextRequestReconnect)
{
    const std::string reply = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok";
    LoopbackServer server({{ReadRequest(), SendBytes(reply)}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_FALSE(client.HasSocket());
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(server.Connections(), 2);
}

struct SendModeCase {
    const char* name;
    std::uint32_t flags;
    std::uint32_t blockSize;
    bool withBody;
    bool ok;
};

bool PiecesFromSource(const char** piece, std::uint32_t* length, std::uintptr_t param)
{
    auto* pieces = reinterpret_cast<std::vector<std::string>*>(param);
    if (pieces->empty()) {
        return false;
    }
    static std::string current;
    current = pieces->front();
    pieces->erase(pieces->begin());
    *piece = current.data();
    *length = static_cast<std::uint32_t>(current.size());
    return true;
}

TEST(HttpClient, SendsTheBodyInEveryMode)
{
    const std::string body = "0123456789abcdefghij";
    const SendModeCase cases[] = {
        {"gathered", 0, 0, true, true},
        {"blocks of 7", RequestOptions::sendInBlocks, 7, true, true},
        {"blocks of 0 send nothing", RequestOptions::sendInBlocks, 0, true, false},
        {"from source", RequestOptions::bodyFromSource, 0, false, true},
    };
    for (const SendModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")}});
        Client client;
        RequestOptions options = PostOptions(body);
        options.flags = c.flags | RequestOptions::checkStatus;
        options.sendBlockSize = c.blockSize;
        std::vector<std::string> pieces{"0123456789", "abcdefghij"};
        if (!c.withBody) {
            options.body = nullptr;
            options.bodySource = PiecesFromSource;
            options.bodySourceParam = reinterpret_cast<std::uintptr_t>(&pieces);
        }
        EXPECT_EQ(client.SendRequest(UrlOf(server.Url()), options), c.ok);
        if (c.ok) {
            const auto requests = server.Requests();
            ASSERT_EQ(requests.size(), 1u);
            EXPECT_EQ(requests[0].substr(requests[0].size() - body.size()), body);
        }
    }
}

TEST(HttpClient, SendStatusFalseStopsABlockSend)
{
    LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")}});
    Client client;
    RequestOptions options = PostOptions(Literal("0123456789"));
    options.sendBlockSize = 4;
    options.sendStatus = [](std::uint32_t, std::uintptr_t) { return false; };
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_FALSE(client.HasSocket());
}

TEST(HttpClient, RejectsTargetsThatAreNotPlainHttp)
{
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    EXPECT_FALSE(client.SendRequest(UrlOf("https://127.0.0.1/"), options));
    CParsedUrl noHost = UrlOf("http:///path");
    EXPECT_FALSE(client.SendRequest(noHost, options));
    EXPECT_EQ(client.StatusCode(), -1);
}

TEST(HttpClient, HostLineCarriesThePortOnlyWhenItIsNot80)
{
    struct Case {
        const char* url;
        const char* hostLine;
    };
    const Case cases[] = {
        {"http://terminal/ws", "Host: terminal\r\n"},
        {"http://terminal:8080/ws", "Host: terminal:8080\r\n"},
    };
    for (const Case& c : cases) {
        InspectableClient client;
        ASSERT_TRUE(client.SetTarget(UrlOf(c.url), 80));
        ASSERT_TRUE(client.BuildRequestText("GET", nullptr));
        EXPECT_EQ(client.RequestText(), std::string("GET /ws HTTP/1.1\r\n") + c.hostLine +
                                            "User-Agent: Corvel-Service/1.0\r\n\r\n");
    }
}

TEST(HttpClient, FollowsARedirectToAnAbsolutePath)
{
    LoopbackServer server({{ReadRequest(),
                            SendBytes("HTTP/1.1 302 Found\r\nLocation:  /moved/here \r\nContent-Length: 0\r\n\r\n"),
                            ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nmoved")}});
    Client client;
    RequestOptions options = PostOptions(Literal(""));  // a redirected request carries no body
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url("/first")), options));
    EXPECT_EQ(client.StatusCode(), 200);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    // The redirected request is the first one's line and headers without the body.
    EXPECT_EQ(requests[1].rfind("POST /moved/here HTTP/1.1\r\nContent-Type: text/xml", 0), 0u) << requests[1];
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_STREQ(client.Target().Path(), "/moved/here");
}

TEST(HttpClient, FollowsARedirectToAnotherServer)
{
    LoopbackServer second({Answer({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nB!"})});
    LoopbackServer first({{ReadRequest(), SendBytes("HTTP/1.1 301 Moved\r\nConnection: close\r\nLocation: " +
                                                    second.Url("/b?q=1") + "\r\nContent-Length: 0\r\n\r\n")}});
    Client client;
    RequestOptions options = PostOptions(Literal(""));
    ASSERT_TRUE(client.SendRequest(UrlOf(first.Url("/a")), options));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(Body(client), "B!");
    const auto requests = second.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("POST /b?q=1 HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("Host: 127.0.0.1:" + std::to_string(second.Port()) + "\r\n"), std::string::npos);
    EXPECT_EQ(client.Target().PortNumber(), second.Port());
}

TEST(HttpClient, RedirectWithoutLocationIsTheAnswer)
{
    LoopbackServer server({Answer({"HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    EXPECT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), 302);
}

TEST(HttpClient, RedirectLoopEndsAtTheLimit)
{
    std::vector<Step> loop;
    for (int i = 0; i < 20; ++i) {
        loop.push_back(ReadRequest());
        loop.push_back(SendBytes("HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n"));
    }
    LoopbackServer server({loop});
    Client client;
    RequestOptions options = PostOptions(Literal(""));
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.RedirectCount(), kMaxRedirects);
    EXPECT_EQ(client.StatusCode(), 302);
    EXPECT_EQ(server.Requests().size(), kMaxRedirects + 1);
}

TEST(HttpClient, EndlessBodyStopsAtTheCap)
{
    LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\n\r\n"), Flood(std::string(65536, 'x'))}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"), 5000);
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_LE(client.ResponseLength(), kMaxResponseBytes);
    EXPECT_LE(client.ResponseCapacity(), kMaxResponseBytes + 1);
    EXPECT_FALSE(client.HasSocket());
}

TEST(HttpClient, EndlessHeaderBlockStopsAtTheCap)
{
    // Also shows that the search for the blank line does not start over with
    // every receive: 16 MiB of header lines arrive in thousands of receives.
    std::string lines;
    for (int i = 0; i < 4000; ++i) {
        lines += "X-Line: endless\r\n";
    }
    LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\n"), Flood(lines)}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"), 5000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(client.DeadlineExpired());  // the cap ended it
    EXPECT_EQ(client.StatusCode(), -1);
    EXPECT_LE(client.ResponseCapacity(), kMaxResponseBytes + 1);
}

TEST(HttpClient, EndlessChunksStopAtTheCap)
{
    std::string chunk = "10000\r\n" + std::string(0x10000, 'c') + "\r\n";
    LoopbackServer server({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"),
                            Flood(chunk)}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"), 5000);
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(client.StatusCode(), 200);
}

TEST(HttpClient, HugeChunkSizeFailsWithoutAllocatingIt)
{
    for (const char* size : {"7FFFFFFF", "-1", "80000000", "FFFFFFFFFFFFFFFFFF"}) {
        SCOPED_TRACE(size);
        LoopbackServer server({Answer({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) +
                                       "\r\nabc"})});
        Client client;
        RequestOptions options = PostOptions(Literal("b"), 500);
        EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    }
}

TEST(HttpClient, DrippingServerIsCutOffByTheDeadline)
{
    // One byte every 40 ms keeps every single receive within its 100 ms
    // time-out; the request as a whole ends after 10 x 100 ms.
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'd');
    LoopbackServer server({{ReadRequest(), Drip(answer, 40)}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"), 100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(client.DeadlineExpired());
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

TEST(HttpClient, SilentServerTimesOut)
{
    LoopbackServer server({{ReadRequest(), HoldOpen(2000)}});
    Client client;
    RequestOptions options = PostOptions(Literal("b"), 150);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(client.StatusCode(), -1);
}

}  // namespace
}  // namespace corvel::http
