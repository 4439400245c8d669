// Host names resolved within a limit: numeric addresses at once and without
// a name server, names on resolver threads that the caller abandons at its
// limit, a redirect to a name whose name server never answers ended by the
// request's deadline, and the cap on resolver threads alive at once. The
// name server is a resolver of the test's own that knows three names.
#include "http/event_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/client_test_helpers.h"
#include "http/http_client.h"
#include "http/loopback_server.h"

namespace corvel::http {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

constexpr char kSilentName[] = "silent.resolver.test";    // not found, when the test lets it answer
constexpr char kSlowName[] = "slow.resolver.test";        // 127.0.0.1 after kSlowAnswerMs
constexpr char kUnknownName[] = "unknown.resolver.test";  // not found, at once
constexpr std::uint32_t kSlowAnswerMs = 50;

// The test's name server. It outlives every resolver thread, abandoned ones
// included, so it is never destroyed.
struct NameServer {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    std::vector<std::string> asked;
};

NameServer& Names()
{
    static NameServer* const names = new NameServer;
    return *names;
}

std::int32_t ResolveTestName(const char* hostName, const char* service, int flags, int family, int socketType,
                             int protocol, platform::AddressInfo** list)
{
    NameServer& names = Names();
    const std::string name = hostName;
    {
        std::unique_lock<std::mutex> hold(names.lock);
        names.asked.push_back(name);
        if (name == kSilentName) {
            // A resolver gives up at last: here long after any limit of the
            // tests, so that a caller that waits for it fails the test
            // instead of hanging it.
            names.opened.wait_for(hold, std::chrono::seconds(8), [&] { return names.open; });
        }
    }
    if (name != kSlowName) {
        return static_cast<std::int32_t>(platform::wsa::kHostNotFound);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSlowAnswerMs));
    return platform::ResolveAddress("127.0.0.1", service, flags | platform::kNumericHostFlag, family, socketType,
                                    protocol, list);
}

bool WaitForNoResolverThreads()
{
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (ResolverThreadsInFlight() != 0) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class NameResolution : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitForNoResolverThreads());
        SetOpen(false);
        std::lock_guard<std::mutex> hold(Names().lock);
        Names().asked.clear();
        SetNameResolver(&ResolveTestName);
    }
    void TearDown() override
    {
        // Abandoned threads end once their name server answers.
        SetOpen(true);
        EXPECT_TRUE(WaitForNoResolverThreads());
        SetNameResolver(nullptr);
    }

    static void SetOpen(bool open)
    {
        {
            std::lock_guard<std::mutex> hold(Names().lock);
            Names().open = open;
        }
        Names().opened.notify_all();
    }
    static std::vector<std::string> Asked()
    {
        std::lock_guard<std::mutex> hold(Names().lock);
        return Names().asked;
    }
};

TEST_F(NameResolution, ConnectHostResolvesWithinItsLimit)
{
    LoopbackServer server({{ReadRequest()}});
    struct Case {
        const char* host;
        std::uint32_t limitMs;
        bool connects;
        std::uint32_t lastError;
        bool asksTheNameServer;
    };
    const Case cases[] = {
        // A numeric address needs neither a name server nor any time.
        {"127.0.0.1", 0, true, 0, false},
        {kSlowName, 5000, true, 0, true},
        {kUnknownName, 5000, false, platform::wsa::kHostNotFound, true},
        {kSilentName, 200, false, platform::wsa::kTimedOut, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        {
            std::lock_guard<std::mutex> hold(Names().lock);
            Names().asked.clear();
        }
        ZEvtSyncSocket socket;
        socket.SetResolveTimeout(c.limitMs);
        const auto start = Clock::now();
        EXPECT_EQ(socket.ConnectHost(c.host, server.Port()), c.connects);
        EXPECT_EQ(socket.LastError(), c.lastError);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(c.limitMs) + std::chrono::seconds(3));
        EXPECT_EQ(Asked(), c.asksTheNameServer ? std::vector<std::string>{c.host} : std::vector<std::string>{});
    }
}

TEST_F(NameResolution, RedirectToANameResolvesWithinTheRequestDeadline)
{
    // The request's time-out is 100 ms, so its deadline is one second.
    constexpr std::uint32_t kTimeoutMs = 100;
    LoopbackServer terminal({{ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}});
    struct Case {
        const char* host;
        bool ok;
        HttpFailure failure;
    };
    const Case cases[] = {
        {kSlowName, true, HttpFailure::none},
        {kUnknownName, false, HttpFailure::connectFailed},
        // The name server never answers: the deadline ends the request.
        {kSilentName, false, HttpFailure::deadlinePassed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        const std::string location = "http://" + std::string(c.host) + ":" + std::to_string(terminal.Port()) + "/";
        LoopbackServer redirecting({{ReadRequest(), SendBytes("HTTP/1.1 302 Found\r\nLocation: " + location +
                                                              "\r\nContent-Length: 0\r\n\r\n")}});
        CHttpClientT<ZEvtSyncSocket> client;
        RequestOptions options = PostOptions(Literal("<Envelope/>"), kTimeoutMs);
        const auto start = Clock::now();
        EXPECT_EQ(client.SendRequest(UrlOf(redirecting.Url()), options), c.ok);
        EXPECT_EQ(client.Failure(), c.failure);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
        if (c.ok) {
            EXPECT_EQ(client.StatusCode(), 200);
        }
    }
}

TEST_F(NameResolution, ResolverThreadsAliveAtOnceAreCapped)
{
    ZEvtSyncSocket startsWinsock;  // the resolver needs it started on Windows
    // Every resolution of the silent name is abandoned and leaves its thread
    // waiting for the name server.
    for (std::uint32_t thread = 0; thread < kMaxResolverThreads; ++thread) {
        CSocketAddr address;
        ASSERT_EQ(address.ResolvePortWithin(kSilentName, 80, 0, 0, platform::kStreamSocket, 0, 10),
                  static_cast<int>(platform::wsa::kTimedOut));
    }
    EXPECT_EQ(ResolverThreadsInFlight(), kMaxResolverThreads);

    // The next name fails at once as a shortage of the server's own; numeric
    // addresses still resolve.
    CSocketAddr address;
    const auto start = Clock::now();
    EXPECT_EQ(address.ResolvePortWithin(kSlowName, 80, 0, 0, platform::kStreamSocket, 0, 5000),
              static_cast<int>(platform::wsa::kNoBufferSpace));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(address.ResolvePortWithin("127.0.0.1", 80, 0, 0, platform::kStreamSocket, 0, 5000), 0);
    EXPECT_NE(address.AddressList(), nullptr);

    // Once the name server answers, the abandoned threads end and names
    // resolve again.
    SetOpen(true);
    ASSERT_TRUE(WaitForNoResolverThreads());
    EXPECT_EQ(address.ResolvePortWithin(kSlowName, 80, 0, 0, platform::kStreamSocket, 0, 5000), 0);
    EXPECT_NE(address.AddressList(), nullptr);
}

}  // namespace
}  // namespace corvel::http
