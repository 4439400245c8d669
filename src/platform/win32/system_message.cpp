// FormatMessageA with a system-allocated buffer.
#include "platform/system_message.h"

#include <windows.h>

#include "platform/win32/native_handle.h"

namespace corvel::platform {

std::optional<std::string> SystemMessageText(std::int32_t code)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    LocalMemory buffer(text);
    if (length == 0 || text == nullptr) {
        return std::nullopt;
    }
    return std::string(text, length);
}

}  // namespace corvel::platform
