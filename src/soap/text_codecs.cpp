// Base64 (in lines of 76 characters, or in one line), hex and UTF-16 to
// UTF-8: the byte encodings under the XML Schema value conversion, which reads
// and writes base64Binary and hexBinary values and narrows strings through them.
#include "soap/text_codecs.h"

#include <limits>

#include "platform/ascii.h"

namespace corvel::soap {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kBase64GroupsPerLine = 19;

int Base64Value(unsigned char character)
{
    if (character >= 'A' && character <= 'Z') {
        return character - 'A';
    }
    if (character >= 'a' && character <= 'z') {
        return character - 'a' + 26;
    }
    if (character >= '0' && character <= '9') {
        return character - '0' + 52;
    }
    if (character == '+') {
        return 62;
    }
    if (character == '/') {
        return 63;
    }
    return -1;
}

}  // namespace

int Base64EncodeLength(int byteCount, unsigned flags)
{
    if (byteCount < 0) {
        return 0;
    }
    long long groups = byteCount / 3;
    int remainder = byteCount % 3;
    long long length = groups * 4;
    if (remainder != 0) {
        length += (flags & kBase64NoPadding) != 0 ? remainder + 1 : 4;
    }
    if ((flags & kBase64NoLineBreaks) == 0) {
        length += (groups / kBase64GroupsPerLine) * 2;
    }
    return length > std::numeric_limits<int>::max() ? 0 : static_cast<int>(length);
}

bool Base64Encode(const unsigned char* bytes, int byteCount, char* out, int* outLength, unsigned flags)
{
    if (outLength == nullptr || byteCount < 0 || (bytes == nullptr && byteCount > 0) || out == nullptr) {
        return false;
    }
    int needed = Base64EncodeLength(byteCount, flags);
    if (needed == 0 && byteCount > 0) {
        return false;
    }
    if (*outLength < needed) {
        return false;
    }
    bool lineBreaks = (flags & kBase64NoLineBreaks) == 0;
    int groups = byteCount / 3;
    int written = 0;
    for (int group = 0; group < groups; ++group) {
        const unsigned char* source = bytes + group * 3;
        std::uint32_t triple = (std::uint32_t{source[0]} << 16) | (std::uint32_t{source[1]} << 8) | source[2];
        out[written++] = kBase64Alphabet[(triple >> 18) & 0x3F];
        out[written++] = kBase64Alphabet[(triple >> 12) & 0x3F];
        out[written++] = kBase64Alphabet[(triple >> 6) & 0x3F];
        out[written++] = kBase64Alphabet[triple & 0x3F];
        // Every full line of 19 groups ends with CR LF, the last full one too.
        if (lineBreaks && (group + 1) % kBase64GroupsPerLine == 0) {
            out[written++] = '\r';
            out[written++] = '\n';
        }
    }
    int remainder = byteCount % 3;
    if (remainder != 0) {
        const unsigned char* source = bytes + groups * 3;
        std::uint32_t triple = std::uint32_t{source[0]} << 16;
        if (remainder == 2) {
            triple |= std::uint32_t{source[1]} << 8;
        }
        out[written++] = kBase64Alphabet[(triple >> 18) & 0x3F];
        out[written++] = kBase64Alphabet[(triple >> 12) & 0x3F];
        if (remainder == 2) {
            out[written++] = kBase64Alphabet[(triple >> 6) & 0x3F];
        }
        if ((flags & kBase64NoPadding) == 0) {
            for (int pad = remainder; pad < 3; ++pad) {
                out[written++] = '=';
            }
        }
    }
    *outLength = written;
    return true;
}

int Base64DecodeLength(int textLength)
{
    if (textLength < 0) {
        return 0;
    }
    return textLength / 4 * 3 + 2;
}

