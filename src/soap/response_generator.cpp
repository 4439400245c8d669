// The three request writers and string escaping.
#include "soap/response_generator.h"

#include <initializer_list>
#include <string_view>

namespace corvel::soap {
namespace {

// Writes the pieces in order, stopping at the first failure.
HRESULT WriteParts(IWriteStream* stream, std::initializer_list<std::string_view> parts)
{
    if (stream == nullptr) {
        return E_FAIL;
    }
    for (std::string_view part : parts) {
        if (part.empty()) {
            continue;
        }
        HRESULT hr = stream->Write(part.data(), static_cast<int>(part.size()), nullptr);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

std::string_view Text(const char* text, std::int32_t length)
{
    if (text == nullptr || length <= 0) {
        return {};
    }
    return {text, static_cast<std::size_t>(length)};
}

std::string_view RecordName(const TypeDescriptor* record)
{
    return Text(record->name, record->nameLength);
}

std::string_view RecordNamespace(const TypeDescriptor* record)
{
    return Text(record->namespaceUri, record->namespaceLength);
}

std::string_view ElementName(const FieldDescriptor* member)
{
    if ((member->flags & ReturnValue) != 0) {
        return "return";
    }
    return Text(member->name, member->nameLength);
}

// A member is written with the snp: prefix when it is a header whose type has
// a namespace, or when it has a namespace of its own.
bool IsPrefixed(const TypeDescriptor* record, const FieldDescriptor* member)
{
    bool namespacedHeaderType = record->kind == DescriptorKind::HeaderSet && member->typeDescriptor != nullptr &&
                                member->typeDescriptor->namespaceUri != nullptr;
    return namespacedHeaderType || member->namespaceUri != nullptr;
}

// The namespace bound to snp: on a prefixed member: its type's, or its own
// when the type has none (so the prefix is never left unbound).
std::string_view DeclaredNamespace(const FieldDescriptor* member)
{
    if (member->typeDescriptor != nullptr && member->typeDescriptor->namespaceUri != nullptr) {
        return Text(member->typeDescriptor->namespaceUri, member->typeDescriptor->namespaceLength);
    }
    return Text(member->namespaceUri, member->namespaceLength);
}

bool IsDocLiteralResponse(const TypeDescriptor* record, bool clientRole)
{
    return !clientRole && (record->callFlags & PidStyle) != 0;
}

constexpr std::string_view kRpcBodyStart =
    "<soap:Body soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
static_assert(kRpcBodyStart.size() == 74);

}  // namespace

HRESULT CResponseGenerator::WriteMemberStart(IWriteStream* stream, const TypeDescriptor* record,
                                             const FieldDescriptor* member)
{
    if (stream == nullptr || record == nullptr || member == nullptr) {
        return E_FAIL;
    }
    bool prefixed = IsPrefixed(record, member);
    HRESULT hr = WriteParts(stream, {"<", prefixed ? "snp:" : "", ElementName(member)});
    if (SUCCEEDED(hr) && prefixed) {
        std::string_view uri = DeclaredNamespace(member);
        if (!uri.empty()) {
            hr = WriteParts(stream, {" xmlns:snp=\"", uri, "\""});
        }
    }
    if (SUCCEEDED(hr) && (member->flags & MustUnderstandHeader) != 0) {
        hr = WriteParts(stream, {" soap:mustUnderstand=\"1\""});
    }
    return hr;
}

HRESULT CResponseGenerator::WriteMemberEnd(IWriteStream* stream, const TypeDescriptor* record,
                                           const FieldDescriptor* member)
{
    if (stream == nullptr || record == nullptr || member == nullptr) {
        return E_FAIL;
    }
    return WriteParts(stream, {"</", IsPrefixed(record, member) ? "snp:" : "", ElementName(member), ">"});
}

HRESULT CResponseGenerator::WriteHeaderStart(IWriteStream* stream, const TypeDescriptor* record)
{
    if (stream == nullptr || record == nullptr) {
        return E_FAIL;
    }
    if ((record->callFlags & kRpcEncoded) == kRpcEncoded || record->namespaceUri == nullptr) {
        return WriteParts(stream, {"<soap:Header>"});
    }
    return WriteParts(stream, {"<soap:Header xmlns=\"", RecordNamespace(record), "\">"});
}

HRESULT CResponseGenerator::WriteHeaderEnd(IWriteStream* stream)
{
    return WriteParts(stream, {"</soap:Header>"});
}

HRESULT CResponseGenerator::WriteBodyEnd(IWriteStream* stream)
{
    return WriteParts(stream, {"</soap:Body>"});
}

HRESULT CResponseGenerator::WriteEnvelopeEnd(IWriteStream* stream)
{
    return WriteParts(stream, {"</soap:Envelope>"});
}

HRESULT CRpcEncodedGenerator::WriteBodyStart(IWriteStream* stream)
{
    return WriteParts(stream, {kRpcBodyStart});
}

HRESULT CRpcEncodedGenerator::WriteWrapperStart(IWriteStream* stream, const TypeDescriptor* record, bool clientRole)
{
    if (stream == nullptr || record == nullptr) {
        return E_FAIL;
    }
    if (record->kind == DescriptorKind::Operation) {
        return WriteParts(stream, {"<snp:", RecordName(record), " xmlns:snp=\"", RecordNamespace(record), "\">"});
    }
    return WriteParts(stream, {"<snp:", RecordName(record), ">"});
}

HRESULT CRpcEncodedGenerator::WriteWrapperEnd(IWriteStream* stream, const TypeDescriptor* record, bool clientRole)
{
    if (stream == nullptr || record == nullptr) {
        return E_FAIL;
    }
    return WriteParts(stream, {"</snp:", RecordName(record), ">"});
}

HRESULT CDocLiteralGenerator::WriteBodyStart(IWriteStream* stream)
{
    return WriteParts(stream, {"<soap:Body>"});
}

HRESULT CDocLiteralGenerator::WriteWrapperStart(IWriteStream* stream, const TypeDescriptor* record, bool clientRole)
{
    if (stream == nullptr || record == nullptr) {
        return E_FAIL;
    }
    if (record->kind == DescriptorKind::Operation) {
        return WriteParts(stream, {"<", RecordName(record), IsDocLiteralResponse(record, clientRole) ? "Response" : "",
                                   " xmlns=\"", RecordNamespace(record), "\">"});
    }
    return WriteParts(stream, {"<", RecordName(record), ">"});
}

HRESULT CDocLiteralGenerator::WriteWrapperEnd(IWriteStream* stream, const TypeDescriptor* record, bool clientRole)
{
    if (stream == nullptr || record == nullptr) {
        return E_FAIL;
    }
    bool response = record->kind == DescriptorKind::Operation && IsDocLiteralResponse(record, clientRole);
    return WriteParts(stream, {"</", RecordName(record), response ? "Response" : "", ">"});
}

HRESULT CPADGenerator::WriteMemberStart(IWriteStream* stream, const TypeDescriptor* record,
                                        const FieldDescriptor* member)
{
    HRESULT hr = CResponseGenerator::WriteMemberStart(stream, record, member);
    if (SUCCEEDED(hr) && (record->callFlags & PadStyle) != 0) {
        hr = WriteParts(stream, {" xmlns=\"", RecordNamespace(record), "\""});
    }
    return hr;
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// "&#x01F600;" is the longest escape.
constexpr std::size_t kLongestEscape = 10;

bool IsHighSurrogate(std::uint16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(std::uint16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Escapes the unit at text[*index] into out (ASCII), advancing *index past a
// surrogate pair. Returns the characters produced.
template <typename Char>
std::size_t EscapeUnit(const OLECHAR* text, std::size_t length, std::size_t* index, Char* out, EscapeMode mode)
{
    auto unit = static_cast<std::uint16_t>(text[*index]);
    auto copy = [out](std::string_view replacement) {
        for (std::size_t i = 0; i < replacement.size(); ++i) {
            out[i] = static_cast<Char>(replacement[i]);
        }
        return replacement.size();
    };
    auto numeric = [out](std::uint32_t value, int digits) {
        std::size_t count = 0;
        out[count++] = '&';
        out[count++] = '#';
        out[count++] = 'x';
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
            out[count++] = static_cast<Char>(kHexDigits[(value >> shift) & 0xF]);
        }
        out[count++] = ';';
        return count;
    };
    ++*index;
    switch (unit) {
    case '&':
        return copy("&amp;");
    case '<':
        return copy("&lt;");
    case '>':
        return copy("&gt;");
    case '"':
        if (mode == EscapeMode::Attribute) {
            return copy("&quot;");
        }
        break;
    case '\'':
        if (mode == EscapeMode::Attribute) {
            return copy("&apos;");
        }
        break;
    default:
        break;
    }
    if (unit >= 0x20 && unit <= 0x7E) {
        out[0] = static_cast<Char>(unit);
        return 1;
    }
    if (IsHighSurrogate(unit) && *index < length && IsLowSurrogate(static_cast<std::uint16_t>(text[*index]))) {
        auto low = static_cast<std::uint16_t>(text[*index]);
        ++*index;
        std::uint32_t codePoint = 0x10000 + ((std::uint32_t{unit} - 0xD800) << 10) + (low - 0xDC00u);
        return numeric(codePoint, 6);
    }
    return numeric(unit, 4);
}

}  // namespace

std::size_t EscapedXmlLength(const OLECHAR* text, std::size_t length, EscapeMode mode)
{
    char scratch[kLongestEscape];
    std::size_t total = 0;
    for (std::size_t index = 0; index < length;) {
        total += EscapeUnit(text, length, &index, scratch, mode);
    }
    return total;
}

std::size_t EscapeXmlText(const OLECHAR* text, std::size_t length, OLECHAR* out, EscapeMode mode)
{
    std::size_t written = 0;
    for (std::size_t index = 0; index < length;) {
        written += EscapeUnit(text, length, &index, out + written, mode);
    }
    return written;
}

HRESULT WriteEscapedString(IWriteStream* stream, const OLECHAR* text, std::size_t length)
{
    if (text == nullptr || stream == nullptr) {
        return E_INVALIDARG;
    }
    // Escaped straight into a small buffer that is written whenever it fills:
    // no copy of the whole value is made, escaped or not.
    constexpr std::size_t kChunk = 512;
    char chunk[kChunk];
    std::size_t used = 0;
    for (std::size_t index = 0; index < length;) {
        if (kChunk - used < kLongestEscape) {
            HRESULT hr = stream->Write(chunk, static_cast<int>(used), nullptr);
            if (FAILED(hr)) {
                return hr;
            }
            used = 0;
        }
        used += EscapeUnit(text, length, &index, chunk + used, EscapeMode::Content);
    }
    if (used > 0) {
        return stream->Write(chunk, static_cast<int>(used), nullptr);
    }
    return S_OK;
}

}  // namespace corvel::soap
