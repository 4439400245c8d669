// CSkipHandler, which takes the reader over to swallow one element subtree
// and then hands it back to its parent, and the name of the do-nothing
// handler every SOAP handler derives from. Used by the response and fault readers.
#pragma once

#include "platform/compat.h"
#include "platform/sax.h"
#include "platform/sax_content_handler.h"

namespace corvel::soap {

// The do-nothing base lives beside the SAX interfaces.
using platform::ISAXContentHandlerImpl;

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
