// The HTTP/1.1 client of the SOAP transport: sends one request over its own
// socket and reads the whole response (status line, headers, a body framed by
// length, by chunks or by the end of the connection) into one buffer, keeps
// the connection for the next request, follows redirects and checks the
// status. Every exchange is bounded: 16 MiB of response, ten redirects, and
// ten times the request's time-out for the whole of one SendRequest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "http/event_socket.h"
#include "http/parsed_url.h"
#include "platform/threads.h"
#include "platform/url_security.h"

namespace corvel::http {

// A response larger than this (header block and body together, chunked or
// not) fails the read instead of growing without bound.
inline constexpr std::uint32_t kMaxResponseBytes = 16u * 1024u * 1024u;
// One SendRequest (connect, sends, every receive, redirects) ends within this
// many times its time-out.
inline constexpr std::uint32_t kRequestDeadlineFactor = 10;
// Redirects followed within one request; the next one fails it.
inline constexpr std::uint32_t kMaxRedirects = 10;
// Header-phase receives and the default body receive.
inline constexpr std::uint32_t kHeaderReceiveSize = 2048;
inline constexpr std::uint32_t kDefaultReadBlockSize = 2048;
// Receives of 0 bytes in a row that fail the header phase or a body of known
// length; a body read until close ends after one more.
inline constexpr std::uint32_t kMaxEmptyReceives = 5;
// A header name or value of this many bytes or more drops the line.
inline constexpr std::uint32_t kMaxHeaderPartLength = 1024;
// The chunked reader's work buffer; it grows only for a chunk that does not fit.
inline constexpr std::uint32_t kChunkWorkBufferSize = 2048;
// Capacity for a composed target or Location text.
inline constexpr std::uint32_t kLocationCapacity = 2048;
inline constexpr std::uint32_t kZoneCheckUrlCapacity = 2084;

inline constexpr char kUserAgentLine[] = "User-Agent: Corvel-Service/1.0\r\n";

// What a caller passes for one request.
struct RequestOptions {
    static constexpr std::uint32_t followRedirects = 1;
    static constexpr std::uint32_t checkStatus = 2;
    static constexpr std::uint32_t bodyFromSource = 4;
    static constexpr std::uint32_t sendInBlocks = 8;

    // Stores the next piece's address and length; false when there is none.
    using BodySourceCallback = bool (*)(const char** piece, std::uint32_t* length, std::uintptr_t param);
    // Called with the bytes sent or received; false stops the request.
    using StatusCallback = bool (*)(std::uint32_t bytes, std::uintptr_t param);

    const char* extraHeaders = nullptr;  // complete lines, each ending in CR LF
    const char* requestMethod = "GET";
    const char* contentType = nullptr;
    std::uint32_t bodyLength = 0;
    std::uint32_t flags = 0;
    std::uint32_t timeoutMs = ZEvtSyncSocket::kDefaultTimeoutMs;
    std::uint32_t sendBlockSize = 0;
    std::uint32_t readBlockSize = 0;  // 0: 2048
    std::uintptr_t sendStatusParam = 0;
    std::uintptr_t readStatusParam = 0;
    std::uintptr_t bodySourceParam = 0;
    std::uint16_t port = 80;  // used when the target's port is 0
    const void* body = nullptr;
    BodySourceCallback bodySource = nullptr;
    StatusCallback sendStatus = nullptr;
    StatusCallback readStatus = nullptr;
};

enum class ResponseReadResult : std::int32_t {
    ok = 0,
    badStatusLine = 2,
    badHeaders = 3,
    socketReadFailed = 4,
    bodyReadFailed = 5,
    chunkedBodyReadFailed = 6,
};

// A byte buffer with 4096 bytes of inline storage that moves to the heap when
// it grows; always NUL-terminated, never larger than kMaxResponseBytes.
class ResponseBuffer {
public:
    static constexpr std::uint32_t kInlineCapacity = 4096;
    static constexpr std::uint32_t kMinimumGrowth = 4096;

    ResponseBuffer() { inlineStorage[0] = 0; }
    ResponseBuffer(const ResponseBuffer&) = delete;
    ResponseBuffer& operator=(const ResponseBuffer&) = delete;
    ~ResponseBuffer();

    // False when the length would pass kMaxResponseBytes or memory runs out;
    // the buffer is then unchanged.
    bool Append(const void* bytes, std::uint32_t count);
    void Empty();

