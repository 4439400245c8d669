// The SAX2 reader on Windows: MSXML's, created through COM, with the limits of
// the Linux reader. MSXML 3.0's defaults accept document types and any depth
// and size, so that one hostile terminal's entity bomb or deep nesting would
// reach the reader; here
//   - the feature prohibit-dtd is set, and a lexical handler refuses any
//     document type that a reader reports all the same (Wine's accepts the
//     feature without acting on it, reports no document type and expands
//     none of its entities);
//   - max-element-depth is kMaxSaxElementDepth, and the reader is wrapped in
//     a guard that counts the depth itself and fails the parse past it with
//     the Linux reader's kSaxTooDeep (Wine's refuses the property);
//   - max-xml-size is the HTTP client's response cap (Wine's refuses it too;
//     the body stream can never be larger than that cap anyway).
// Each setting's result is checked: a reader that fails one other than by
// not implementing the two properties is not used.
// Namespace processing stays on and namespace declarations are not reported
// as attributes: the defaults that the engine relies on.
#include <cstddef>
#include <new>

#include "platform/com_ref.h"
#include "platform/sax.h"

namespace corvel::platform {

namespace {

// The HTTP client's cap on a whole response, in the kilobytes that
// max-xml-size counts.
constexpr LONG kMaxDocumentKilobytes = 16 * 1024;

constexpr const wchar_t* kLexicalHandlerProperty = L"http://xml.org/sax/properties/lexical-handler";

// {7F85D5F5-47A8-4497-BDA5-84BA04819EA6}
constexpr IID kIidSaxLexicalHandler = {0x7F85D5F5, 0x47A8, 0x4497, {0xBD, 0xA5, 0x84, 0xBA, 0x04, 0x81, 0x9E, 0xA6}};

bool SameIid(REFIID left, const IID& right)
{
    return IsEqualGUID(left, right) != FALSE;
}

HRESULT PutLimit(ISAXXMLReader* reader, const wchar_t* name, LONG value)
{
    VARIANT variant;
    VariantInit(&variant);
    variant.vt = VT_I4;
    variant.lVal = value;
    const HRESULT result = reader->putProperty(name, variant);
    return result == E_NOTIMPL ? S_OK : result;
}

// The reader the engine sees: every call goes to MSXML's, except that the
// content handler is reached through a depth guard, and a lexical handler
// refuses document types. The guard's handlers count no references: they live
// as long as this object, which detaches them before it lets the reader go.
class BoundedReader final : public ISAXXMLReader {
public:
    BoundedReader(ISAXXMLReader* reader, std::size_t textPieceUnits) : textPieceUnits_(textPieceUnits)
    {
        inner_.assign(reader);
    }
    BoundedReader(const BoundedReader&) = delete;
    BoundedReader& operator=(const BoundedReader&) = delete;
    ~BoundedReader()
    {
        inner_->putContentHandler(nullptr);
        VARIANT none;
        VariantInit(&none);
        none.vt = VT_UNKNOWN;
        none.punkVal = nullptr;
        inner_->putProperty(kLexicalHandlerProperty, none);
        target_.reset();
    }

