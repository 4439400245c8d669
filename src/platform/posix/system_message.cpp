// The message texts of the failure codes this system produces on Linux, with
// the wording and the CR LF line end that Windows gives them. Codes without
// an entry have no text, as on Windows.
#include "platform/system_message.h"

#include <array>

namespace corvel::platform {

namespace {

struct MessageEntry {
    std::uint32_t code;
    const char* text;
};

constexpr std::array<MessageEntry, 8> kMessages{{
    {0x80004001u, "Not implemented\r\n"},
    {0x80004002u, "No such interface supported\r\n"},
    {0x80004003u, "Invalid pointer\r\n"},
    {0x80004005u, "Unspecified error\r\n"},
    {0x8000FFFFu, "Catastrophic failure\r\n"},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation.\r\n"},
    {0x80070057u, "The parameter is incorrect.\r\n"},
    {0x800700CEu, "The filename or extension is too long.\r\n"},
}};

}  // namespace

std::optional<std::string> SystemMessageText(std::int32_t code)
{
    for (const MessageEntry& entry : kMessages) {
        if (entry.code == static_cast<std::uint32_t>(code)) {
            return std::string(entry.text);
        }
    }
    return std::nullopt;
}

}  // namespace corvel::platform
