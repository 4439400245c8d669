// The SAX2 reader seam the SOAP engine parses responses through: the content
// handler, attribute and reader interfaces in their COM slot order, a minimal
// VARIANT that carries the body stream, and the factory that makes a reader.
// On Windows these are MSXML's own interfaces (msxml2.h) and the reader is
// MSXML's; on Linux the same shapes are declared here and Expat does the work.
#pragma once

#include <cstddef>

#include "platform/com_ref.h"
#include "platform/compat.h"

#if defined(_WIN32)

#include <msxml2.h>
#include <oleauto.h>

#else  // Linux

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;

enum VarEnum : VARTYPE {
    VT_EMPTY = 0,
    VT_UNKNOWN = 13,
};

// Only the shape the reader's parse needs: a type tag and an interface pointer.
struct VARIANT {
    VARTYPE vt;
    WORD reserved1;
    WORD reserved2;
    WORD reserved3;
    union {
        IUnknown* punkVal;
        LONGLONG llVal;
    };
};

inline void VariantInit(VARIANT* variant)
{
    variant->vt = VT_EMPTY;
    variant->reserved1 = variant->reserved2 = variant->reserved3 = 0;
    variant->llVal = 0;
}

// Releases what the variant holds and empties it.
inline HRESULT VariantClear(VARIANT* variant)
{
    if (variant->vt == VT_UNKNOWN && variant->punkVal != nullptr) {
        variant->punkVal->Release();
    }
    VariantInit(variant);
    return S_OK;
}

// Never used by the engine; declared so that the slot list is complete.
struct ISAXLocator;
struct ISAXEntityResolver;
struct ISAXDTDHandler;
struct ISAXErrorHandler;

struct ISAXAttributes : IUnknown {
    virtual HRESULT getLength(int* length) = 0;
    virtual HRESULT getURI(int index, const OLECHAR** uri, int* uriLength) = 0;
    virtual HRESULT getLocalName(int index, const OLECHAR** localName, int* localNameLength) = 0;
    virtual HRESULT getQName(int index, const OLECHAR** qualifiedName, int* qualifiedNameLength) = 0;
    virtual HRESULT getName(int index, const OLECHAR** uri, int* uriLength, const OLECHAR** localName,
                            int* localNameLength, const OLECHAR** qualifiedName, int* qualifiedNameLength) = 0;
    virtual HRESULT getIndexFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName,
                                     int localNameLength, int* index) = 0;
    virtual HRESULT getIndexFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, int* index) = 0;
    virtual HRESULT getType(int index, const OLECHAR** type, int* typeLength) = 0;
    virtual HRESULT getTypeFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName,
                                    int localNameLength, const OLECHAR** type, int* typeLength) = 0;
    virtual HRESULT getTypeFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, const OLECHAR** type,
                                     int* typeLength) = 0;
    virtual HRESULT getValue(int index, const OLECHAR** value, int* valueLength) = 0;
    virtual HRESULT getValueFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName,
                                     int localNameLength, const OLECHAR** value, int* valueLength) = 0;
    virtual HRESULT getValueFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, const OLECHAR** value,
                                      int* valueLength) = 0;

protected:
    ~ISAXAttributes() = default;
};

struct ISAXContentHandler : IUnknown {
    virtual HRESULT putDocumentLocator(ISAXLocator* locator) = 0;
    virtual HRESULT startDocument() = 0;
    virtual HRESULT endDocument() = 0;
    virtual HRESULT startPrefixMapping(const OLECHAR* prefix, int prefixLength, const OLECHAR* uri,
                                       int uriLength) = 0;
    virtual HRESULT endPrefixMapping(const OLECHAR* prefix, int prefixLength) = 0;
    virtual HRESULT startElement(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                                 int localNameLength, const OLECHAR* qualifiedName, int qualifiedNameLength,
                                 ISAXAttributes* attributes) = 0;
    virtual HRESULT endElement(const OLECHAR* namespaceUri, int namespaceUriLength, const OLECHAR* localName,
                               int localNameLength, const OLECHAR* qualifiedName, int qualifiedNameLength) = 0;
    virtual HRESULT characters(const OLECHAR* text, int length) = 0;
    virtual HRESULT ignorableWhitespace(const OLECHAR* text, int length) = 0;
    virtual HRESULT processingInstruction(const OLECHAR* target, int targetLength, const OLECHAR* data,
                                          int dataLength) = 0;
    virtual HRESULT skippedEntity(const OLECHAR* name, int nameLength) = 0;

protected:
    ~ISAXContentHandler() = default;
};

