// XML Schema simple values: reading from UTF-16 text and writing as narrow
// text; the binary encodings they use are in text_codecs.cpp. Numbers are parsed here by hand (and by
// std::from_chars for the digits of a double), so the results never depend on
// the process locale.
#include "soap/xsd_value.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>

#include "platform/ascii.h"
#include "soap/response_generator.h"
#include "soap/text_codecs.h"

namespace corvel::soap {
namespace {

// Around a number or a boolean the C locale's white space is skipped (a
// vertical tab and a form feed too), as the C library's conversions do.
using platform::IsAsciiSpace;

bool IsDigit(OLECHAR unit)
{
    return unit >= '0' && unit <= '9';
}

bool TextEquals(const OLECHAR* text, int length, const char* word)
{
    auto wordLength = static_cast<int>(std::strlen(word));
    if (length != wordLength) {
        return false;
    }
    for (int i = 0; i < length; ++i) {
        if (text[i] != static_cast<OLECHAR>(word[i])) {
            return false;
        }
    }
    return true;
}

// The integer text: optional white space, sign and digits, then only white
// space. A text without digits reads 0. A magnitude beyond 64 bits fails.
struct ParsedInteger {
    bool negative;
    std::uint64_t magnitude;
};

bool ParseInteger(const OLECHAR* text, int length, ParsedInteger* parsed)
{
    int position = 0;
    while (position < length && IsAsciiSpace(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < length && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    std::uint64_t magnitude = 0;
    int digitsStart = position;
    // Up to 19 digits cannot overflow 64 bits: no check needed for them.
    const int uncheckedEnd = length - position > 19 ? position + 19 : length;
    while (position < uncheckedEnd && IsDigit(text[position])) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[position] - '0');
        ++position;
    }
    while (position < length && IsDigit(text[position])) {
        auto digit = static_cast<std::uint64_t>(text[position] - '0');
        if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + digit;
        ++position;
    }
    if (position == digitsStart) {
        // No digits: nothing was converted, so the rest must be white space.
        position = 0;
        negative = false;
    }
    while (position < length && IsAsciiSpace(text[position])) {
        ++position;
    }
    if (position != length) {
        return false;
    }
    *parsed = {negative, magnitude};
    return true;
}

bool ReadSigned(const OLECHAR* text, int length, std::int64_t* value)
{
    ParsedInteger parsed{};
    if (!ParseInteger(text, length, &parsed)) {
        return false;
    }
    constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (parsed.negative) {
        if (parsed.magnitude > kMaxPositive + 1) {
            return false;
        }
        *value = parsed.magnitude == kMaxPositive + 1 ? std::numeric_limits<std::int64_t>::min()
                                                       : -static_cast<std::int64_t>(parsed.magnitude);
    } else {
        if (parsed.magnitude > kMaxPositive) {
            return false;
        }
        *value = static_cast<std::int64_t>(parsed.magnitude);
    }
    return true;
}

// A leading minus wraps, as the C library's unsigned conversion does: "-1" is
// the largest value.
bool ReadUnsigned(const OLECHAR* text, int length, std::uint64_t* value)
{
    ParsedInteger parsed{};
    if (!ParseInteger(text, length, &parsed)) {
        return false;
    }
    *value = parsed.negative ? (~parsed.magnitude + 1) : parsed.magnitude;
    return true;
}

template <typename Target>
HRESULT StoreSignedInRange(const OLECHAR* text, int length, void* address)
{
    std::int64_t value = 0;
    if (!ReadSigned(text, length, &value) || value < std::numeric_limits<Target>::min() ||
        value > static_cast<std::int64_t>(std::numeric_limits<Target>::max())) {
        return E_FAIL;
    }
    auto narrowed = static_cast<Target>(value);
    std::memcpy(address, &narrowed, sizeof(narrowed));
    return S_OK;
}

// A decimal floating-point number, strictly: optional sign, digits with an
// optional point (digits on at least one side), optional exponent.
HRESULT ReadDouble(const OLECHAR* text, int length, double* value)
{
    if (TextEquals(text, length, "INF")) {
        *value = std::numeric_limits<double>::infinity();
        return S_OK;
    }
    if (TextEquals(text, length, "-INF")) {
        *value = -std::numeric_limits<double>::infinity();
        return S_OK;
    }
    if (TextEquals(text, length, "NaN")) {
        constexpr std::uint64_t kNaNBits = 0xFFF8000000000000ull;
        std::memcpy(value, &kNaNBits, sizeof(*value));
        return S_OK;
    }
    int position = 0;
    while (position < length && IsAsciiSpace(text[position])) {
        ++position;
    }
    int numberStart = position;
    if (position < length && (text[position] == '+' || text[position] == '-')) {
        ++position;
    }
    int mantissaDigits = 0;
    while (position < length && IsDigit(text[position])) {
        ++position;
        ++mantissaDigits;
    }
    if (position < length && text[position] == '.') {
        ++position;
        while (position < length && IsDigit(text[position])) {
            ++position;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) {
        return E_FAIL;
    }
    if (position < length && (text[position] == 'e' || text[position] == 'E')) {
        int exponentStart = position;
        ++position;
        if (position < length && (text[position] == '+' || text[position] == '-')) {
            ++position;
        }
        int exponentDigits = 0;
        while (position < length && IsDigit(text[position])) {
            ++position;
            ++exponentDigits;
        }
        if (exponentDigits == 0) {
            position = exponentStart;  // not an exponent: the end test below fails
        }
    }
    int numberEnd = position;
    while (position < length && IsAsciiSpace(text[position])) {
        ++position;
    }
    if (position != length) {
        return E_FAIL;
    }

    // The number is ASCII by now; it is copied into narrow text for the
    // conversion, on the stack unless it is unusually long.
    constexpr int kInlineUnits = 1024;
    char inlineBuffer[kInlineUnits];
    std::string heapBuffer;
    int numberLength = numberEnd - numberStart;
    char* narrow = inlineBuffer;
    if (numberLength > kInlineUnits) {
        try {
            heapBuffer.resize(static_cast<std::size_t>(numberLength));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        narrow = heapBuffer.data();
    }
    for (int i = 0; i < numberLength; ++i) {
        narrow[i] = static_cast<char>(text[numberStart + i]);
    }
    const char* first = narrow;
    const char* last = narrow + numberLength;
    if (*first == '+') {
        ++first;  // from_chars takes no plus sign
    }
    double converted = 0;
    auto [end, error] = std::from_chars(first, last, converted, std::chars_format::general);
    if (error != std::errc() || end != last || std::isinf(converted)) {
        return E_FAIL;
    }
    *value = converted;
    return S_OK;
}

HRESULT ReadString(const OLECHAR* text, int length, void* address)
{
    BSTR value = SysAllocStringLen(length > 0 ? text : nullptr, static_cast<UINT>(length));
    if (value == nullptr) {
        return E_OUTOFMEMORY;
    }
    *static_cast<BSTR*>(address) = value;
    return S_OK;
}

// A malformed binary text reads as an empty value: every failure after the
// target is emptied still gives S_OK.
HRESULT ReadBinary(const OLECHAR* text, int length, void* address, std::int32_t typeCode, IMemoryManager* memory)
{
    if (text == nullptr || memory == nullptr) {
        return E_FAIL;
    }
    if (address == nullptr) {
        return E_POINTER;
    }
    auto* blob = static_cast<BinaryValue*>(address);
    if (blob->data != nullptr) {
        return E_INVALIDARG;
    }
    blob->size = 0;
    blob->data = nullptr;

    int utf8Length = Utf16ToUtf8(text, length, nullptr, 0);
    if (utf8Length <= 0) {
        return S_OK;
    }
    std::string utf8;
    try {
        utf8.resize(static_cast<std::size_t>(utf8Length));
    } catch (const std::bad_alloc&) {
        return S_OK;
    }
    if (Utf16ToUtf8(text, length, utf8.data(), utf8Length) != utf8Length) {
        return S_OK;
    }
    auto* bytes = static_cast<unsigned char*>(memory->Allocate(static_cast<std::size_t>(utf8Length)));
    if (bytes == nullptr) {
        return S_OK;
    }
    int decoded = utf8Length;
    bool ok = typeCode == XsdHexBinary ? HexDecode(utf8.data(), utf8Length, bytes, &decoded)
                                       : Base64Decode(utf8.data(), utf8Length, bytes, &decoded);
    if (!ok || decoded <= 0) {
        memory->Free(bytes);
        return S_OK;
    }
    blob->size = decoded;
    blob->data = bytes;
    return S_OK;
}

HRESULT WriteText(IWriteStream* stream, const char* text, std::size_t length)
{
    return stream->Write(text, static_cast<int>(length), nullptr);
}

template <std::size_t N>
HRESULT WriteWord(IWriteStream* stream, const char (&word)[N])
{
    return WriteText(stream, word, N - 1);
}

template <typename Integer>
HRESULT WriteInteger(IWriteStream* stream, Integer value)
{
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof(digits), value);
    if (error != std::errc() || FAILED(WriteText(stream, digits, static_cast<std::size_t>(end - digits)))) {
        return E_FAIL;
    }
    return S_OK;
}

template <typename Integer>
Integer LoadValue(const void* address)
{
    Integer value;
    std::memcpy(&value, address, sizeof(value));
    return value;
}

HRESULT WriteDouble(IWriteStream* stream, double value)
{
    if (std::isnan(value)) {
        return WriteWord(stream, "NaN");
    }
    if (std::isinf(value)) {
        return value < 0 ? WriteWord(stream, "-INF") : WriteWord(stream, "INF");
    }
    if (value == 0 && std::signbit(value)) {
        return WriteText(stream, "-0", 2);
    }
    // General notation with 512 significant digits: the exact decimal value of
    // the double, trailing zeros of the fraction dropped.
    constexpr int kPrecision = 512;
    constexpr std::size_t kBufferBytes = 521;
    char buffer[kBufferBytes];
    auto [end, error] = std::to_chars(buffer, buffer + kBufferBytes, value, std::chars_format::general, kPrecision);
    if (error != std::errc()) {
        return E_FAIL;
    }
    std::size_t length = static_cast<std::size_t>(end - buffer);
    if (length > 0 && buffer[length - 1] == '.') {
        --length;
    }
    return WriteText(stream, buffer, length);
}

HRESULT WriteBinary(const BinaryValue* blob, IWriteStream* stream, std::int32_t typeCode, IMemoryManager* memory)
{
    if (blob->size < 0 || (blob->data == nullptr && blob->size > 0)) {
        return E_INVALIDARG;
    }
    if (blob->size == 0) {
        return S_OK;
    }
    if (memory == nullptr) {
        memory = DefaultMemoryManager();
    }
    int needed = typeCode == XsdHexBinary ? HexEncodeLength(blob->size) : Base64EncodeLength(blob->size, 0);
    if (needed <= 0) {
        return E_FAIL;
    }
    auto* text = static_cast<char*>(memory->Allocate(static_cast<std::size_t>(needed)));
    if (text == nullptr) {
        return E_FAIL;
    }
    int produced = needed;
    bool ok = typeCode == XsdHexBinary ? HexEncode(blob->data, blob->size, text, &produced)
                                       : Base64Encode(blob->data, blob->size, text, &produced, 0);
    HRESULT hr = ok ? WriteText(stream, text, static_cast<std::size_t>(produced)) : E_FAIL;
    memory->Free(text);
    return hr;
}

}  // namespace

HRESULT ReadXsdBoolean(const OLECHAR* text, int length, bool* out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = false;
    if (text == nullptr) {
        return E_FAIL;
    }
    if (TextEquals(text, length, "1") || TextEquals(text, length, "true")) {
        *out = true;
        return S_OK;
    }
    if (TextEquals(text, length, "0") || TextEquals(text, length, "false")) {
        return S_OK;
    }
    return E_FAIL;
}

HRESULT ReadXsdValue(const OLECHAR* text, int length, void* address, std::int32_t typeCode, IMemoryManager* memory)
{
    if (!IsSimpleTypeCode(typeCode) || length < 0 || (text == nullptr && length > 0)) {
        return E_FAIL;
    }
    if (IsBinaryTypeCode(typeCode)) {
        return ReadBinary(text, length, address, typeCode, memory);
    }
    if (address == nullptr) {
        return E_POINTER;
    }
    if (IsStringTypeCode(typeCode)) {
        return ReadString(text, length, address);
    }
    switch (typeCode) {
    case XsdBoolean: {
        bool value = false;
        HRESULT hr = ReadXsdBoolean(text, length, &value);
        *static_cast<bool*>(address) = value;
        return hr;
    }
    case XsdFloat: {
        double value = 0;
        HRESULT hr = ReadDouble(text, length, &value);
        if (SUCCEEDED(hr)) {
            float narrowed = 0;
            if (std::isnan(value)) {
                narrowed = std::copysign(std::numeric_limits<float>::quiet_NaN(), value);
            } else if (std::fabs(value) > std::numeric_limits<float>::max()) {
                narrowed = std::copysign(std::numeric_limits<float>::infinity(), value);
            } else {
                narrowed = static_cast<float>(value);
            }
            std::memcpy(address, &narrowed, sizeof(narrowed));
        }
        return hr;
    }
    case XsdDouble:
    case XsdDecimal: {
        double value = 0;
        HRESULT hr = ReadDouble(text, length, &value);
        if (SUCCEEDED(hr)) {
            std::memcpy(address, &value, sizeof(value));
        }
        return hr;
    }
    case XsdInteger:
    case XsdNonPositiveInteger:
    case XsdNegativeInteger:
    case XsdLong:
        return StoreSignedInRange<std::int64_t>(text, length, address);
    case XsdInt:
        return StoreSignedInRange<std::int32_t>(text, length, address);
    case XsdShort:
        return StoreSignedInRange<std::int16_t>(text, length, address);
    case XsdByte:
        return StoreSignedInRange<std::int8_t>(text, length, address);
    case XsdUnsignedInt:
        return StoreSignedInRange<std::uint32_t>(text, length, address);
    case XsdUnsignedShort:
        return StoreSignedInRange<std::uint16_t>(text, length, address);
    case XsdUnsignedByte:
        return StoreSignedInRange<std::uint8_t>(text, length, address);
    case XsdNonNegativeInteger:
    case XsdUnsignedLong:
    case XsdPositiveInteger: {
        std::uint64_t value = 0;
        if (!ReadUnsigned(text, length, &value)) {
            return E_FAIL;
        }
        std::memcpy(address, &value, sizeof(value));
        return S_OK;
    }
    default:
        return E_FAIL;
    }
}

HRESULT WriteXsdValue(const void* address, IWriteStream* stream, std::int32_t typeCode, IMemoryManager* memory)
{
    if (address == nullptr || stream == nullptr) {
        return E_INVALIDARG;
    }
    if (!IsSimpleTypeCode(typeCode)) {
        return E_FAIL;
    }
    if (IsStringTypeCode(typeCode)) {
        BSTR text = *static_cast<const BSTR*>(address);
        if (text == nullptr) {
            return E_INVALIDARG;
        }
        return WriteEscapedString(stream, text, SysStringLen(text));
    }
    if (IsBinaryTypeCode(typeCode)) {
        return WriteBinary(static_cast<const BinaryValue*>(address), stream, typeCode, memory);
    }
    switch (typeCode) {
    case XsdBoolean:
        return LoadValue<std::uint8_t>(address) == 1 ? WriteWord(stream, "true") : WriteWord(stream, "false");
    case XsdFloat:
        return WriteDouble(stream, static_cast<double>(LoadValue<float>(address)));
    case XsdDouble:
    case XsdDecimal:
        return WriteDouble(stream, LoadValue<double>(address));
    case XsdInteger:
    case XsdNonPositiveInteger:
    case XsdNegativeInteger:
    case XsdLong:
        return WriteInteger(stream, LoadValue<std::int64_t>(address));
    case XsdInt:
        return WriteInteger(stream, LoadValue<std::int32_t>(address));
    case XsdShort:
        return WriteInteger(stream, LoadValue<std::int16_t>(address));
    case XsdByte:
        return WriteInteger(stream, LoadValue<std::int8_t>(address));
    case XsdNonNegativeInteger:
    case XsdUnsignedLong:
    case XsdPositiveInteger:
        return WriteInteger(stream, LoadValue<std::uint64_t>(address));
    case XsdUnsignedInt:
        return WriteInteger(stream, LoadValue<std::uint32_t>(address));
    case XsdUnsignedShort:
        return WriteInteger(stream, LoadValue<std::uint16_t>(address));
    case XsdUnsignedByte:
        return WriteInteger(stream, LoadValue<std::uint8_t>(address));
    default:
        return E_FAIL;
    }
}

}  // namespace corvel::soap