    HRESULT Attach()
    {
        HRESULT result = inner_->putContentHandler(&content_);
        if (FAILED(result)) {
            return result;
        }
        VARIANT handler;
        VariantInit(&handler);
        handler.vt = VT_UNKNOWN;
        handler.punkVal = &lexical_;
        return inner_->putProperty(kLexicalHandlerProperty, handler);
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (SameIid(iid, IID_IUnknown) || SameIid(iid, kIidSaxXmlReader)) {
            *object = static_cast<ISAXXMLReader*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // ISAXXMLReader
    HRESULT STDMETHODCALLTYPE getFeature(const wchar_t* name, VARIANT_BOOL* value) override
    {
        return inner_->getFeature(name, value);
    }
    HRESULT STDMETHODCALLTYPE putFeature(const wchar_t* name, VARIANT_BOOL value) override
    {
        return inner_->putFeature(name, value);
    }
    HRESULT STDMETHODCALLTYPE getProperty(const wchar_t* name, VARIANT* value) override
    {
        return inner_->getProperty(name, value);
    }
    HRESULT STDMETHODCALLTYPE putProperty(const wchar_t* name, VARIANT value) override
    {
        return inner_->putProperty(name, value);
    }
    HRESULT STDMETHODCALLTYPE getEntityResolver(ISAXEntityResolver** resolver) override
    {
        return inner_->getEntityResolver(resolver);
    }
    HRESULT STDMETHODCALLTYPE putEntityResolver(ISAXEntityResolver* resolver) override
    {
        return inner_->putEntityResolver(resolver);
    }
    HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** handler) override
    {
        if (handler == nullptr) {
            return E_POINTER;
        }
        *handler = target_.get();
        if (target_) {
            target_->AddRef();
        }
        return S_OK;
    }
    // May be called inside a callback: the next event goes to the new handler.
    HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* handler) override
    {
        target_.assign(handler);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getDTDHandler(ISAXDTDHandler** handler) override
    {
        return inner_->getDTDHandler(handler);
    }
    HRESULT STDMETHODCALLTYPE putDTDHandler(ISAXDTDHandler* handler) override
    {
        return inner_->putDTDHandler(handler);
    }
    HRESULT STDMETHODCALLTYPE getErrorHandler(ISAXErrorHandler** handler) override
    {
        return inner_->getErrorHandler(handler);
    }
    HRESULT STDMETHODCALLTYPE putErrorHandler(ISAXErrorHandler* handler) override
    {
        return inner_->putErrorHandler(handler);
    }
    HRESULT STDMETHODCALLTYPE getBaseURL(const wchar_t** url) override { return inner_->getBaseURL(url); }
    HRESULT STDMETHODCALLTYPE putBaseURL(const wchar_t* url) override { return inner_->putBaseURL(url); }
    HRESULT STDMETHODCALLTYPE getSecureBaseURL(const wchar_t** url) override
    {
        return inner_->getSecureBaseURL(url);
    }
    HRESULT STDMETHODCALLTYPE putSecureBaseURL(const wchar_t* url) override
    {
        return inner_->putSecureBaseURL(url);
    }
    HRESULT STDMETHODCALLTYPE parse(VARIANT input) override
    {
        depth_ = 0;
        return inner_->parse(input);
    }
    HRESULT STDMETHODCALLTYPE parseURL(const wchar_t*) override
    {
        // The engine parses only the bodies it received.
        return E_NOTIMPL;
    }

private:
    // Hands every event to the engine's current handler; counts the depth.
    class DepthGuard final : public ISAXContentHandler {
    public:
        explicit DepthGuard(BoundedReader& owner) : owner_(owner) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
        {
            if (object == nullptr) {
                return E_POINTER;
            }
            if (SameIid(iid, IID_IUnknown) || SameIid(iid, kIidSaxContentHandler)) {
                *object = static_cast<ISAXContentHandler*>(this);
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }

        HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* locator) override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->putDocumentLocator(locator) : S_OK;
        }
        HRESULT STDMETHODCALLTYPE startDocument() override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->startDocument() : S_OK;
        }
        HRESULT STDMETHODCALLTYPE endDocument() override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->endDocument() : S_OK;
        }
        HRESULT STDMETHODCALLTYPE startPrefixMapping(const wchar_t* prefix, int prefixLength, const wchar_t* uri,
                                                     int uriLength) override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->startPrefixMapping(prefix, prefixLength, uri, uriLength) : S_OK;
        }
        HRESULT STDMETHODCALLTYPE endPrefixMapping(const wchar_t* prefix, int prefixLength) override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->endPrefixMapping(prefix, prefixLength) : S_OK;
        }
        HRESULT STDMETHODCALLTYPE startElement(const wchar_t* uri, int uriLength, const wchar_t* localName,
                                               int localNameLength, const wchar_t* qualifiedName,
                                               int qualifiedNameLength, ISAXAttributes* attributes) override
        {
            if (++owner_.depth_ > kMaxSaxElementDepth) {
                return kSaxTooDeep;
            }
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->startElement(uri, uriLength, localName, localNameLength,
                                                            qualifiedName, qualifiedNameLength, attributes)
                                     : S_OK;
        }
        HRESULT STDMETHODCALLTYPE endElement(const wchar_t* uri, int uriLength, const wchar_t* localName,
                                             int localNameLength, const wchar_t* qualifiedName,
                                             int qualifiedNameLength) override
        {
            --owner_.depth_;
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->endElement(uri, uriLength, localName, localNameLength, qualifiedName,
                                                          qualifiedNameLength)
                                     : S_OK;
        }
        HRESULT STDMETHODCALLTYPE characters(const wchar_t* text, int length) override
        {
            // In pieces when a test asked for them; the handler may change
            // between two pieces as it may between two calls.
            const int piece = owner_.textPieceUnits_ == 0 ? length : static_cast<int>(owner_.textPieceUnits_);
            int offset = 0;
            do {
                ISAXContentHandler* target = owner_.target_.get();
                const int count = length - offset < piece ? length - offset : piece;
                const HRESULT result = target != nullptr ? target->characters(text + offset, count) : S_OK;
                if (FAILED(result)) {
                    return result;
                }
                offset += count;
            } while (offset < length);
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE ignorableWhitespace(const wchar_t* text, int length) override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->ignorableWhitespace(text, length) : S_OK;
        }
        HRESULT STDMETHODCALLTYPE processingInstruction(const wchar_t* name, int nameLength, const wchar_t* data,
                                                        int dataLength) override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->processingInstruction(name, nameLength, data, dataLength) : S_OK;
        }
        HRESULT STDMETHODCALLTYPE skippedEntity(const wchar_t* name, int nameLength) override
        {
            ISAXContentHandler* target = owner_.target_.get();
            return target != nullptr ? target->skippedEntity(name, nameLength) : S_OK;
        }

    private:
        BoundedReader& owner_;
    };

    // Refuses a document type the moment the reader reports one, before any
    // entity of it is expanded.
    class DoctypeGuard final : public ISAXLexicalHandler {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
        {
            if (object == nullptr) {
                return E_POINTER;
            }
            if (SameIid(iid, IID_IUnknown) || SameIid(iid, kIidSaxLexicalHandler)) {
                *object = static_cast<ISAXLexicalHandler*>(this);
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }

        HRESULT STDMETHODCALLTYPE startDTD(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) override
        {
            return kSaxDoctypeRefused;
        }
        HRESULT STDMETHODCALLTYPE endDTD() override { return kSaxDoctypeRefused; }
        HRESULT STDMETHODCALLTYPE startEntity(const wchar_t*, int) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE endEntity(const wchar_t*, int) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE startCDATA() override { return S_OK; }
        HRESULT STDMETHODCALLTYPE endCDATA() override { return S_OK; }
        HRESULT STDMETHODCALLTYPE comment(const wchar_t*, int) override { return S_OK; }
    };

    LONG references_ = 1;
    std::size_t textPieceUnits_;
    ComRef<ISAXXMLReader> inner_;
    ComRef<ISAXContentHandler> target_;
    int depth_ = 0;
    DepthGuard content_{*this};
    DoctypeGuard lexical_;
};

}  // namespace