struct ISAXXMLReader : IUnknown {
    virtual HRESULT getFeature(const OLECHAR* name, VARIANT_BOOL* value) = 0;
    virtual HRESULT putFeature(const OLECHAR* name, VARIANT_BOOL value) = 0;
    virtual HRESULT getProperty(const OLECHAR* name, VARIANT* value) = 0;
    virtual HRESULT putProperty(const OLECHAR* name, VARIANT value) = 0;
    virtual HRESULT getEntityResolver(ISAXEntityResolver** resolver) = 0;
    virtual HRESULT putEntityResolver(ISAXEntityResolver* resolver) = 0;
    virtual HRESULT getContentHandler(ISAXContentHandler** handler) = 0;
    virtual HRESULT putContentHandler(ISAXContentHandler* handler) = 0;
    virtual HRESULT getDTDHandler(ISAXDTDHandler** handler) = 0;
    virtual HRESULT putDTDHandler(ISAXDTDHandler* handler) = 0;
    virtual HRESULT getErrorHandler(ISAXErrorHandler** handler) = 0;
    virtual HRESULT putErrorHandler(ISAXErrorHandler* handler) = 0;
    virtual HRESULT getBaseURL(const OLECHAR** baseUrl) = 0;
    virtual HRESULT putBaseURL(const OLECHAR* baseUrl) = 0;
    virtual HRESULT getSecureBaseURL(const OLECHAR** secureBaseUrl) = 0;
    virtual HRESULT putSecureBaseURL(const OLECHAR* secureBaseUrl) = 0;
    virtual HRESULT parse(VARIANT input) = 0;
    virtual HRESULT parseURL(const OLECHAR* url) = 0;

protected:
    ~ISAXXMLReader() = default;
};

#endif  // _WIN32

namespace corvel::platform {

// {1545CDFA-9E4E-4497-A8A4-2BF7D0112C44}
inline constexpr IID kIidSaxContentHandler = {0x1545CDFA, 0x9E4E, 0x4497,
                                              {0xA8, 0xA4, 0x2B, 0xF7, 0xD0, 0x11, 0x2C, 0x44}};
// {A4F96ED0-F829-476E-81C0-CDC7BD2A0802}
inline constexpr IID kIidSaxXmlReader = {0xA4F96ED0, 0xF829, 0x476E,
                                         {0x81, 0xC0, 0xCD, 0xC7, 0xBD, 0x2A, 0x08, 0x02}};
// {079AA557-4A18-424A-8EEE-E39F0A8D41B9}: the SAX2 reader class.
inline constexpr CLSID kClsidSaxXmlReader = {0x079AA557, 0x4A18, 0x424A,
                                             {0x8E, 0xEE, 0xE3, 0x9F, 0x0A, 0x8D, 0x41, 0xB9}};

// Deepest element nesting the Linux reader accepts; deeper documents fail the
// parse with kSaxTooDeep instead of growing the handlers' stacks without bound.
inline constexpr int kMaxSaxElementDepth = 1024;

// Most memory the Linux reader's XML parser may hold during one parse. A
// response is at most 16 MiB (the HTTP client's bound) and the parser needs a
// few times its largest token; beyond this the parse fails with E_OUTOFMEMORY.
inline constexpr std::size_t kMaxSaxParserBytes = 64u * 1024 * 1024;

// Parse results of the Linux reader that come from the reader itself, one per
// kind of failure; running out of memory (or past kMaxSaxParserBytes) is
// E_OUTOFMEMORY, and a failing callback's own code ends the parse unchanged.
inline constexpr HRESULT kSaxNotWellFormed = MAKE_HRESULT_VALUE(0xC00CE556);
inline constexpr HRESULT kSaxTooDeep = MAKE_HRESULT_VALUE(0xC00CE55A);
inline constexpr HRESULT kSaxDoctypeRefused = MAKE_HRESULT_VALUE(0xC00CE55B);
inline constexpr HRESULT kSaxUnexpectedEnd = MAKE_HRESULT_VALUE(0xC00CE55C);  // empty, or ends inside the root
inline constexpr HRESULT kSaxUndeclaredPrefix = MAKE_HRESULT_VALUE(0xC00CE55D);
inline constexpr HRESULT kSaxBadEncoding = MAKE_HRESULT_VALUE(0xC00CE55E);  // unknown or wrong encoding

// Makes a SAX2 reader with namespace processing: MSXML's through COM on
// Windows (the calling thread must have initialised COM), Expat's on Linux.
// The caller owns one reference.
HRESULT CreateSaxReader(ISAXXMLReader** reader);

// For tests: a reader like CreateSaxReader's whose character data reaches the
// content handler in pieces of at most pieceUnits code units (0: as the
// reader delivers it), so that a handler's joining of text that arrives in
// several characters calls runs on every platform.
HRESULT CreateSaxReaderSplittingText(ISAXXMLReader** reader, std::size_t pieceUnits);

}  // namespace corvel::platform
