// The COM stream over a client's body: reads in pieces, answers as an IStream,
// refuses to attach to an empty body and hands out only the declared body.
#include "http/read_stream_on_socket.h"

#include <gtest/gtest.h>

#include <string>

#include "http/client_test_helpers.h"
#include "http/http_client.h"
#include "http/loopback_server.h"

namespace corvel::http {
namespace {

using namespace testing;  // the loopback server's steps and the client helpers
using Client = CHttpClientT<ZEvtSyncSocket>;

TEST(ReadStreamOnSocket, ReadsTheBodyAndAnswersAsACOMStream)
{
    LoopbackServer server({Answer({"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n12345"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));

    CReadStreamOnSocket stream;
    char buffer[8] = {};
    ULONG read = 99;
    EXPECT_EQ(stream.Read(buffer, sizeof buffer, &read), S_OK);  // unattached: nothing
    EXPECT_EQ(read, 0u);
    ASSERT_TRUE(stream.Attach(&client));
    EXPECT_EQ(stream.Read(buffer, 3, &read), S_OK);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(stream.Read(buffer, sizeof buffer, &read), S_OK);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(std::string(buffer, 2), "45");
    EXPECT_EQ(stream.Read(buffer, sizeof buffer, &read), S_OK);
    EXPECT_EQ(read, 0u);

    void* object = nullptr;
    EXPECT_EQ(stream.QueryInterface(IID_IStream, &object), S_OK);
    EXPECT_EQ(object, static_cast<IStream*>(&stream));
    EXPECT_EQ(stream.QueryInterface(IID_ISequentialStream, &object), S_OK);
    EXPECT_EQ(object, static_cast<IStream*>(&stream));
    const IID other = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    EXPECT_EQ(stream.QueryInterface(other, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(stream.QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(stream.AddRef(), 1u);
    EXPECT_EQ(stream.Release(), 1u);
    EXPECT_EQ(stream.Write("x", 1, nullptr), E_NOTIMPL);
    EXPECT_EQ(stream.Clone(nullptr), E_NOTIMPL);
    EXPECT_THROW(stream.Attach(nullptr), TransportFailure);
}

TEST(ReadStreamOnSocket, EmptyBodyDoesNotAttach)
{
    LoopbackServer server({Answer({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    CReadStreamOnSocket stream;
    EXPECT_FALSE(stream.Attach(&client));
}

TEST(ReadStreamOnSocket, HandsOutTheDeclaredBodyOnly)
{
    // Bytes beyond the Content-Length belong to no answer of ours: they are
    // not part of the body, and the connection that carried them is closed.
    LoopbackServer server({Answer({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nabEXTRA"})});
    Client client;
    RequestOptions options = PostOptions(Literal("b"));
    ASSERT_TRUE(client.SendRequest(UrlOf(server.Url()), options));
    EXPECT_EQ(StreamText(client), "ab");
    EXPECT_FALSE(client.HasSocket());
}

}  // namespace
}  // namespace corvel::http
