// FormatMessageA with a system-allocated buffer.
#include "platform/system_message.h"

#include <windows.h>

namespace corvel::platform {

std::optional<std::string> SystemMessageText(std::int32_t code)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        if (text != nullptr) {
            LocalFree(text);
        }
        return std::nullopt;
    }
    std::string message(text, length);
    LocalFree(text);
    return message;
}

}  // namespace corvel::platform