    char* Data() { return storage; }
    const char* Data() const { return storage; }
    std::uint32_t Length() const { return length; }
    std::uint32_t Capacity() const { return capacity; }

private:
    char inlineStorage[kInlineCapacity];
    char* storage = inlineStorage;
    std::uint32_t length = 0;
    std::uint32_t capacity = kInlineCapacity;
};

// Header names compare case-insensitively (ASCII letters folded to upper case).
struct FoldedHash {
    std::size_t operator()(const std::string& text) const;
};
struct FoldedEqual {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool EqualsFolded(const char* a, const char* b);

// An authentication scheme's handler. Nothing in this system registers one.
class IAuthHandler {
public:
    virtual bool AnswerChallenge(const std::string& challenge, bool forProxy) = 0;
    bool skipped = false;

protected:
    ~IAuthHandler() = default;
};

// The chunk-size line at [cursor, end): see ReadChunkedBody.
enum class ChunkSizeScan { complete, needMoreBytes, invalid };
ChunkSizeScan ScanChunkSize(const char* cursor, const char* end, std::uint32_t* size, std::size_t* consumed);

template <class TSocket>
class CHttpClientT : public TSocket {
public:
    using HeaderTable = std::unordered_map<std::string, std::string, FoldedHash, FoldedEqual>;

    CHttpClientT();
    virtual ~CHttpClientT();

    bool SendRequest(const CParsedUrl& url, RequestOptions& requestOptions);
    std::int32_t StatusCode() const { return statusCode; }
    bool HeaderValue(const char* name, std::string& value) const;

    // The response kept after SendRequest: the body lies at HeaderOffset() +
    // HeaderLength(), ResponseBodyLength() bytes long.
    const char* ResponseData() const { return response.Data(); }
    std::uint32_t ResponseLength() const { return response.Length(); }
    std::uint32_t ResponseCapacity() const { return response.Capacity(); }
    std::uint32_t HeaderOffset() const { return headerOffset; }
    std::uint32_t HeaderLength() const { return headerLength; }
    std::uint32_t ResponseBodyLength() const { return responseBodyLength; }
    const HeaderTable& Headers() const { return headerTable; }
    const std::vector<std::string>& ChallengeList() const { return challengeList; }
    const CParsedUrl& Target() const { return target; }
    const std::string& RequestText() const { return requestText; }
    // Redirects followed by the last SendRequest; whether its deadline ran out.
    std::uint32_t RedirectCount() const { return redirectCount; }
    bool DeadlineExpired() const { return deadlineExpired; }

    void RegisterAuthHandler(const char* scheme, IAuthHandler* handler) { authHandlers[scheme] = handler; }

protected:
    virtual bool AnswerChallenge(bool forProxy);
    virtual void CookieReceived(const char* value) {}

    void ResetState();
    bool SetTarget(const CParsedUrl& url, std::uint16_t defaultPort);
    bool SetTargetText(const char* text, std::uint16_t defaultPort);
    bool BuildRequestText(const char* method, const char* extraHeaderText);
    bool ConnectToServer();
    bool SendRequestText();
    ResponseReadResult ReadResponse();
    bool ReadMore();
    bool ParseStatusLine();
    bool FindHeaderLines(std::uint32_t* lineStart);
    bool ParseHeaderLines();
    bool ParseHeaderLine(const char* lineStart, const char* lineEnd);
    bool ReadPlainBody(std::int64_t contentLength, std::uint32_t bodyBytesSoFar);
    bool ReadChunkedBody();
    bool CheckStatusCode(std::uint32_t flags);
    bool FollowRedirect();
    bool ResolveLocation(std::string& location);
    void KeepAliveCheck();

    // The socket operations under the request's deadline: each wait is the
    // request's time-out or what remains of the deadline, whichever is less.
    bool BoundWait();
    bool Settle(bool succeeded);
    bool ConnectBounded(const char* hostName, std::uint16_t port);
    bool SendBounded(const WSABUF* buffers, std::uint32_t count, std::uint32_t* bytesSent);
    bool ReceiveBounded(void* buffer, std::uint32_t* size);
    bool SendWhole(const void* bytes, std::uint32_t length);

    HeaderTable headerTable{17};
    std::unordered_map<std::string, IAuthHandler*, FoldedHash, FoldedEqual> authHandlers{17};
    std::vector<std::string> challengeList;
    bool silentLogonConfirmed = false;
    ResponseBuffer response;
    CParsedUrl target;
    std::string requestMethod;
    std::int32_t statusCode = -1;
    std::uint32_t responseBodyLength = 0;
    std::uint32_t headerLength = 0;
    std::uint32_t headerOffset = 0;
    // Where the search for the end of the header block goes on; none before
    // the first receive of a response.
    bool hasScanPosition = false;
    std::uint32_t scanPosition = 0;
    std::uint32_t dataEnd = 0;
    RequestOptions* options = nullptr;

private:
    std::string requestText;
    std::uint32_t requestTimeoutMs = ZEvtSyncSocket::kDefaultTimeoutMs;
    std::uint64_t deadlineMs = 0;
    bool deadlineExpired = false;
    std::uint32_t redirectCount = 0;
    bool redirectLimitReached = false;
    bool statusOverflow = false;
};

}  // namespace corvel::http

#include "http/http_client_impl.h"
