// CSkipHandler's two callbacks: it counts the nesting of the subtree it
// swallows and hands the reader back to its parent at the subtree's end.
#include "soap/skip_handler.h"

namespace corvel::soap {

HRESULT STDMETHODCALLTYPE CSkipHandler::startElement(const OLECHAR*, int, const OLECHAR*, int, const OLECHAR*, int,
                                                     ISAXAttributes*)
{
    ++nesting;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSkipHandler::endElement(const OLECHAR*, int, const OLECHAR*, int, const OLECHAR*, int)
{
    if (nesting > 0) {
        --nesting;
    }
    if (nesting == 0 && xmlReader != nullptr) {
        return xmlReader->putContentHandler(parent);
    }
    return S_OK;
}

HRESULT CSkipHandler::Install(ISAXXMLReader* reader, ISAXContentHandler* parentHandler)
{
    if (reader == nullptr) {
        return E_INVALIDARG;
    }
    xmlReader = reader;
    parent = parentHandler;
    nesting = 1;
    return reader->putContentHandler(this);
}

}  // namespace corvel::soap
