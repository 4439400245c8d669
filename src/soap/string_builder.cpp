// CSAXStringBuilder: gathers one element's content, text and nested markup
// re-written as text, and delivers it to the reader's parent handler in one
// characters call. The response and fault readers read strings through it.
#include "soap/string_builder.h"

#include <new>
#include <stdexcept>

namespace corvel::soap {

namespace {

// A text buffer larger than this many code units is given back after use.
constexpr std::size_t kRetainedTextUnits = 32 * 1024;

}  // namespace

CSAXStringBuilder::~CSAXStringBuilder()
{
    SysFreeString(gathered_);
}

HRESULT CSAXStringBuilder::Spill()
{
    if (gathered_ == nullptr) {
        return S_OK;
    }
    try {
        text.assign(gathered_, SysStringLen(gathered_));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
    SysFreeString(gathered_);
    gathered_ = nullptr;
    return S_OK;
}

HRESULT CSAXStringBuilder::Append(const OLECHAR* part, int length)
{
    if (length <= 0) {
        return S_OK;
    }
    HRESULT result = Spill();
    if (FAILED(result)) {
        return result;
    }
    try {
        text.append(part, static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSAXStringBuilder::AppendText(const OLECHAR* part, int length)
{
    if (length > 0 && text.empty() && gathered_ == nullptr) {
        // The first piece of text: straight into the counted string the value will be.
        gathered_ = SysAllocStringLen(part, static_cast<UINT>(length));
        return gathered_ != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    return Append(part, length);
}

BSTR CSAXStringBuilder::TakeGathered(const OLECHAR* deliveredText)
{
    if (gathered_ == nullptr || deliveredText != gathered_) {
        return nullptr;
    }
    BSTR taken = gathered_;
    gathered_ = nullptr;
    return taken;
}

void CSAXStringBuilder::ReleaseText()
{
    SysFreeString(gathered_);
    gathered_ = nullptr;
    text.clear();
    if (text.capacity() > kRetainedTextUnits) {
        std::basic_string<OLECHAR>().swap(text);
    }
}

HRESULT STDMETHODCALLTYPE CSAXStringBuilder::startElement(const OLECHAR*, int, const OLECHAR*, int,
                                                          const OLECHAR* qualifiedName, int qualifiedNameLength,
                                                          ISAXAttributes* attributes)
{
    if (nesting == 0) {
        nesting = 1;
    }
    ++nesting;
    HRESULT result = Append(OLESTR("<"));
    if (SUCCEEDED(result)) {
        result = Append(qualifiedName, qualifiedNameLength);
    }
    int count = 0;
    if (SUCCEEDED(result) && attributes != nullptr && SUCCEEDED(attributes->getLength(&count))) {
        for (int i = 0; i < count && SUCCEEDED(result); ++i) {
            const OLECHAR* name = nullptr;
            int nameLength = 0;
            const OLECHAR* value = nullptr;
            int valueLength = 0;
            if (FAILED(attributes->getQName(i, &name, &nameLength)) ||
                FAILED(attributes->getValue(i, &value, &valueLength))) {
                continue;
            }
            result = Append(OLESTR(" "));
            if (SUCCEEDED(result)) {
                result = Append(name, nameLength);
            }
            if (SUCCEEDED(result)) {
                result = Append(OLESTR("=\""));
            }
            if (SUCCEEDED(result)) {
                result = Append(value, valueLength);
            }
            if (SUCCEEDED(result)) {
                result = Append(OLESTR("\""));
            }
        }
    }
    if (SUCCEEDED(result)) {
        result = Append(OLESTR(">"));
    }
    return result;
}

HRESULT STDMETHODCALLTYPE CSAXStringBuilder::endElement(const OLECHAR* namespaceUri, int namespaceUriLength,
                                                        const OLECHAR* localName, int localNameLength,
                                                        const OLECHAR* qualifiedName, int qualifiedNameLength)
{
    if (nesting > 0) {
        --nesting;
    }
    if (nesting == 0) {
        // The member's own end tag: deliver, then hand the reader back even
        // when the parent refused the text.
        HRESULT result = S_OK;
        if (parent != nullptr) {
            result = gathered_ != nullptr
                         ? parent->characters(gathered_, static_cast<int>(SysStringLen(gathered_)))
                         : parent->characters(text.c_str(), static_cast<int>(text.size()));
            ReleaseText();  // whatever the parent did not take
            if (SUCCEEDED(result)) {
                result = parent->endElement(namespaceUri, namespaceUriLength, localName, localNameLength,
                                            qualifiedName, qualifiedNameLength);
            }
        }
        if (xmlReader != nullptr) {
            HRESULT switchResult = xmlReader->putContentHandler(parent);
            if (SUCCEEDED(result)) {
                result = switchResult;
            }
        }
        return result;
    }
    HRESULT result = Append(OLESTR("</"));
    if (SUCCEEDED(result)) {
        result = Append(qualifiedName, qualifiedNameLength);
    }
    if (SUCCEEDED(result)) {
        result = Append(OLESTR(">"));
    }
    return result;
}

HRESULT STDMETHODCALLTYPE CSAXStringBuilder::characters(const OLECHAR* part, int length)
{
    return AppendText(part, length);
}

HRESULT STDMETHODCALLTYPE CSAXStringBuilder::ignorableWhitespace(const OLECHAR* part, int length)
{
    return AppendText(part, length);
}

HRESULT CSAXStringBuilder::Install(ISAXXMLReader* reader, ISAXContentHandler* parentHandler)
{
    if (reader == nullptr) {
        return E_INVALIDARG;
    }
    xmlReader = reader;
    parent = parentHandler;
    ReleaseText();
    nesting = 0;
    return reader->putContentHandler(this);
}

}  // namespace corvel::soap