bool Base64Decode(const char* text, int textLength, unsigned char* out, int* outLength)
{
    if (outLength == nullptr || textLength < 0 || (text == nullptr && textLength > 0)) {
        return false;
    }
    int capacity = out == nullptr ? 0 : *outLength;
    int written = 0;
    std::uint32_t accumulated = 0;
    int inGroup = 0;
    for (int i = 0; i < textLength; ++i) {
        auto character = static_cast<unsigned char>(text[i]);
        if (character == 0 && inGroup == 0) {
            break;  // a NUL where a group would begin ends the text
        }
        int value = Base64Value(character);
        if (value < 0) {
            continue;
        }
        accumulated = (accumulated << 6) | static_cast<std::uint32_t>(value);
        if (++inGroup == 4) {
            if (written + 3 > capacity) {
                return false;
            }
            out[written++] = static_cast<unsigned char>(accumulated >> 16);
            out[written++] = static_cast<unsigned char>(accumulated >> 8);
            out[written++] = static_cast<unsigned char>(accumulated);
            accumulated = 0;
            inGroup = 0;
        }
    }
    if (inGroup >= 2) {
        int extra = inGroup - 1;
        if (written + extra > capacity) {
            return false;
        }
        accumulated <<= 6 * (4 - inGroup);
        out[written++] = static_cast<unsigned char>(accumulated >> 16);
        if (extra == 2) {
            out[written++] = static_cast<unsigned char>(accumulated >> 8);
        }
    }
    *outLength = written;
    return true;
}

int HexEncodeLength(int byteCount)
{
    if (byteCount < 0 || byteCount > (std::numeric_limits<int>::max() - 1) / 2) {
        return 0;
    }
    return byteCount * 2 + 1;
}

bool HexEncode(const unsigned char* bytes, int byteCount, char* out, int* outLength)
{
    if (outLength == nullptr || out == nullptr || byteCount < 0 || (bytes == nullptr && byteCount > 0)) {
        return false;
    }
    if (byteCount > (std::numeric_limits<int>::max() - 1) / 2 || *outLength < byteCount * 2) {
        return false;
    }
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < byteCount; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    *outLength = byteCount * 2;
    return true;
}

int HexDecodeLength(int textLength)
{
    return textLength < 0 ? 0 : textLength / 2;
}

bool HexDecode(const char* text, int textLength, unsigned char* out, int* outLength)
{
    if (outLength == nullptr || textLength < 0 || (text == nullptr && textLength > 0) || textLength % 2 != 0) {
        return false;
    }
    int needed = textLength / 2;
    if (needed > 0 && (out == nullptr || *outLength < needed)) {
        return false;
    }
    for (int i = 0; i < needed; ++i) {
        int high = platform::HexDigitValue(text[2 * i]);
        int low = platform::HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<unsigned char>((high << 4) | low);
    }
    *outLength = needed;
    return true;
}

int Utf16ToUtf8(const OLECHAR* text, int length, char* out, int outLength)
{
    if (text == nullptr || length <= 0) {
        return 0;
    }
    long long produced = 0;
    auto put = [&](std::uint32_t byte) {
        if (out != nullptr) {
            if (produced < outLength) {
                out[produced] = static_cast<char>(byte);
            }
        }
        ++produced;
    };
    for (int i = 0; i < length; ++i) {
        std::uint32_t unit = static_cast<std::uint16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
            std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                std::uint32_t codePoint = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                put(0xF0 | (codePoint >> 18));
                put(0x80 | ((codePoint >> 12) & 0x3F));
                put(0x80 | ((codePoint >> 6) & 0x3F));
                put(0x80 | (codePoint & 0x3F));
                ++i;
                continue;
            }
        }
        if (unit < 0x80) {
            put(unit);
        } else if (unit < 0x800) {
            put(0xC0 | (unit >> 6));
            put(0x80 | (unit & 0x3F));
        } else {
            put(0xE0 | (unit >> 12));
            put(0x80 | ((unit >> 6) & 0x3F));
            put(0x80 | (unit & 0x3F));
        }
    }
    if (produced > std::numeric_limits<int>::max() || (out != nullptr && produced > outLength)) {
        return 0;
    }
    return static_cast<int>(produced);
}

}  // namespace corvel::soap
