// The names of the SOAP client's failure stages, for traces and the probe
// tool; the client itself is a template in soap_socket_client.h.
#include "soap/soap_socket_client.h"

namespace corvel::soap {

const char* SoapClientErrorName(SoapClientError error)
{
    switch (error) {
    case SoapClientError::NoError:
        return "NoError";
    case SoapClientError::ReaderSetupFailed:
        return "ReaderSetupFailed";
    case SoapClientError::CallSetupFailed:
        return "CallSetupFailed";
    case SoapClientError::RequestWriteFailed:
        return "RequestWriteFailed";
    case SoapClientError::TransferFailed:
        return "TransferFailed";
    case SoapClientError::UnexpectedStatus:
        return "UnexpectedStatus";
    case SoapClientError::FaultReturned:
        return "FaultReturned";
    case SoapClientError::FaultUnreadable:
        return "FaultUnreadable";
    case SoapClientError::ResponseUnavailable:
        return "ResponseUnavailable";
    case SoapClientError::ResponseUnreadable:
        return "ResponseUnreadable";
    }
    return "Unknown";
}

bool ParseServiceUrl(const char* text, http::CParsedUrl& url)
{
    if (text == nullptr) {
        url.Reset();
        return false;
    }
    char escaped[kEscapedUrlBytes];
    if (!http::EscapeUnsafeCharacters(text, escaped, kEscapedUrlCapacity)) {
        url.Reset();
        return false;
    }
    return url.Parse(escaped);
}

}  // namespace corvel::soap
