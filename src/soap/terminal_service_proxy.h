// The terminal service proxy: the one object through which the session probe
// calls Test on a terminal's web service. It joins the SOAP transport client
// (URL, request text, HTTP exchange, fault record, last-error stage), the
// table-driven engine (request writer and response reader) and the terminal
// service's description tables. One proxy serves one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/event_socket.h"
#include "platform/compat.h"
#include "platform/sax.h"
#include "soap/soap_root_handler.h"
#include "soap/soap_socket_client.h"
#include "soap/terminal_service_tables.h"

namespace WebService {

template <class TClient>
class CWebServiceT : public TClient, public corvel::soap::CSoapRootHandler {
public:
    // A reader given here is kept with one more reference and used for every call.
    explicit CWebServiceT(ISAXXMLReader* reader = nullptr);
    CWebServiceT(const CWebServiceT&) = delete;
    CWebServiceT& operator=(const CWebServiceT&) = delete;
    ~CWebServiceT() override;

    // Asks the terminal whether it is alive. On success *result receives the
    // answer, which the caller frees with SysFreeString; on failure *result is
    // unchanged, clientError names the stage and FailureReasonName() the reason.
    HRESULT Test(BSTR* result);

    // The proxy's own reader with one more reference, or a new one.
    HRESULT ProvideReader(ISAXXMLReader** reader) override;

    const corvel::soap::TypeDescriptor* const* OperationTable() override
    {
        return corvel::soap::terminal_service::OperationTable;
    }
    const corvel::soap::TypeDescriptor* const* HeaderTable() override
    {
        return corvel::soap::terminal_service::HeaderTable;
    }
    const OLECHAR* ServiceNamespace(int* length) override
    {
        if (length != nullptr) {
            *length = corvel::soap::terminal_service::ServiceNamespaceLength;
        }
        return corvel::soap::terminal_service::WideServiceNamespace;
    }
    const OLECHAR* ServiceName(int* length) override
    {
        if (length != nullptr) {
            *length = 0;
        }
        return nullptr;
    }
    const char* ServiceNamespaceNarrow(int* length) override
    {
        if (length != nullptr) {
            *length = corvel::soap::terminal_service::ServiceNamespaceLength;
        }
        return corvel::soap::terminal_service::ServiceNamespace;
    }
    HRESULT InvokeOperation(std::size_t) override { return E_NOTIMPL; }
    // Header values, if the service had any, would be members of the proxy.
    void* HeaderRecord() override { return this; }

private:
    HRESULT CallTest(corvel::soap::terminal_service::TestParameters& parameters);
};

// The proxy the watchdog uses.
using CTerminalServiceProxy = CWebServiceT<corvel::soap::CSoapSocketClientT<corvel::http::ZEvtSyncSocket>>;
using TerminalServiceProxy = CTerminalServiceProxy;

template <class TClient>
CWebServiceT<TClient>::CWebServiceT(ISAXXMLReader* reader)
{
    clientRole = true;
    if (reader != nullptr) {
        xmlReader.assign(reader);
    }
}

template <class TClient>
CWebServiceT<TClient>::~CWebServiceT()
{
    if (xmlReader) {
        xmlReader->putContentHandler(nullptr);
        xmlReader.reset();
    }
}

template <class TClient>
HRESULT CWebServiceT<TClient>::ProvideReader(ISAXXMLReader** reader)
{
    if (reader == nullptr) {
        return E_INVALIDARG;
    }
    if (xmlReader) {
        xmlReader->AddRef();
        *reader = xmlReader.get();
        return S_OK;
    }
    return TClient::ProvideReader(reader);
}

template <class TClient>
HRESULT CWebServiceT<TClient>::Test(BSTR* result)
{
    using corvel::soap::SoapClientError;
    if (result == nullptr) {
        return E_POINTER;
    }
    if (!xmlReader) {
        const HRESULT created = corvel::platform::CreateSaxReader(xmlReader.out());
        if (FAILED(created)) {
            this->clientError = SoapClientError::ReaderSetupFailed;
            return created;
        }
    }
    const HRESULT registered = xmlReader->putContentHandler(static_cast<ISAXContentHandler*>(this));
    if (FAILED(registered)) {
        this->clientError = SoapClientError::ReaderSetupFailed;
        return registered;
    }
    this->ClearCallState();

    corvel::soap::terminal_service::TestParameters parameters{};
    parameterRecord = &parameters;
    const HRESULT status = CallTest(parameters);
    if (SUCCEEDED(status)) {
        *result = parameters.Result;
    }
    // Whatever happened, the handler is ready for the next call and the
    // answer has either passed to the caller or been released.
    ResetParseState();
    parameterRecord = nullptr;
    parameters.Result = nullptr;
    return status;
}

template <class TClient>
HRESULT CWebServiceT<TClient>::CallTest(corvel::soap::terminal_service::TestParameters& parameters)
{
    using corvel::soap::SoapClientError;
    constexpr std::size_t testIndex = corvel::soap::terminal_service::kTestOperationIndex;

    HRESULT status = PushHeaderLevel(testIndex);
    if (FAILED(status)) {
        this->clientError = SoapClientError::CallSetupFailed;
        return status;
    }

    try {
        status = WriteRequest(&this->requestStream);
    } catch (const corvel::soap::SoapException& failure) {
        status = failure.Code();
    } catch (...) {
        status = E_FAIL;
    }
    if (FAILED(status)) {
        this->clientError = SoapClientError::RequestWriteFailed;
        return status;
    }

    status = this->SendEnvelope(corvel::soap::terminal_service::TestActionLine);
    if (FAILED(status)) {
        return status;
    }

    IStream* stream = nullptr;
    status = this->ResponseStream(&stream);
    if (FAILED(status)) {
        this->clientError = SoapClientError::ResponseUnavailable;
        return status;
    }

    ReleaseParameters();
    status = ParseResponse(stream);
    if (FAILED(status)) {
        this->clientError = SoapClientError::ResponseUnreadable;
        this->answerFailure = readFailure;
        // No partial answer survives a failed parse.
        ReleaseParameters();
        return status;
    }
    (void)parameters;
    return S_OK;
}

}  // namespace WebService
