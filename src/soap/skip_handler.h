// The do-nothing SAX content handler every SOAP handler derives from, and
// CSkipHandler, which takes the reader over to swallow one element subtree
// and then hands it back to its parent. Used by the response and fault readers.
#pragma once

#include "platform/compat.h"
#include "platform/sax.h"

namespace corvel::soap {

// Every callback succeeds and does nothing. The handlers live inside their
// owning object, so AddRef and Release count nothing.
class ISAXContentHandlerImpl : public ISAXContentHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const OLECHAR*, int, const OLECHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const OLECHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startElement(const OLECHAR*, int, const OLECHAR*, int, const OLECHAR*, int,
                                           ISAXAttributes*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE endElement(const OLECHAR*, int, const OLECHAR*, int, const OLECHAR*, int) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE characters(const OLECHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const OLECHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE processingInstruction(const OLECHAR*, int, const OLECHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE skippedEntity(const OLECHAR*, int) override { return S_OK; }

protected:
    ~ISAXContentHandlerImpl() = default;
};

// Counts start and end tags; the end tag that brings the count to 0 (the
// skipped element's own, when installed with nesting 1) returns the reader to
// the parent, which then sees the next event after it.
class CSkipHandler final : public ISAXContentHandlerImpl {
public:
    HRESULT STDMETHODCALLTYPE startElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                           const OLECHAR* localName, int localNameLength,
                                           const OLECHAR* qualifiedName, int qualifiedNameLength,
                                           ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                         const OLECHAR* localName, int localNameLength,
                                         const OLECHAR* qualifiedName, int qualifiedNameLength) override;

    // Installs the skipper on reader for the rest of the current element.
    HRESULT Install(ISAXXMLReader* reader, ISAXContentHandler* parentHandler);

    unsigned nesting = 1;
    ISAXXMLReader* xmlReader = nullptr;
    ISAXContentHandler* parent = nullptr;
};

}  // namespace corvel::soap