HRESULT CreateSaxReaderSplittingText(ISAXXMLReader** reader, std::size_t pieceUnits)
{
    if (reader == nullptr) {
        return E_POINTER;
    }
    *reader = nullptr;
    ComRef<ISAXXMLReader> created;
    HRESULT result = CoCreateInstance(kClsidSaxXmlReader, nullptr, CLSCTX_INPROC_SERVER, kIidSaxXmlReader,
                                      reinterpret_cast<void**>(created.out()));
    if (FAILED(result)) {
        return result;
    }
    result = created->putFeature(L"prohibit-dtd", VARIANT_TRUE);
    if (SUCCEEDED(result)) {
        result = PutLimit(created.get(), L"max-element-depth", kMaxSaxElementDepth);
    }
    if (SUCCEEDED(result)) {
        result = PutLimit(created.get(), L"max-xml-size", kMaxDocumentKilobytes);
    }
    if (FAILED(result)) {
        return result;
    }
    auto bounded = ComRef<BoundedReader>::Adopt(new (std::nothrow) BoundedReader(created.get(), pieceUnits));
    if (!bounded) {
        return E_OUTOFMEMORY;
    }
    result = bounded->Attach();
    if (FAILED(result)) {
        return result;
    }
    *reader = bounded.release();
    return S_OK;
}

HRESULT CreateSaxReader(ISAXXMLReader** reader)
{
    return CreateSaxReaderSplittingText(reader, 0);
}

}  // namespace corvel::platform
