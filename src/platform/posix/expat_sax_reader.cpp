// The SAX2 reader on Linux: Expat with namespace processing behind the
// ISAXXMLReader shape. Names arrive from Expat as "uri\x01local\x01prefix"
// (triplets) and are split and widened to UTF-16 into buffers that are reused
// from element to element, so a parse allocates only while its buffers grow.
// Adjacent character data is joined and delivered as one characters call just
// before the next event. A document type declaration is refused outright: no
// SOAP message carries one, and without it no entity can be declared, so no
// entity expansion can blow up.
#include <expat.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/sax.h"

namespace corvel::platform {
namespace {

constexpr char kNameSeparator = '\x01';
constexpr ULONG kReadChunkBytes = 64 * 1024;

// Appends the UTF-16 form of a UTF-8 text (Expat has checked it is well formed).
void AppendUtf16(std::vector<OLECHAR>& out, const char* text, std::size_t length)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    // ASCII, the bulk of every SOAP document, is widened in one tight loop.
    std::size_t ascii = 0;
    while (ascii < length && bytes[ascii] < 0x80) {
        ++ascii;
    }
    std::size_t start = out.size();
    out.resize(start + ascii);
    OLECHAR* wide = out.data() + start;
    for (std::size_t k = 0; k < ascii; ++k) {
        wide[k] = static_cast<OLECHAR>(bytes[k]);
    }
    std::size_t i = ascii;
    while (i < length) {
        unsigned char lead = bytes[i];
        std::uint32_t codePoint;
        std::size_t extra;
        if (lead < 0x80) {
            out.push_back(static_cast<OLECHAR>(lead));
            ++i;
            continue;
        }
        if (lead >= 0xF0) {
            codePoint = lead & 0x07u;
            extra = 3;
        } else if (lead >= 0xE0) {
            codePoint = lead & 0x0Fu;
            extra = 2;
        } else {
            codePoint = lead & 0x1Fu;
            extra = 1;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < length; ++k, ++i) {
            codePoint = (codePoint << 6) | (bytes[i] & 0x3Fu);
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out.push_back(static_cast<OLECHAR>(0xD800 + (codePoint >> 10)));
            out.push_back(static_cast<OLECHAR>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            out.push_back(static_cast<OLECHAR>(codePoint));
        }
    }
}

// Offsets of one split name inside a shared UTF-16 buffer.
struct NameSpan {
    std::size_t uri = 0;
    int uriLength = 0;
    std::size_t local = 0;
    int localLength = 0;
    std::size_t qualified = 0;
    int qualifiedLength = 0;
};

// Splits an Expat name ("uri\x01local\x01prefix", "uri\x01local" or "local")
// into the buffer: URI, local name, then the qualified name "prefix:local".
NameSpan SplitName(std::vector<OLECHAR>& buffer, const char* name)
{
    NameSpan span;
    const char* first = std::strchr(name, kNameSeparator);
    const char* uri = "";
    std::size_t uriLength = 0;
    const char* local = name;
    std::size_t localLength = std::strlen(name);
    const char* prefix = nullptr;
    std::size_t prefixLength = 0;
    if (first != nullptr) {
        uri = name;
        uriLength = static_cast<std::size_t>(first - name);
        local = first + 1;
        const char* second = std::strchr(local, kNameSeparator);
        if (second != nullptr) {
            localLength = static_cast<std::size_t>(second - local);
            prefix = second + 1;
            prefixLength = std::strlen(prefix);
        } else {
            localLength = std::strlen(local);
        }
    }
    span.uri = buffer.size();
    AppendUtf16(buffer, uri, uriLength);
    span.uriLength = static_cast<int>(buffer.size() - span.uri);
    span.local = buffer.size();
    AppendUtf16(buffer, local, localLength);
    span.localLength = static_cast<int>(buffer.size() - span.local);
    span.qualified = buffer.size();
    if (prefix != nullptr && prefixLength > 0) {
        AppendUtf16(buffer, prefix, prefixLength);
        buffer.push_back(u':');
    }
    AppendUtf16(buffer, local, localLength);
    span.qualifiedLength = static_cast<int>(buffer.size() - span.qualified);
    return span;
}

bool SameText(const OLECHAR* a, int aLength, const OLECHAR* b, int bLength)
{
    return aLength == bLength && (aLength == 0 || std::memcmp(a, b, sizeof(OLECHAR) * aLength) == 0);
}

// The attributes of the element being started; valid during startElement only.
class ExpatAttributes final : public ISAXAttributes {
public:
    struct Attribute {
        NameSpan name;
        std::size_t value;
        int valueLength;
    };

