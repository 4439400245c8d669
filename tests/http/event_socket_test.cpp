// The event socket: Winsock started once, calls in the wrong state, refused
// and timed-out connects, unresolvable hosts, send, receive and the peer's
// close, receive time-outs and a second concurrent send.
#include "http/event_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/loopback_server.h"

namespace corvel::http {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

TEST(EventSocket, StartsWinsockOnce)
{
    ZEvtSyncSocket socket;
    EXPECT_EQ(ZEvtSyncSocket::WinsockStartResult(), 0);
    EXPECT_EQ(socket.LastError(), 0u);
    EXPECT_EQ(socket.Timeout(), 10000u);
}

TEST(EventSocket, RefusesCallsInTheWrongState)
{
    ZEvtSyncSocket socket;
    char byte = 'x';
    WSABUF buffer{1, &byte};
    std::uint32_t count = 1;
    // No socket at all: the connection test fails at once.
    const auto start = Clock::now();
    EXPECT_FALSE(socket.Send(&buffer, 1, &count));
    EXPECT_EQ(socket.LastError(), platform::wsa::kNotConnected);
    EXPECT_FALSE(socket.Receive(&byte, &count));
    EXPECT_EQ(socket.LastError(), platform::wsa::kNotConnected);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));

    EXPECT_FALSE(socket.AttachSocket(platform::kInvalidSocket));
    EXPECT_EQ(socket.LastError(), platform::wsa::kNotSocket);
    ASSERT_TRUE(socket.CreateSocket(2 /* AF_INET */, platform::kStreamSocket, 0, 0));
    EXPECT_FALSE(socket.CreateSocket(2, platform::kStreamSocket, 0, 0));
    EXPECT_EQ(socket.LastError(), platform::wsa::kAlready);

    // A socket without connection: the connection test waits its time-out.
    socket.SetTimeout(100);
    EXPECT_FALSE(socket.Send(&buffer, 1, &count));
    EXPECT_EQ(socket.LastError(), platform::wsa::kNotConnected);
    socket.CloseSocket();
    EXPECT_FALSE(socket.HasSocket());
    socket.CloseSocket();  // nothing happens without a socket
}

TEST(EventSocket, RefusedConnectKeepsTheSocket)
{
    ZEvtSyncSocket socket;
    socket.SetTimeout(5000);
    EXPECT_FALSE(socket.ConnectHost("127.0.0.1", UnusedPort()));
    EXPECT_EQ(socket.LastError(), platform::wsa::kConnectionRefused);
    EXPECT_TRUE(socket.HasSocket());
    EXPECT_FALSE(socket.IsConnected());
}

TEST(EventSocket, UnresolvableHostGivesTheResolverCode)
{
    ZEvtSyncSocket socket;
    EXPECT_FALSE(socket.ConnectHost("no-such-host.invalid", 80));
    EXPECT_NE(socket.LastError(), 0u);
    EXPECT_FALSE(socket.HasSocket());
}

