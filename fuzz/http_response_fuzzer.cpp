// The HTTP client's response reader (status line, header lines, interim
// answers, bodies by length, by chunks and until close, redirects) fed from a
// socket seam that hands the input out in pseudo-random splits.
// Input: one byte that seeds the splits, one byte of request flags, then the
// bytes the "server" sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/http_client.h"
#include "http/read_stream_on_socket.h"

namespace {

using corvel::http::WSABUF;

// Stands in for ZEvtSyncSocket: always connected, swallows what is sent,
// receives the input in splits of 0 to 64 bytes, then sees the close.
class ScriptedSocket {
public:
    void Load(const std::uint8_t* data, std::size_t size, std::uint32_t seed)
    {
        input = data;
        remaining = size;
        state = seed * 2654435761u + 1u;
    }

    bool ConnectHost(const char* hostName, std::uint16_t port)
    {
        connected = true;
        return true;
    }
    bool Send(const WSABUF* buffers, std::uint32_t count, std::uint32_t* bytesSent)
    {
        if (!connected) {
            return false;
        }
        *bytesSent = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            *bytesSent += buffers[i].len;
        }
        return true;
    }
    bool Receive(void* buffer, std::uint32_t* size)
    {
        if (!connected) {
            return false;
        }
        state = state * 1103515245u + 12345u;
        std::uint32_t piece = (state >> 16) % 65;
        if (piece > remaining) {
            piece = static_cast<std::uint32_t>(remaining);
        }
        if (piece > *size) {
            piece = *size;
        }
        std::memcpy(buffer, input, piece);
        input += piece;
        remaining -= piece;
        *size = piece;
        return true;
    }
    void CloseSocket() { connected = false; }
    void SetTimeout(std::uint32_t milliseconds) { timeout = milliseconds; }
    void SetResolveTimeout(std::uint32_t milliseconds) {}
    std::uint32_t Timeout() const { return timeout; }
    std::uint32_t LastError() const { return 0; }
    bool IsConnected() const { return connected; }

private:
    const std::uint8_t* input = nullptr;
    std::size_t remaining = 0;
    std::uint32_t state = 1;
    std::uint32_t timeout = 0;
    bool connected = false;
};

class FuzzedClient : public corvel::http::CHttpClientT<ScriptedSocket> {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    static FuzzedClient* client = new FuzzedClient;  // kept: a connection outlives one request
    client->CloseSocket();
    client->Load(data + 2, size - 2, data[0]);

    corvel::http::CParsedUrl url;
    url.Parse("http://127.0.0.1:8080/webservice.wsdl");
    static const char body[] = "<Envelope/>";
    corvel::http::RequestOptions options;
    options.requestMethod = "POST";
    options.body = body;
    options.bodyLength = sizeof body - 1;
    options.flags = data[1] & 0x0B;  // followRedirects, checkStatus, sendInBlocks
    options.sendBlockSize = 4;
    options.readBlockSize = (data[1] & 0x10) != 0 ? 7 : 0;
    options.timeoutMs = 1000;
    // A failed request always names its failure, and a successful one none.
    const bool sent = client->SendRequest(url, options);
    if (sent != (client->Failure() == corvel::http::HttpFailure::none)) {
        std::abort();
    }

    // The body handed to the stream always lies within the response.
    const std::uint64_t end =
        std::uint64_t{client->HeaderOffset()} + client->HeaderLength() + client->ResponseBodyLength();
    if (end > client->ResponseLength()) {
        std::abort();
    }
    if (client->ResponseLength() > corvel::http::kMaxResponseBytes) {
        std::abort();
    }
    {
        corvel::http::CReadStreamOnSocket stream;
        stream.AttachBody(client->ResponseData() + client->HeaderOffset() + client->HeaderLength(),
                          static_cast<std::int32_t>(client->ResponseBodyLength()));
        char block[256];
        ULONG read = 0;
        while (stream.Read(block, sizeof block, &read) == S_OK && read != 0) {
        }
    }
    return 0;
}
