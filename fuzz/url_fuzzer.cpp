// URL parsing, composition and escaping over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/parsed_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* urlText = text.c_str();  // stops at the first NUL, as a caller's text would

    corvel::http::CParsedUrl url;
    if (url.Parse(urlText)) {
        const std::uint32_t needed = url.ComposedLength() + 1;
        std::string composed(needed, '\0');
        std::uint32_t capacity = needed;
        if (!url.Compose(composed.data(), &capacity) || capacity >= needed ||
            capacity != std::strlen(composed.c_str())) {
            std::abort();
        }
        std::uint32_t tooSmall = needed - 1;
        if (url.Compose(composed.data(), &tooSmall) || tooSmall != needed) {
            std::abort();
        }
        corvel::http::CParsedUrl again;
        again.Parse(composed.c_str());
    }

    char escaped[2084];
    const std::uint32_t capacity = size > 0 ? 1 + data[0] % 2083 : 2083;
    if (corvel::http::EscapeUnsafeCharacters(urlText, escaped, capacity)) {
        const std::size_t length = std::strlen(escaped);
        if (length >= capacity) {
            std::abort();
        }
        for (std::size_t i = 0; i < length && escaped[i] != '?' && escaped[i] != '#'; ++i) {
            if (escaped[i] != '%' && corvel::http::IsUnsafeInUrl(escaped[i])) {
                std::abort();
            }
        }
    }
    return 0;
}
