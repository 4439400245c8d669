// The SOAP 1.1 fault reader: the faultcode's prefix rule and the standard
// codes, and CSoapFaultParser, the content handler that walks Envelope, Body
// and Fault and gathers the fault's texts. The SOAP client calls ParseFault
// on the body of a status-500 answer.
#include "soap/soap_fault.h"

#include <cstring>
#include <new>

#include "platform/ole_text.h"
#include "soap/soap_tables.h"

namespace corvel::soap {
namespace {

using platform::IsXmlSpace;
using platform::NameText;
using platform::SameText;

struct StandardFault {
    NameText name;
    SoapFaultCode code;
    const OLECHAR* text;
};

const StandardFault kStandardFaults[] = {
    {OLESTR("VersionMismatch"), SoapFaultCode::VersionMismatch, OLESTR("SOAP Version Mismatch Error")},
    {OLESTR("MustUnderstand"), SoapFaultCode::MustUnderstand, OLESTR("SOAP Must Understand Error")},
    {OLESTR("Client"), SoapFaultCode::Client, OLESTR("SOAP Invalid Request")},
    {OLESTR("Server"), SoapFaultCode::Server, OLESTR("SOAP Server Application Faulted")},
};

struct FaultElement {
    NameText name;
    std::uint32_t state;
    bool structural;  // namespace and order checked
};

const FaultElement kFaultElements[] = {
    {OLESTR("Envelope"), kFaultInEnvelope, true},  {OLESTR("Body"), kFaultInBody, true},
    {OLESTR("Header"), kFaultInBody, true},        {OLESTR("Fault"), kFaultInFault, true},
    {OLESTR("faultcode"), kFaultInCode, false},    {OLESTR("faultstring"), kFaultInString, false},
    {OLESTR("faultactor"), kFaultInActor, false}, {OLESTR("detail"), kFaultInDetail, false},
};

int Length(const OLECHAR* text)
{
    return static_cast<int>(OleLength(text));
}

}  // namespace

void SoapFault::Clear()
{
    code = SoapFaultCode::OtherCode;
    faultCode.clear();
    faultString.clear();
    faultActor.clear();
    detail.clear();
}

HRESULT SoapFault::SetFaultCode(const OLECHAR* text, const OLECHAR* prefix, int textLength, int prefixLength,
                                bool setString)
{
    if (text == nullptr || prefix == nullptr) {
        return E_INVALIDARG;
    }
    if (textLength == -1) {
        textLength = Length(text);
    }
    if (prefixLength == -1) {
        prefixLength = Length(prefix);
    }
    while (textLength > 0 && IsXmlSpace(*text)) {
        ++text;
        --textLength;
    }
    int colon = 0;
    while (colon < textLength && text[colon] != u':') {
        ++colon;
    }
    if (colon >= textLength || !SameText(text, colon, prefix, prefixLength)) {
        return E_FAIL;
    }
    const OLECHAR* local = text + colon + 1;
    int localLength = textLength - colon - 1;
    try {
        for (const StandardFault& standard : kStandardFaults) {
            if (SameText(local, localLength, standard.name)) {
                code = standard.code;
                if (setString) {
                    faultString = standard.text;
                }
                break;
            }
        }
        if (faultString.empty()) {
            faultCode.assign(local, static_cast<std::size_t>(localLength));
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT SoapFault::ParseFault(IStream* stream, ISAXXMLReader* reader)
{
    if (stream == nullptr) {
        return E_INVALIDARG;
    }
    platform::ComRef<ISAXXMLReader> ownReader;
    if (reader == nullptr) {
        if (FAILED(platform::CreateSaxReader(ownReader.out())) || !ownReader) {
            return E_FAIL;
        }
        reader = ownReader.get();
    }
    Clear();
    HRESULT result;
    {
        CSoapFaultParser parser(this, reader);
        result = reader->putContentHandler(&parser);
        if (SUCCEEDED(result)) {
            VARIANT input;
            VariantInit(&input);
            input.vt = VT_UNKNOWN;
            input.punkVal = stream;
            stream->AddRef();
            result = reader->parse(input);
            VariantClear(&input);
        }
        reader->putContentHandler(nullptr);
    }
    return result;
}

CSoapFaultParser::CSoapFaultParser(SoapFault* record, ISAXXMLReader* reader) : fault(record)
{
    xmlReader.assign(reader);
    skipper.nesting = 1;
}

HRESULT STDMETHODCALLTYPE CSoapFaultParser::startPrefixMapping(const OLECHAR* prefix, int prefixLength,
                                                               const OLECHAR* uri, int uriLength)
{
    if (SameText(uri, uriLength, kWideSoapEnvelopeNamespace)) {
        try {
            envelopePrefix.assign(prefix, static_cast<std::size_t>(prefixLength));
        } catch (const std::bad_alloc&) {
            return S_OK;
        }
        hasEnvelopePrefix = true;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoapFaultParser::startElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                                         const OLECHAR* localName, int localNameLength,
                                                         const OLECHAR*, int, ISAXAttributes*)
{
    if (!xmlReader) {
        return E_INVALIDARG;
    }
    parserState &= ~static_cast<std::uint32_t>(kFaultTextTaken);
    for (const FaultElement& element : kFaultElements) {
        if (!SameText(localName, localNameLength, element.name)) {
            continue;
        }
        if (element.structural) {
            if (element.state <= parserState ||
                !SameText(namespaceUri, namespaceUriLength, kWideSoapEnvelopeNamespace)) {
                return E_FAIL;
            }
            parserState = element.state;
            return S_OK;
        }
        parserState = element.state;
        return textGatherer.Install(xmlReader.get(), this);
    }
    if (parserState <= kFaultInFault) {
        return E_FAIL;  // unknown element before the fault's first known child
    }
    parserState = kFaultSkipping;
    return skipper.Install(xmlReader.get(), this);
}

HRESULT STDMETHODCALLTYPE CSoapFaultParser::endElement(const OLECHAR*, int, const OLECHAR*, int, const OLECHAR*, int)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoapFaultParser::characters(const OLECHAR* text, int length)
{
    if (fault == nullptr) {
        return E_INVALIDARG;
    }
    if ((parserState & kFaultTextTaken) != 0) {
        return S_OK;
    }
    HRESULT result = S_OK;
    try {
        switch (parserState) {
        case kFaultInEnvelope:
        case kFaultInBody:
        case kFaultInFault:
        case kFaultSkipping:
            break;  // white space between elements
        case kFaultInCode:
            if (fault->code != SoapFaultCode::OtherCode) {
                result = E_FAIL;
            } else {
                result = fault->SetFaultCode(text, hasEnvelopePrefix ? envelopePrefix.c_str() : nullptr, length,
                                             static_cast<int>(envelopePrefix.size()), false);
            }
            break;
        case kFaultInString:
            if (!fault->faultString.empty()) {
                result = E_FAIL;
            } else {
                fault->faultString.assign(text, static_cast<std::size_t>(length));
            }
            break;
        case kFaultInActor:
            if (!fault->faultActor.empty()) {
                result = E_FAIL;
            } else {
                fault->faultActor.assign(text, static_cast<std::size_t>(length));
            }
            break;
        case kFaultInDetail:
            if (!fault->detail.empty()) {
                result = E_FAIL;
            } else {
                fault->detail.assign(text, static_cast<std::size_t>(length));
            }
            break;
        default:
            result = E_FAIL;
            break;
        }
    } catch (const std::bad_alloc&) {
        result = E_OUTOFMEMORY;
    }
    parserState |= kFaultTextTaken;
    return result;
}

}  // namespace corvel::soap
