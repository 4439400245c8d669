// The SOAP transport client under the terminal service proxy: the service URL,
// the request text of the current call, one HTTP exchange per call over its
// own socket, the response body as a stream for the SAX reader, the fault
// record of a status-500 answer and the stage at which the last call failed.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "http/event_socket.h"
#include "http/http_client.h"
#include "http/http_failure.h"
#include "http/parsed_url.h"
#include "http/read_stream_on_socket.h"
#include "platform/com_ref.h"
#include "platform/compat.h"
#include "platform/sax.h"
#include "soap/soap_fault.h"
#include "soap/soap_read_failure.h"
#include "soap/write_stream.h"

namespace corvel::soap {

// Where the last call failed; 4 is not used. A failed transfer carries the
// transport's own name for the failure beside it (transportFailure), an answer
// that could not be read the reader's (answerFailure).
enum class SoapClientError : std::uint32_t {
    NoError = 0,
    ReaderSetupFailed = 1,
    CallSetupFailed = 2,
    RequestWriteFailed = 3,
    TransferFailed = 5,
    UnexpectedStatus = 6,
    FaultReturned = 7,
    FaultUnreadable = 8,
    ResponseUnavailable = 9,
    ResponseUnreadable = 10,
};

// The enumerator's name ("TransferFailed"); "Unknown" for any other value.
const char* SoapClientErrorName(SoapClientError error);

inline constexpr char kDefaultServiceUrl[] = "http://127.0.0.1/WebService.wsdl";
// A URL is escaped into this many bytes, its NUL included.
inline constexpr std::uint32_t kEscapedUrlBytes = 2084;
inline constexpr std::uint32_t kEscapedUrlCapacity = kEscapedUrlBytes - 1;
// requestTimeoutMs 0 stands for this.
inline constexpr std::uint32_t kDefaultRequestTimeoutMs = 10000;
inline constexpr std::uint32_t kTransferBlockSize = 4096;
inline constexpr std::uint16_t kDefaultServicePort = 80;
inline constexpr char kAcceptHeaderLine[] = "Accept: text/xml\r\n";
inline constexpr char kSoapContentType[] = "text/xml; charset=utf-8";
inline constexpr std::uint32_t kSoapRequestFlags =
    http::RequestOptions::followRedirects | http::RequestOptions::checkStatus | http::RequestOptions::sendInBlocks;
static_assert(kSoapRequestFlags == 11);

inline constexpr std::int32_t kStatusOk = 200;
inline constexpr std::int32_t kStatusAccepted = 202;
inline constexpr std::int32_t kStatusServerError = 500;

// Escapes the URL text and parses it into url; false (url reset) when either fails.
bool ParseServiceUrl(const char* text, http::CParsedUrl& url);

template <class TSocket>
class CSoapSocketClientT {
public:
    CSoapSocketClientT();
    CSoapSocketClientT(const CSoapSocketClientT&) = delete;
    CSoapSocketClientT& operator=(const CSoapSocketClientT&) = delete;
    virtual ~CSoapSocketClientT();

    // A new SAX reader for the caller (one reference). E_POINTER for a null output.
    virtual HRESULT ProvideReader(ISAXXMLReader** reader);

    // S_OK when the text escapes and parses; E_FAIL otherwise.
    HRESULT SetUrl(const char* url);
    // The stream over the received body; E_POINTER for a null output.
    HRESULT ResponseStream(IStream** stream);
    // One HTTP exchange with the request text; sets clientError on failure.
    HRESULT SendEnvelope(const char* actionLine);
    // Empties the request text and the fault record; clientError NoError.
    void ClearCallState();

    const http::CParsedUrl& ServiceUrl() const { return serviceUrl; }
    const std::string& RequestText() const { return requestStream.Text(); }
    const SoapFault& Fault() const { return fault; }
    const http::CHttpClientT<TSocket>& HttpClient() const { return httpClient; }
    // The HTTP status of the last exchange (-1 when none came) and the socket's last error.
    std::int32_t HttpStatus() const { return httpClient.StatusCode(); }
    std::uint32_t SocketError() const { return httpClient.LastError(); }
    // The transport's name for why the last exchange failed ("response too large").
    const char* TransportFailureName() const { return http::HttpFailureName(transportFailure); }
    // Why the last call failed, as an operator reads it: the reader's reason
    // when the answer could not be read, else the transport's; "none" when
    // neither named one.
    const char* FailureReasonName() const
    {
        return answerFailure != SoapReadFailure::none ? SoapReadFailureName(answerFailure) : TransportFailureName();
    }

    std::uint32_t requestTimeoutMs = 0;
    SoapClientError clientError = SoapClientError::NoError;
    // Why the last HTTP exchange failed; none when it succeeded or none was made.
    http::HttpFailure transportFailure = http::HttpFailure::none;
    // Why the last answer (a response or a fault) could not be read; none
    // when it was read or none came.
    SoapReadFailure answerFailure = SoapReadFailure::none;

protected:
    bool AttachResponse();