    void Load(const char** expatAttributes)
    {
        text_.clear();
        attributes_.clear();
        for (const char** pair = expatAttributes; pair[0] != nullptr; pair += 2) {
            Attribute attribute;
            attribute.name = SplitName(text_, pair[0]);
            attribute.value = text_.size();
            AppendUtf16(text_, pair[1], std::strlen(pair[1]));
            attribute.valueLength = static_cast<int>(text_.size() - attribute.value);
            attributes_.push_back(attribute);
        }
        // One terminating unit so that an empty text still has a valid address.
        text_.push_back(0);
    }

    HRESULT QueryInterface(REFIID, void** object) override
    {
        if (object != nullptr) {
            *object = nullptr;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    HRESULT getLength(int* length) override
    {
        if (length == nullptr) {
            return E_POINTER;
        }
        *length = static_cast<int>(attributes_.size());
        return S_OK;
    }
    HRESULT getURI(int index, const OLECHAR** uri, int* uriLength) override
    {
        return Part(index, &NameSpan::uri, &NameSpan::uriLength, uri, uriLength);
    }
    HRESULT getLocalName(int index, const OLECHAR** localName, int* localNameLength) override
    {
        return Part(index, &NameSpan::local, &NameSpan::localLength, localName, localNameLength);
    }
    HRESULT getQName(int index, const OLECHAR** qualifiedName, int* qualifiedNameLength) override
    {
        return Part(index, &NameSpan::qualified, &NameSpan::qualifiedLength, qualifiedName, qualifiedNameLength);
    }
    HRESULT getName(int index, const OLECHAR** uri, int* uriLength, const OLECHAR** localName, int* localNameLength,
                    const OLECHAR** qualifiedName, int* qualifiedNameLength) override
    {
        HRESULT result = getURI(index, uri, uriLength);
        if (SUCCEEDED(result)) {
            result = getLocalName(index, localName, localNameLength);
        }
        if (SUCCEEDED(result)) {
            result = getQName(index, qualifiedName, qualifiedNameLength);
        }
        return result;
    }
    HRESULT getIndexFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName, int localNameLength,
                             int* index) override
    {
        if (index == nullptr || localName == nullptr || (uri == nullptr && uriLength > 0)) {
            return E_POINTER;
        }
        for (std::size_t i = 0; i < attributes_.size(); ++i) {
            const NameSpan& name = attributes_[i].name;
            if (SameText(&text_[name.uri], name.uriLength, uri, uriLength) &&
                SameText(&text_[name.local], name.localLength, localName, localNameLength)) {
                *index = static_cast<int>(i);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT getIndexFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, int* index) override
    {
        if (index == nullptr || qualifiedName == nullptr) {
            return E_POINTER;
        }
        for (std::size_t i = 0; i < attributes_.size(); ++i) {
            const NameSpan& name = attributes_[i].name;
            if (SameText(&text_[name.qualified], name.qualifiedLength, qualifiedName, qualifiedNameLength)) {
                *index = static_cast<int>(i);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT getType(int index, const OLECHAR** type, int* typeLength) override
    {
        static const OLECHAR kCdata[] = OLESTR("CDATA");
        if (type == nullptr || typeLength == nullptr) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) {
            return E_INVALIDARG;
        }
        *type = kCdata;
        *typeLength = 5;
        return S_OK;
    }
    HRESULT getTypeFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName, int localNameLength,
                            const OLECHAR** type, int* typeLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromName(uri, uriLength, localName, localNameLength, &index);
        return FAILED(result) ? result : getType(index, type, typeLength);
    }
    HRESULT getTypeFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, const OLECHAR** type,
                             int* typeLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromQName(qualifiedName, qualifiedNameLength, &index);
        return FAILED(result) ? result : getType(index, type, typeLength);
    }
    HRESULT getValue(int index, const OLECHAR** value, int* valueLength) override
    {
        if (value == nullptr || valueLength == nullptr) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) {
            return E_INVALIDARG;
        }
        *value = &text_[attributes_[index].value];
        *valueLength = attributes_[index].valueLength;
        return S_OK;
    }
    HRESULT getValueFromName(const OLECHAR* uri, int uriLength, const OLECHAR* localName, int localNameLength,
                             const OLECHAR** value, int* valueLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromName(uri, uriLength, localName, localNameLength, &index);
        return FAILED(result) ? result : getValue(index, value, valueLength);
    }
    HRESULT getValueFromQName(const OLECHAR* qualifiedName, int qualifiedNameLength, const OLECHAR** value,
                              int* valueLength) override
    {
        int index = 0;
        HRESULT result = getIndexFromQName(qualifiedName, qualifiedNameLength, &index);
        return FAILED(result) ? result : getValue(index, value, valueLength);
    }

private:
    HRESULT Part(int index, std::size_t NameSpan::*offset, int NameSpan::*length, const OLECHAR** text,
                 int* textLength)
    {
        if (text == nullptr || textLength == nullptr) {
            return E_POINTER;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= attributes_.size()) {
            return E_INVALIDARG;
        }
        const NameSpan& name = attributes_[index].name;
        *text = &text_[name.*offset];
        *textLength = name.*length;
        return S_OK;
    }

    std::vector<OLECHAR> text_;
    std::vector<Attribute> attributes_;
};

class ExpatSaxReader final : public ISAXXMLReader {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == kIidSaxXmlReader) {
            *object = static_cast<ISAXXMLReader*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override
    {
        ULONG remaining = --references_;
        if (remaining == 0) {
            delete this;
        }
        return remaining;
    }

    HRESULT getFeature(const OLECHAR*, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT putFeature(const OLECHAR*, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT getProperty(const OLECHAR*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT putProperty(const OLECHAR*, VARIANT) override { return E_NOTIMPL; }
    HRESULT getEntityResolver(ISAXEntityResolver**) override { return E_NOTIMPL; }
    HRESULT putEntityResolver(ISAXEntityResolver*) override { return E_NOTIMPL; }
    HRESULT getContentHandler(ISAXContentHandler** handler) override
    {
        if (handler == nullptr) {
            return E_POINTER;
        }
        *handler = handler_;
        if (handler_ != nullptr) {
            handler_->AddRef();
        }
        return S_OK;
    }
    HRESULT putContentHandler(ISAXContentHandler* handler) override
    {
        if (handler != nullptr) {
            handler->AddRef();
        }
        if (handler_ != nullptr) {
            handler_->Release();
        }
        handler_ = handler;
        return S_OK;
    }
    HRESULT getDTDHandler(ISAXDTDHandler**) override { return E_NOTIMPL; }
    HRESULT putDTDHandler(ISAXDTDHandler*) override { return E_NOTIMPL; }
    HRESULT getErrorHandler(ISAXErrorHandler**) override { return E_NOTIMPL; }
    HRESULT putErrorHandler(ISAXErrorHandler*) override { return E_NOTIMPL; }
    HRESULT getBaseURL(const OLECHAR**) override { return E_NOTIMPL; }
    HRESULT putBaseURL(const OLECHAR*) override { return E_NOTIMPL; }
    HRESULT getSecureBaseURL(const OLECHAR**) override { return E_NOTIMPL; }
    HRESULT putSecureBaseURL(const OLECHAR*) override { return E_NOTIMPL; }
    HRESULT parseURL(const OLECHAR*) override { return E_NOTIMPL; }

    HRESULT parse(VARIANT input) override
    {
        if (input.vt != VT_UNKNOWN || input.punkVal == nullptr) {
            return E_INVALIDARG;
        }
        ISequentialStream* stream = nullptr;
        if (FAILED(input.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream))) &&
            FAILED(input.punkVal->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(&stream)))) {
            return E_INVALIDARG;
        }
        HRESULT result = Run(stream);
        stream->Release();
        return result;
    }

    ~ExpatSaxReader()
    {
        if (handler_ != nullptr) {
            handler_->Release();
        }
    }

private:
    // One parse over the stream: reads until a read of 0 bytes, then finishes.
    HRESULT Run(ISequentialStream* stream)
    {
        XML_Parser parser = XML_ParserCreateNS(nullptr, kNameSeparator);
        if (parser == nullptr) {
            return E_OUTOFMEMORY;
        }
        parser_ = parser;
        failure_ = S_OK;
        depth_ = 0;
        pendingText_.clear();
        XML_SetUserData(parser, this);
        XML_SetReturnNSTriplet(parser, 1);
        XML_SetElementHandler(parser, &OnStartElement, &OnEndElement);
        XML_SetCharacterDataHandler(parser, &OnCharacters);
        XML_SetNamespaceDeclHandler(parser, &OnStartNamespace, &OnEndNamespace);
        XML_SetProcessingInstructionHandler(parser, &OnProcessingInstruction);
        XML_SetStartDoctypeDeclHandler(parser, &OnDoctype);
        XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);

        HRESULT result = S_OK;
        if (handler_ != nullptr) {
            result = handler_->startDocument();
        }
        bool finished = false;
        while (SUCCEEDED(result) && !finished) {
            void* buffer = XML_GetBuffer(parser, kReadChunkBytes);
            if (buffer == nullptr) {
                result = E_OUTOFMEMORY;
                break;
            }
            ULONG bytesRead = 0;
            HRESULT readResult = stream->Read(buffer, kReadChunkBytes, &bytesRead);
            if (FAILED(readResult)) {
                result = readResult;
                break;
            }
            finished = bytesRead == 0;
            if (XML_ParseBuffer(parser, static_cast<int>(bytesRead), finished ? XML_TRUE : XML_FALSE) !=
                XML_STATUS_OK) {
                result = FAILED(failure_) ? failure_ : kSaxNotWellFormed;
            }
        }
        if (SUCCEEDED(result)) {
            result = FlushText();
        }
        if (SUCCEEDED(result) && handler_ != nullptr) {
            result = handler_->endDocument();
        }
        XML_ParserFree(parser);
        parser_ = nullptr;
        pendingText_.clear();
        return result;
    }

    // Ends the parse with the first failure; later events are not delivered.
    void Fail(HRESULT result)
    {
        if (SUCCEEDED(failure_)) {
            failure_ = result;
            XML_StopParser(parser_, XML_FALSE);
        }
    }

    bool Stopped() const { return FAILED(failure_); }

    HRESULT FlushText()
    {
        if (pendingText_.empty()) {
            return S_OK;
        }
        HRESULT result = S_OK;
        if (handler_ != nullptr) {
            result = handler_->characters(pendingText_.data(), static_cast<int>(pendingText_.size()));
        }
        pendingText_.clear();
        return result;
    }

    // Delivers the joined text before another event; false when that failed.
    bool BeforeEvent()
    {
        if (Stopped()) {
            return false;
        }
        HRESULT result = FlushText();
        if (FAILED(result)) {
            Fail(result);
            return false;
        }
        return true;
    }

    static ExpatSaxReader* Self(void* userData) { return static_cast<ExpatSaxReader*>(userData); }

    static void XMLCALL OnStartElement(void* userData, const XML_Char* name, const XML_Char** attributes)
    {
        ExpatSaxReader* self = Self(userData);
        if (!self->BeforeEvent()) {
            return;
        }
        if (++self->depth_ > kMaxSaxElementDepth) {
            self->Fail(kSaxTooDeep);
            return;
        }
        if (self->handler_ == nullptr) {
            return;
        }
        self->names_.clear();
        NameSpan span = SplitName(self->names_, name);
        self->names_.push_back(0);
        self->attributes_.Load(attributes);
        const OLECHAR* names = self->names_.data();
        HRESULT result = self->handler_->startElement(names + span.uri, span.uriLength, names + span.local,
                                                      span.localLength, names + span.qualified,
                                                      span.qualifiedLength, &self->attributes_);
        if (FAILED(result)) {
            self->Fail(result);
        }
    }

    static void XMLCALL OnEndElement(void* userData, const XML_Char* name)
    {
        ExpatSaxReader* self = Self(userData);
        if (!self->BeforeEvent()) {
            return;
        }
        --self->depth_;
        if (self->handler_ == nullptr) {
            return;
        }
        self->names_.clear();
        NameSpan span = SplitName(self->names_, name);
        self->names_.push_back(0);
        const OLECHAR* names = self->names_.data();
        HRESULT result = self->handler_->endElement(names + span.uri, span.uriLength, names + span.local,
                                                    span.localLength, names + span.qualified, span.qualifiedLength);
        if (FAILED(result)) {
            self->Fail(result);
        }
    }

    static void XMLCALL OnCharacters(void* userData, const XML_Char* text, int length)
    {
        ExpatSaxReader* self = Self(userData);
        if (self->Stopped()) {
            return;
        }
        try {
            AppendUtf16(self->pendingText_, text, static_cast<std::size_t>(length));
        } catch (const std::bad_alloc&) {
            self->Fail(E_OUTOFMEMORY);
        }
    }

    static void XMLCALL OnStartNamespace(void* userData, const XML_Char* prefix, const XML_Char* uri)
    {
        ExpatSaxReader* self = Self(userData);
        if (!self->BeforeEvent() || self->handler_ == nullptr) {
            return;
        }
        self->names_.clear();
        if (prefix != nullptr) {
            AppendUtf16(self->names_, prefix, std::strlen(prefix));
        }
        std::size_t prefixLength = self->names_.size();
        if (uri != nullptr) {
            AppendUtf16(self->names_, uri, std::strlen(uri));
        }
        self->names_.push_back(0);
        const OLECHAR* names = self->names_.data();
        HRESULT result = self->handler_->startPrefixMapping(names, static_cast<int>(prefixLength),
                                                            names + prefixLength,
                                                            static_cast<int>(self->names_.size() - 1 - prefixLength));
        if (FAILED(result)) {
            self->Fail(result);
        }
    }

    static void XMLCALL OnEndNamespace(void* userData, const XML_Char* prefix)
    {
        ExpatSaxReader* self = Self(userData);
        if (!self->BeforeEvent() || self->handler_ == nullptr) {
            return;
        }
        self->names_.clear();
        if (prefix != nullptr) {
            AppendUtf16(self->names_, prefix, std::strlen(prefix));
        }
        int length = static_cast<int>(self->names_.size());
        self->names_.push_back(0);
        HRESULT result = self->handler_->endPrefixMapping(self->names_.data(), length);
        if (FAILED(result)) {
            self->Fail(result);
        }
    }

    static void XMLCALL OnProcessingInstruction(void* userData, const XML_Char* target, const XML_Char* data)
    {
        ExpatSaxReader* self = Self(userData);
        if (!self->BeforeEvent() || self->handler_ == nullptr) {
            return;
        }
        self->names_.clear();
        AppendUtf16(self->names_, target, std::strlen(target));
        std::size_t targetLength = self->names_.size();
        AppendUtf16(self->names_, data, std::strlen(data));
        self->names_.push_back(0);
        const OLECHAR* names = self->names_.data();
        HRESULT result = self->handler_->processingInstruction(
            names, static_cast<int>(targetLength), names + targetLength,
            static_cast<int>(self->names_.size() - 1 - targetLength));
        if (FAILED(result)) {
            self->Fail(result);
        }
    }

    static void XMLCALL OnDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        Self(userData)->Fail(kSaxDoctypeRefused);
    }

    std::atomic<ULONG> references_{1};
    ISAXContentHandler* handler_ = nullptr;
    XML_Parser parser_ = nullptr;
    HRESULT failure_ = S_OK;
    int depth_ = 0;
    std::vector<OLECHAR> pendingText_;
    std::vector<OLECHAR> names_;
    ExpatAttributes attributes_;
};

}  // namespace

HRESULT CreateSaxReader(ISAXXMLReader** reader)
{
    if (reader == nullptr) {
        return E_POINTER;
    }
    *reader = new (std::nothrow) ExpatSaxReader();
    return *reader == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace corvel::platform
