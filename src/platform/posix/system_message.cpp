// System message texts on Linux: the codes this system raises, with the texts
// and the CR LF line end that Windows gives them.
#include "platform/system_message.h"

namespace corvel::platform {

namespace {

struct SystemMessage {
    std::uint32_t code;
    const char* text;
};

constexpr SystemMessage kSystemMessages[] = {
    {0x80004003, "Invalid pointer\r\n"},
    {0x80004005, "Unspecified error\r\n"},
    {0x8007000E, "Not enough memory resources are available to complete this operation.\r\n"},
    {0x80070021, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {0x80070057, "The parameter is incorrect.\r\n"},
    {0x800700CE, "The filename or extension is too long.\r\n"},
};

}  // namespace

std::optional<std::string> SystemMessageText(std::uint32_t code)
{
    for (const SystemMessage& message : kSystemMessages) {
        if (message.code == code) {
            return std::string(message.text);
        }
    }
    return std::nullopt;
}

}  // namespace corvel::platform
