// The HTTP/1.1 client of the SOAP transport: sends one request over its own
// socket and reads the whole response (status line, headers, a body framed by
// length, by chunks or by the end of the connection) into one buffer, keeps
// the connection for the next request, follows redirects and checks the
// status. Every exchange is bounded: 16 MiB of response (and the process-wide
// response budget), ten redirects, and ten times the request's time-out for
// the whole of one SendRequest. The parsing is CHttpResponseParser's; this
// class runs the receive loop around it and names every failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "http/event_socket.h"
#include "http/http_failure.h"
#include "http/http_response_parser.h"
#include "http/parsed_url.h"
#include "platform/threads.h"
#include "platform/url_security.h"

namespace corvel::http {

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
// The chunked body's receives.
inline constexpr std::uint32_t kChunkWorkBufferSize = 2048;
// Challenges kept from www-authenticate and proxy-authenticate lines over the
// client's life; later ones are not kept (nothing answers them anyway).
inline constexpr std::uint32_t kMaxChallenges = 16;
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

// An authentication scheme's handler. Nothing in this system registers one.
class IAuthHandler {
public:
    virtual bool AnswerChallenge(const std::string& challenge, bool forProxy) = 0;
    bool skipped = false;

protected:
    ~IAuthHandler() = default;
};

// The response's own fields (response, headerTable, statusCode,
// headerLength, responseBodyLength) live in the reader, parser; the response
// always starts at offset 0, since interim answers are dropped as they end.
template <class TSocket>
class CHttpClientT : public TSocket {
public:
    using HeaderTable = CHttpResponseParser::HeaderTable;

    CHttpClientT();
    virtual ~CHttpClientT();

    bool SendRequest(const CParsedUrl& url, RequestOptions& requestOptions);
    std::int32_t StatusCode() const { return parser.StatusCode(); }
    // Why the last SendRequest failed (none when it succeeded).
    HttpFailure Failure() const { return failure; }
    bool HeaderValue(const char* name, std::string& value) const { return parser.HeaderValue(name, value); }

    // The response kept after SendRequest: the body lies at HeaderOffset() +
    // HeaderLength(), ResponseBodyLength() bytes long.
    const char* ResponseData() const { return parser.ResponseData(); }
    std::uint32_t ResponseLength() const { return parser.ResponseLength(); }
    std::uint32_t ResponseCapacity() const { return parser.ResponseCapacity(); }
    std::uint32_t HeaderOffset() const { return 0; }
    std::uint32_t HeaderLength() const { return parser.HeaderLength(); }
    std::uint32_t ResponseBodyLength() const { return parser.ResponseBodyLength(); }
    const HeaderTable& Headers() const { return parser.Headers(); }
    const CHttpResponseParser& Parser() const { return parser; }
    // Gives the kept response's memory back (its status stays).
    void ReleaseResponse() { parser.Drop(); }
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
    bool SendRequestAndBody();
    // The send modes of SendRequestAndBody: each sends the request text and
    // the body its way, sets *sent to the bytes that went out, and returns
    // false when a send failed or sendStatus stopped the sending. (A short
    // single send shows in *sent alone.)
    bool SendBodyFromSource(std::uint64_t* sent);
    bool SendTextAlone(std::uint64_t* sent);
    bool SendBodyInBlocks(std::uint64_t* sent);
    bool SendGathered(std::uint64_t* sent);
    // Tells sendStatus of one piece sent; false when it stops the sending.
    bool ReportSent(std::uint32_t bytes);
    bool SendRequestText();
    ResponseReadResult ReadResponse();
    bool ReadMore(char* block, std::uint32_t* size);
    bool ReadPlainBody();
    bool ReadChunkedBody();
    bool Feed(const char* bytes, std::uint32_t size);
    bool CheckStatusCode(std::uint32_t flags);
    bool FollowRedirect();
    bool ResolveLocation(std::string& location);
    bool KeepAliveCheck();

    // Records the first failure of the request; returns false.
    bool Fail(HttpFailure reason);
    bool ReceiveFailed();

    // The socket operations under the request's deadline: each wait is the
    // request's time-out or what remains of the deadline, whichever is less.
    bool BoundWait();
    bool Settle(bool succeeded);
    bool ConnectBounded(const char* hostName, std::uint16_t port);
    bool SendBounded(const WSABUF* buffers, std::uint32_t count, std::uint32_t* bytesSent);
    bool ReceiveBounded(void* buffer, std::uint32_t* size);
    bool SendWhole(const void* bytes, std::uint32_t length);

    static void HeaderLineParsed(void* context, const std::string& name, const std::string& value);

    CHttpResponseParser parser;
    std::unordered_map<std::string, IAuthHandler*, FoldedHash, FoldedEqual> authHandlers{17};
    std::vector<std::string> challengeList;
    bool silentLogonConfirmed = false;
    CParsedUrl target;
    std::string requestMethod;
    HttpFailure failure = HttpFailure::none;
    // Bytes arrived beyond the end of the response: the connection is not
    // trusted for another request.
    bool bytesBeyondResponse = false;
    RequestOptions* options = nullptr;

private:
    std::string requestText;
    std::uint32_t requestTimeoutMs = ZEvtSyncSocket::kDefaultTimeoutMs;
    std::uint64_t deadlineMs = 0;
    bool deadlineExpired = false;
    std::uint32_t redirectCount = 0;
};

}  // namespace corvel::http

#include "http/http_client_impl.h"
