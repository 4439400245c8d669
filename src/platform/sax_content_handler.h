// ISAXContentHandlerImpl: the SAX content handler whose every callback
// succeeds and does nothing, the base of the SOAP engine's handlers and of
// the SAX reader's tests.
#pragma once

#include "platform/compat.h"
#include "platform/sax.h"

namespace corvel::platform {

// Every callback succeeds and does nothing. The handlers live inside their
// owning object, so AddRef and Release count nothing.
class ISAXContentHandlerImpl : public ISAXContentHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kIidSaxContentHandler)) {
            *object = static_cast<ISAXContentHandler*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
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

}  // namespace corvel::platform
