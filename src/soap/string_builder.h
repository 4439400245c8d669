// CSAXStringBuilder: takes the reader over to gather the complete content of
// one element, text and nested markup alike, and delivers it to its parent as
// one characters call followed by the element's endElement. String and
// base64Binary values and the fault's texts are read through it.
#pragma once

#include <string>

#include "platform/compat.h"
#include "platform/sax.h"
#include "soap/skip_handler.h"

namespace corvel::soap {

class CSAXStringBuilder final : public ISAXContentHandlerImpl {
public:
    HRESULT STDMETHODCALLTYPE startElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                           const OLECHAR* localName, int localNameLength,
                                           const OLECHAR* qualifiedName, int qualifiedNameLength,
                                           ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                         const OLECHAR* localName, int localNameLength,
                                         const OLECHAR* qualifiedName, int qualifiedNameLength) override;
    HRESULT STDMETHODCALLTYPE characters(const OLECHAR* text, int length) override;
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const OLECHAR* text, int length) override;

    // Empties the text (keeping its buffer) and takes the reader over until
    // the end tag of the element being started.
    HRESULT Install(ISAXXMLReader* reader, ISAXContentHandler* parentHandler);

    ISAXContentHandler* parent = nullptr;
    ISAXXMLReader* xmlReader = nullptr;
    unsigned nesting = 0;
    std::basic_string<OLECHAR> text;

private:
    HRESULT Append(const OLECHAR* part, int length);
};

}  // namespace corvel::soap
