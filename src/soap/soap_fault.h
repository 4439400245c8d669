// The SOAP 1.1 fault reader: when the service answers with HTTP status 500,
// the proxy reads the body's Fault element into a SoapFault record (code,
// code text, fault string, actor and detail markup) with CSoapFaultParser.
#pragma once

#include <cstdint>
#include <string>

#include "platform/compat.h"
#include "platform/sax.h"
#include "soap/skip_handler.h"
#include "soap/string_builder.h"

namespace corvel::soap {

enum class SoapFaultCode : std::uint32_t {
    OtherCode = 0,
    VersionMismatch = 100,
    MustUnderstand = 200,
    Client = 300,
    Server = 400,
};

struct SoapFault {
    SoapFaultCode code = SoapFaultCode::OtherCode;
    std::basic_string<OLECHAR> faultCode;
    std::basic_string<OLECHAR> faultString;
    std::basic_string<OLECHAR> faultActor;
    std::basic_string<OLECHAR> detail;

    // Reads a fault body. reader is the proxy's SAX reader, or null to make
    // one. E_INVALIDARG for a null stream; E_FAIL when no reader can be made.
    HRESULT ParseFault(IStream* stream, ISAXXMLReader* reader);
    // Sets code (and faultCode) from a "prefix:local" text whose prefix must
    // be the given one. A length of -1 means up to the terminating NUL.
    HRESULT SetFaultCode(const OLECHAR* text, const OLECHAR* prefix, int textLength, int prefixLength,
                         bool setString);
    void Clear();
};

// FaultParserState values; kFaultTextTaken is added once the current element's
// text has been taken and cleared at every start tag.
enum FaultParserState : std::uint32_t {
    kFaultStart = 0,
    kFaultInEnvelope = 1,
    kFaultInBody = 2,
    kFaultInFault = 4,
    kFaultInCode = 8,
    kFaultInString = 0x10,
    kFaultInActor = 0x20,
    kFaultInDetail = 0x40,
    kFaultTextTaken = 0x80,
    kFaultSkipping = 0x100,
};

class CSoapFaultParser final : public ISAXContentHandlerImpl {
public:
    CSoapFaultParser(SoapFault* record, ISAXXMLReader* reader);

    HRESULT STDMETHODCALLTYPE startPrefixMapping(const OLECHAR* prefix, int prefixLength, const OLECHAR* uri,
                                                 int uriLength) override;
    HRESULT STDMETHODCALLTYPE startElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                           const OLECHAR* localName, int localNameLength,
                                           const OLECHAR* qualifiedName, int qualifiedNameLength,
                                           ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                         const OLECHAR* localName, int localNameLength,
                                         const OLECHAR* qualifiedName, int qualifiedNameLength) override;
    HRESULT STDMETHODCALLTYPE characters(const OLECHAR* text, int length) override;

    SoapFault* fault;
    std::uint32_t parserState = kFaultStart;
    platform::ComRef<ISAXXMLReader> xmlReader;
    CSAXStringBuilder textGatherer;
    CSkipHandler skipper;
    std::basic_string<OLECHAR> envelopePrefix;
    bool hasEnvelopePrefix = false;
};

}  // namespace corvel::soap
