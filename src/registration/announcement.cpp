// Reading one announcement datagram: its text up to the first NUL, and
// whether that text is the pass phrase. The registration listener calls it.
#include "registration/announcement.h"

#include <cstring>

namespace corvel::registration {

Announcement ReadAnnouncement(const char* payload, std::size_t length)
{
    if (payload == nullptr) {
        return {std::string_view(), false};
    }
    const void* terminator = std::memchr(payload, '\0', length);
    std::size_t textLength =
        terminator == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(terminator) - payload);
    std::string_view text(payload, textLength);
    return {text, text == kPassPhrase};
}

}  // namespace corvel::registration
