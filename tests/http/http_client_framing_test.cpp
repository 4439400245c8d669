// Framing that the next request can trust: after every kind of response a
// second request on the same client gets its own answer, on the same
// connection only when the first response left it clean; redirects fail or
// succeed whole; and every failure reaches the caller with its name.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/client_test_helpers.h"
#include "http/loopback_server.h"

namespace corvel::http {
namespace {

using namespace testing;  // the loopback server's steps and the client helpers
using Client = CHttpClientT<ZEvtSyncSocket>;

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kSecondAnswer = kOk + "Content-Length: 6\r\n\r\nsecond";

struct FramingCase {
    const char* name;
    std::string firstAnswer;
    bool firstSucceeds;
    bool connectionKept;
    bool serverCloses = false;  // the first answer ends with the connection
};

TEST(HttpFraming, SecondRequestGetsItsOwnAnswer)
{
    const FramingCase cases[] = {
        {"content length", kOk + "Content-Length: 5\r\n\r\nfirst", true, true},
        {"chunked", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n0\r\n\r\n", true, true},
        {"chunked, unannounced trailers", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\nf\r\n0\r\nX-T: 1\r\n\r\n",
         true, true},
        {"chunked, announced trailers",
         kOk + "Transfer-Encoding: chunked\r\nTrailer: X-T\r\n\r\n1\r\nf\r\n0\r\nX-T: 1\r\n\r\n", true, true},
        {"interim answers first",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n" + kOk +
             "Content-Length: 5\r\n\r\nfirst",
         true, true},
        {"204", "HTTP/1.1 204 No Content\r\n\r\n", true, true},
        {"304", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", true, true},
        {"conflicting lengths", kOk + "Content-Length: 5\r\nContent-Length: 3\r\n\r\nfirst", false, false},
        {"transfer coding and length", kOk + "Transfer-Encoding: chunked\r\nContent-Length: 10\r\n\r\n0\r\n\r\n",
         true, false},
        {"body until close", kOk + "\r\nfirst", true, false, true},
        {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfirst", true, false},
        {"close among other tokens", kOk + "Connection: close, TE\r\nContent-Length: 5\r\n\r\nfirst", true, false},
        {"bytes beyond the length", kOk + "Content-Length: 3\r\n\r\nfirst", true, false},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Step> firstConnection{ReadRequest(), SendBytes(c.firstAnswer)};
        if (c.serverCloses) {
            firstConnection.push_back(CloseConnection());
        } else {
            // Should the client use this connection again, it reads whatever
            // the first answer left on it before this one.
            firstConnection.push_back(ReadRequest());
            firstConnection.push_back(SendBytes(kSecondAnswer));
        }
        LoopbackServer server({firstConnection, {ReadRequest(), SendBytes(kSecondAnswer)}});
        Client client;
        const std::string body = "<x/>";
        RequestOptions options = PostOptions(body);
        const CParsedUrl url = UrlOf(server.Url("/ws"));
        EXPECT_EQ(client.SendRequest(url, options), c.firstSucceeds) << HttpFailureName(client.Failure());
        EXPECT_EQ(client.HasSocket(), c.connectionKept);
        ASSERT_TRUE(client.SendRequest(url, options)) << HttpFailureName(client.Failure());
        EXPECT_EQ(client.StatusCode(), 200);
        EXPECT_EQ(Body(client), "second");
        // Counted at accept: the second answer came over the last connection.
        EXPECT_EQ(server.Connections(), c.connectionKept ? 1 : 2);
    }
}

TEST(HttpFraming, RedirectedRequestCarriesItsBodyAgain)
{
    LoopbackServer redirecting({{ReadRequest(),
                                 SendBytes("HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 0\r\n\r\n"),
                                 ReadRequest(), SendBytes(kSecondAnswer)}});
    Client client;
    const std::string body = "<Envelope>probe</Envelope>";
    RequestOptions options = PostOptions(body);
    ASSERT_TRUE(client.SendRequest(UrlOf(redirecting.Url("/first")), options)) << HttpFailureName(client.Failure());
    EXPECT_EQ(Body(client), "second");
    const auto requests = redirecting.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].rfind("POST /moved HTTP/1.1\r\nContent-Length: 26\r\n", 0), 0u) << requests[1];
    EXPECT_EQ(requests[1].substr(requests[1].size() - body.size()), body);
    EXPECT_EQ(redirecting.Connections(), 1);
}

#if defined(_WIN32)
constexpr bool kResetMayReadAsClose = true;
#else
constexpr bool kResetMayReadAsClose = false;
#endif

TEST(HttpFraming, FailureInsideARedirectFailsTheRequest)
{
    const std::string redirect = "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<Step> script;
        HttpFailure failure;
    };
    const Case cases[] = {
        {"short body after the redirect",
         {ReadRequest(), SendBytes(redirect), ReadRequest(), SendBytes(kOk + "Content-Length: 10\r\n\r\n12345"),
          CloseConnection()},
         HttpFailure::connectionClosed},
        {"reset after the redirect", {ReadRequest(), SendBytes(redirect), ReadRequest(), ResetConnection()},
         HttpFailure::receiveFailed},
        {"folded Location",
         {ReadRequest(), SendBytes("HTTP/1.1 302 Found\r\nLocation: /a\r\n b\r\nContent-Length: 0\r\n\r\n")},
         HttpFailure::badLocation},
        {"Location with a space", {ReadRequest(), SendBytes("HTTP/1.1 302 Found\r\nLocation: /a b\r\n\r\n")},
         HttpFailure::badLocation},
        {"Location with a control character",
         {ReadRequest(), SendBytes("HTTP/1.1 302 Found\r\nLocation: /a\tb\r\nContent-Length: 0\r\n\r\n")},
         HttpFailure::badLocation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server({c.script});
        Client client;
        const std::string body = "b";
        RequestOptions options = PostOptions(body);
        EXPECT_FALSE(client.SendRequest(UrlOf(server.Url("/first")), options));
        // Wine's sockets now and then hand a peer's reset to the reader as an
        // orderly end of the connection: either way the request fails.
        const bool resetReadAsClose = kResetMayReadAsClose && c.failure == HttpFailure::receiveFailed &&
                                      client.Failure() == HttpFailure::connectionClosed;
        if (!resetReadAsClose) {
            EXPECT_EQ(client.Failure(), c.failure) << HttpFailureName(client.Failure());
        }
        EXPECT_FALSE(client.HasSocket());
        if (c.failure == HttpFailure::badLocation) {
            EXPECT_EQ(server.Requests().size(), 1u);  // nothing was sent with the bad text
        }
    }
}

TEST(HttpFraming, EveryFailureReachesTheCallerByName)
{
    std::string trailers = "x: " + std::string(1000, 'a') + "\r\n";
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::uint32_t timeoutMs;
        HttpFailure failure;
        std::int32_t status;
    };
    const Case cases[] = {
        {"silence", {ReadRequest(), HoldOpen(1500)}, 150, HttpFailure::receiveFailed, -1},
        {"drip", {ReadRequest(), Drip(kOk + "Content-Length: 900\r\n\r\n" + std::string(900, 'd'), 30)}, 100,
         HttpFailure::deadlinePassed, -1},
        {"closed before the end", {ReadRequest(), SendBytes("HTTP/1.1 200"), CloseConnection()}, 1000,
         HttpFailure::connectionClosed, -1},
        {"bad status line", {ReadRequest(), SendBytes("HTTP/1.1 OK\r\n\r\n")}, 1000, HttpFailure::badStatusLine, -1},
        {"refused status", {ReadRequest(), SendBytes("HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n")}, 1000,
         HttpFailure::statusRejected, 500},
        {"bad chunk size",
         {ReadRequest(), SendBytes(kOk + "Transfer-Encoding: chunked\r\n\r\n80000000\r\n")}, 1000,
         HttpFailure::badChunkSize, 200},
        {"endless trailers",
         {ReadRequest(), SendBytes(kOk + "Transfer-Encoding: chunked\r\nTrailer: x\r\n\r\n0\r\n"), Flood(trailers)},
         5000, HttpFailure::responseTooLarge, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server({c.script});
        Client client;
        const std::string body = "b";
        RequestOptions options = PostOptions(body, c.timeoutMs);
        EXPECT_FALSE(client.SendRequest(UrlOf(server.Url()), options));
        EXPECT_EQ(client.Failure(), c.failure) << HttpFailureName(client.Failure());
        EXPECT_EQ(client.StatusCode(), c.status);
    }
    Client client;
    const std::string body = "b";
    RequestOptions options = PostOptions(body);
    EXPECT_FALSE(client.SendRequest(UrlOf("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/"), options));
    EXPECT_EQ(client.Failure(), HttpFailure::connectFailed);
    EXPECT_EQ(client.LastError(), platform::wsa::kConnectionRefused);
    EXPECT_EQ(std::string(HttpFailureName(HttpFailure::responseTooLarge)), "response too large");
}

TEST(HttpFraming, ManyHostilePeersStayWithinTheSharedBudget)
{
    // Twelve terminals at once each send a 4 MiB body slowly enough to be
    // held together; the budget (lowered for the test) admits only some, and
    // what all of them hold never passes it.
    ResponseBudget& budget = ProcessResponseBudget();
    const std::size_t savedLimit = budget.Limit();
    budget.SetLimit(12u * 1024 * 1024);
    constexpr int kPeers = 12;
    const std::string head = kOk + "Content-Length: 4194304\r\n\r\n";
    std::vector<std::unique_ptr<LoopbackServer>> servers;
    for (int i = 0; i < kPeers; ++i) {
        servers.push_back(std::make_unique<LoopbackServer>(std::vector<std::vector<Step>>{
            {ReadRequest(), SendBytes(head), Drip(std::string(64, 'x'), 10), Flood(std::string(65536, 'x'))}}));
    }
    std::atomic<bool> done{false};
    std::atomic<std::size_t> peak{0};
    std::thread watcher([&] {
        while (!done) {
            peak = std::max<std::size_t>(peak, budget.InUse());
            std::this_thread::yield();
        }
    });
    std::vector<HttpFailure> failures(kPeers);
    std::vector<std::thread> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.emplace_back([&, i] {
            Client client;
            const std::string body = "b";
            RequestOptions options = PostOptions(body, 5000);
            client.SendRequest(UrlOf(servers[i]->Url()), options);
            failures[i] = client.Failure();
        });
    }
    for (std::thread& peer : peers) {
        peer.join();
    }
    done = true;
    watcher.join();
    budget.SetLimit(savedLimit);

    int refused = 0;
    for (HttpFailure failure : failures) {
        EXPECT_TRUE(failure == HttpFailure::none || failure == HttpFailure::budgetExhausted)
            << HttpFailureName(failure);
        refused += failure == HttpFailure::budgetExhausted ? 1 : 0;
    }
    EXPECT_GT(refused, 0);
    EXPECT_LE(peak.load(), 12u * 1024 * 1024);
    EXPECT_EQ(budget.InUse(), 0u);  // every response gave its share back
}

}  // namespace
}  // namespace corvel::http
