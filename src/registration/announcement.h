// A terminal announcement: the payload of one datagram to the registration
// port, read as text, and whether it is the terminals' pass phrase.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvel::registration {

inline constexpr std::string_view kPassPhrase = "qm47tv47";

struct Announcement {
    std::string_view text;  // the payload up to its first NUL, or all of it
    bool accepted;          // the text is exactly the pass phrase (case-sensitive)
};

// Reads the received bytes; nothing past length is looked at.
Announcement ReadAnnouncement(const char* payload, std::size_t length);

}  // namespace corvel::registration
