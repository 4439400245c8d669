// CSAXStringBuilder: takes the reader over to gather the complete content of
// one element, text and nested markup alike, and delivers it to its parent as
// one characters call followed by the element's endElement. String and
// base64Binary values and the fault's texts are read through it.
#pragma once

#include <string>

#include "platform/compat.h"
#include "platform/ole_text.h"
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

    CSAXStringBuilder() = default;
    CSAXStringBuilder(const CSAXStringBuilder&) = delete;
    CSAXStringBuilder& operator=(const CSAXStringBuilder&) = delete;
    ~CSAXStringBuilder();

    // Empties the text (keeping a small buffer) and takes the reader over
    // until the end tag of the element being started.
    HRESULT Install(ISAXXMLReader* reader, ISAXContentHandler* parentHandler);

    // Content that arrived as one piece of text, the usual case, is gathered
    // straight into a counted string, and the parent may take that string
    // over instead of copying it: while the parent's characters call runs,
    // TakeGathered(text) with the text it was given hands the string over
    // (the caller then owns it). Null when the content was gathered otherwise.
    BSTR TakeGathered(const OLECHAR* deliveredText);
    // Gives back buffers kept from the last element when they are large.
    void ReleaseText();

    ISAXContentHandler* parent = nullptr;
    ISAXXMLReader* xmlReader = nullptr;
    unsigned nesting = 0;
    std::basic_string<OLECHAR> text;

private:
    // Markup, and text after the first piece: into text.
    HRESULT Append(const OLECHAR* part, int length);
    HRESULT Append(platform::NameText part) { return Append(part.text, part.length); }
    // Text: the first piece may become the counted string itself.
    HRESULT AppendText(const OLECHAR* part, int length);
    // Moves a one-piece content into text, before more is appended to it.
    HRESULT Spill();

    BSTR gathered_ = nullptr;
};

}  // namespace corvel::soap