TEST(EventSocket, ConnectTimeOutLeavesLastErrorAloneAndTheSocketUsable)
{
    // A listener whose backlog is full lets further connects hang.
    LoopbackServer server({{}}, 0, false);
    std::vector<std::unique_ptr<ZEvtSyncSocket>> fillers;
    for (int i = 0; i < 8; ++i) {
        fillers.push_back(std::make_unique<ZEvtSyncSocket>());
        fillers.back()->SetTimeout(50);
        fillers.back()->ConnectHost("127.0.0.1", server.Port());
    }
    ZEvtSyncSocket socket;
    socket.SetTimeout(200);
    const auto start = Clock::now();
    if (socket.ConnectHost("127.0.0.1", server.Port())) {
        GTEST_SKIP() << "this system accepts connects beyond the backlog";
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(socket.LastError(), 0u);
    EXPECT_FALSE(socket.IsConnected());

    // The timed-out attempt is still under way in the platform; a second
    // connect on this socket must not be refused as "already in progress".
    ASSERT_TRUE(socket.HasSocket());
    LoopbackServer live({{ReadRequest(), SendBytes("pong")}});
    socket.SetTimeout(2000);
    ASSERT_TRUE(socket.ConnectHost("127.0.0.1", live.Port())) << socket.LastError();
    std::string request = "GET / HTTP/1.1\r\n\r\n";
    WSABUF buffer{static_cast<std::uint32_t>(request.size()), request.data()};
    std::uint32_t sent = 0;
    ASSERT_TRUE(socket.Send(&buffer, 1, &sent));
    char answer[8] = {};
    std::uint32_t size = sizeof answer;
    ASSERT_TRUE(socket.Receive(answer, &size));
    EXPECT_EQ(std::string(answer, size), "pong");
}

TEST(EventSocket, SendsReceivesAndSeesTheClose)
{
    LoopbackServer server({{ReadRequest(), SendBytes("pong"), Delay(50), CloseConnection()}});
    ZEvtSyncSocket socket;
    socket.SetTimeout(2000);
    ASSERT_TRUE(socket.ConnectHost("127.0.0.1", server.Port()));
    // Connected: another host name is not even resolved.
    EXPECT_TRUE(socket.ConnectHost("no-such-host.invalid", 1));

    std::string head = "PING / HTTP/1.1\r\n";
    std::string tail = "\r\n";
    WSABUF buffers[2] = {{static_cast<std::uint32_t>(head.size()), head.data()},
                         {static_cast<std::uint32_t>(tail.size()), tail.data()}};
    std::uint32_t sent = 0;
    ASSERT_TRUE(socket.Send(buffers, 2, &sent));
    EXPECT_EQ(sent, head.size() + tail.size());

    char received[16];
    std::uint32_t size = sizeof received;
    ASSERT_TRUE(socket.Receive(received, &size));
    EXPECT_EQ(std::string(received, size), "pong");
    size = sizeof received;
    ASSERT_TRUE(socket.Receive(received, &size));
    EXPECT_EQ(size, 0u);  // the peer closed
    server.WaitIdle();
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], head + tail);
}

TEST(EventSocket, ReceiveTimeOutCancelsAndTheSocketStaysUsable)
{
    LoopbackServer server({{Delay(400), SendBytes("late")}});
    ZEvtSyncSocket socket;
    socket.SetTimeout(2000);
    ASSERT_TRUE(socket.ConnectHost("127.0.0.1", server.Port()));
    socket.SetTimeout(100);
    char received[16];
    std::uint32_t size = sizeof received;
    const auto start = Clock::now();
    EXPECT_FALSE(socket.Receive(received, &size));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
    EXPECT_EQ(socket.LastError(), 0u);
    // The cancelled receive took nothing: the late bytes reach the next one.
    socket.SetTimeout(2000);
    size = sizeof received;
    ASSERT_TRUE(socket.Receive(received, &size));
    EXPECT_EQ(std::string(received, size), "late");
}

TEST(EventSocket, SecondConcurrentSendIsRefused)
{
    // The server never reads, so a large send stays outstanding.
    LoopbackServer server({{HoldOpen(3000)}});
    ZEvtSyncSocket socket;
    socket.SetTimeout(2000);
    ASSERT_TRUE(socket.ConnectHost("127.0.0.1", server.Port()));
    std::vector<char> big(64u * 1024u * 1024u, 'b');
    bool firstResult = true;
    std::thread first([&] {
        WSABUF buffer{static_cast<std::uint32_t>(big.size()), big.data()};
        std::uint32_t sent = 0;
        firstResult = socket.Send(&buffer, 1, &sent);
    });
    // Until the first send is under way, a small send still goes through.
    char byte = 'x';
    WSABUF one{1, &byte};
    bool refused = false;
    for (int attempt = 0; attempt < 30 && !refused; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::uint32_t sent = 0;
        refused = !socket.Send(&one, 1, &sent);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(socket.LastError(), platform::wsa::kInProgress);
    first.join();
    EXPECT_FALSE(firstResult);  // timed out, cancelled
}

}  // namespace
}  // namespace corvel::http
