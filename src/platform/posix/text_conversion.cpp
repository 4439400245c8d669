// UTF-16 to narrow text on Linux: UTF-8, the locale encoding of the service.
#include "platform/text_conversion.h"

#include <cstdint>

namespace corvel::platform {

std::string WideToNarrow(const OLECHAR* text, std::size_t length)
{
    std::string narrow;
    if (text == nullptr) {
        return narrow;
    }
    narrow.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t unit = static_cast<std::uint16_t>(text[i]);
        std::uint32_t codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            std::uint32_t low = i + 1 < length ? static_cast<std::uint16_t>(text[i + 1]) : 0;
            if (unit > 0xDBFF || low < 0xDC00 || low > 0xDFFF) {
                narrow += '?';
                continue;
            }
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (codePoint < 0x80) {
            narrow += static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            narrow += static_cast<char>(0xC0 | (codePoint >> 6));
            narrow += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            narrow += static_cast<char>(0xE0 | (codePoint >> 12));
            narrow += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            narrow += static_cast<char>(0xF0 | (codePoint >> 18));
            narrow += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            narrow += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }
    return narrow;
}

}  // namespace corvel::platform