    http::CParsedUrl serviceUrl;
    // The request text lives in the stream.
    CWriteStreamOnCString requestStream;
    http::CReadStreamOnSocket responseStream;
    http::CHttpClientT<TSocket> httpClient;
    SoapFault fault;
};

template <class TSocket>
CSoapSocketClientT<TSocket>::CSoapSocketClientT()
{
    serviceUrl.Reset();
    serviceUrl.AssignScheme("http");
    serviceUrl.AssignPort(kDefaultServicePort);
    http::CParsedUrl parsed;
    if (ParseServiceUrl(kDefaultServiceUrl, parsed)) {
        serviceUrl = parsed;
    }
}

template <class TSocket>
CSoapSocketClientT<TSocket>::~CSoapSocketClientT()
{
    ClearCallState();
}

template <class TSocket>
HRESULT CSoapSocketClientT<TSocket>::ProvideReader(ISAXXMLReader** reader)
{
    if (reader == nullptr) {
        return E_POINTER;
    }
    *reader = nullptr;
    return platform::CreateSaxReader(reader);
}

template <class TSocket>
HRESULT CSoapSocketClientT<TSocket>::SetUrl(const char* url)
{
    try {
        return ParseServiceUrl(url, serviceUrl) ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

template <class TSocket>
HRESULT CSoapSocketClientT<TSocket>::ResponseStream(IStream** stream)
{
    if (stream == nullptr) {
        return E_POINTER;
    }
    *stream = &responseStream;
    return S_OK;
}

template <class TSocket>
void CSoapSocketClientT<TSocket>::ClearCallState()
{
    requestStream.Clear();
    fault.Clear();
    clientError = SoapClientError::NoError;
    transportFailure = http::HttpFailure::none;
    answerFailure = SoapReadFailure::none;
}

template <class TSocket>
bool CSoapSocketClientT<TSocket>::AttachResponse()
{
    if constexpr (std::is_same_v<TSocket, http::ZEvtSyncSocket>) {
        return responseStream.Attach(&httpClient);
    } else {
        return responseStream.AttachBody(httpClient.ResponseData() + httpClient.HeaderOffset() + httpClient.HeaderLength(),
                                         static_cast<std::int32_t>(httpClient.ResponseBodyLength()));
    }
}

template <class TSocket>
HRESULT CSoapSocketClientT<TSocket>::SendEnvelope(const char* actionLine)
{
    HRESULT result = E_FAIL;
    try {
        const std::string extraHeaders = std::string(actionLine != nullptr ? actionLine : "") + kAcceptHeaderLine;
        const std::string& body = requestStream.Text();
        http::RequestOptions options;
        options.requestMethod = "POST";
        options.extraHeaders = extraHeaders.c_str();
        options.contentType = kSoapContentType;
        options.body = body.data();
        options.bodyLength = static_cast<std::uint32_t>(body.size());
        options.flags = kSoapRequestFlags;
        options.timeoutMs = requestTimeoutMs != 0 ? requestTimeoutMs : kDefaultRequestTimeoutMs;
        options.sendBlockSize = kTransferBlockSize;
        options.readBlockSize = kTransferBlockSize;
        options.port = serviceUrl.PortNumber();

        // The stream must not outlive the body it points into: this exchange
        // reuses (and may move) the client's buffer, and a 202 attaches
        // nothing, so the stream reads no bytes rather than the unread rest of
        // an earlier answer.
        responseStream.AttachBody(nullptr, 0);
        const bool exchanged = httpClient.SendRequest(serviceUrl, options);
        transportFailure = httpClient.Failure();
        const std::int32_t status = httpClient.StatusCode();
        if (exchanged) {
            if (status == kStatusOk) {
                if (AttachResponse()) {
                    result = S_OK;
                } else {
                    clientError = SoapClientError::ResponseUnavailable;
                }
            } else if (status == kStatusAccepted) {
                result = S_OK;
            } else {
                clientError = SoapClientError::UnexpectedStatus;
            }
        } else if (status == kStatusServerError) {
            clientError = SoapClientError::FaultReturned;
            if (AttachResponse()) {
                platform::ComRef<ISAXXMLReader> reader;  // dropped even when ParseFault throws
                HRESULT faultResult = ProvideReader(reader.out());
                if (SUCCEEDED(faultResult)) {
                    faultResult = fault.ParseFault(&responseStream, reader.get());
                }
                if (FAILED(faultResult)) {
                    clientError = SoapClientError::FaultUnreadable;
                    answerFailure = SoapReadFailure::faultMalformed;
                }
            }
        } else {
            clientError = SoapClientError::TransferFailed;
        }
    } catch (...) {
        result = E_FAIL;
    }
    return result;
}

}  // namespace corvel::soap
