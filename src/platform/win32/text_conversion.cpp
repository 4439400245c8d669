// UTF-16 to narrow text on Windows: the ANSI code page, as the service's A
// interfaces use it.
#include "platform/text_conversion.h"

#include <windows.h>

#include <climits>

namespace corvel::platform {

std::string WideToNarrow(const OLECHAR* text, std::size_t length)
{
    std::string narrow;
    if (text == nullptr || length == 0) {
        return narrow;
    }
    int units = length > static_cast<std::size_t>(INT_MAX / 4) ? INT_MAX / 4 : static_cast<int>(length);
    int needed = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return narrow;
    }
    narrow.resize(static_cast<std::size_t>(needed));
    int written = WideCharToMultiByte(CP_ACP, 0, text, units, narrow.data(), needed, nullptr, nullptr);
    narrow.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return narrow;
}

}  // namespace corvel::platform
