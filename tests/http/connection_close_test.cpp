// The client's close leaves no TIME_WAIT behind: every probe is a client of
// its own that ends its exchange with a close, and an orderly close by this
// side would park the connection in TIME_WAIT here, holding an ephemeral
// port for minutes (Windows: 120 to 240 s with 16,384 ports). Each case runs
// a few hundred exchanges that end the way probes end (answered and kept,
// answered with Connection: close, refused by status, timed out) and counts
// this side's TIME_WAIT connections to the server's port in the system's
// own connection table.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#else
#include <fstream>
#include <sstream>
#endif

#include "http/client_test_helpers.h"
#include "http/loopback_server.h"

namespace corvel::http {
namespace {

using namespace testing;

// Connections in TIME_WAIT whose remote port is the given one: the client
// sides of connections to a loopback server on that port.
std::size_t TimeWaitTo(std::uint16_t port)
{
    std::size_t count = 0;
#if defined(_WIN32)
    ULONG size = 0;
    GetTcpTable(nullptr, &size, FALSE);
    std::vector<unsigned char> buffer(size + 64 * sizeof(MIB_TCPROW));
    size = static_cast<ULONG>(buffer.size());
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
    if (GetTcpTable(table, &size, FALSE) != NO_ERROR) {
        ADD_FAILURE() << "GetTcpTable failed";
        return 0;
    }
    for (DWORD row = 0; row < table->dwNumEntries; ++row) {
        const MIB_TCPROW& entry = table->table[row];
        if (entry.dwState == MIB_TCP_STATE_TIME_WAIT && ntohs(static_cast<u_short>(entry.dwRemotePort)) == port) {
            ++count;
        }
    }
#else
    // "sl local_address rem_address st ...", addresses as hex "address:port",
    // the state in hex (06: TIME_WAIT).
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const std::size_t colon = remote.find(':');
        if (state == "06" && colon != std::string::npos &&
            std::stoul(remote.substr(colon + 1), nullptr, 16) == port) {
            ++count;
        }
    }
#endif
    return count;
}

TEST(ConnectionClose, NoExchangeLeavesTimeWaitBehind)
{
    const std::string body = "<Envelope>ok</Envelope>";
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    struct Case {
        const char* ending;
        std::string answer;  // sent after each request; none: never answers
        bool ok;
        int exchanges;
    };
    const Case cases[] = {
        {"answered, the connection kept until the client goes", "HTTP/1.1 200 OK\r\n" + length + body, true, 300},
        {"answered with Connection: close", "HTTP/1.1 200 OK\r\nConnection: close\r\n" + length + body, true, 300},
        {"refused by its status", "HTTP/1.1 500 Internal Server Error\r\n" + length + body, false, 300},
        {"no answer within the time-out", "", false, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ending);
        Script script{ReadRequest()};
        if (!c.answer.empty()) {
            script.push_back(SendBytes(c.answer));
            script.push_back(Repeat());
        }
        LoopbackServer server({script}, 512);
        const std::size_t before = TimeWaitTo(server.Port());
        for (int exchange = 0; exchange < c.exchanges; ++exchange) {
            // A client of its own per exchange, as every probe has.
            auto client = std::make_unique<CHttpClientT<ZEvtSyncSocket>>();
            RequestOptions options = PostOptions(Literal("<Envelope/>"), 50);
            ASSERT_EQ(client->SendRequest(UrlOf(server.Url()), options), c.ok) << "exchange " << exchange;
        }
        EXPECT_EQ(TimeWaitTo(server.Port()), before);
    }
}

}  // namespace
}  // namespace corvel::http
