// Reading a terminal announcement: the payload of one datagram to the
// registration port, taken as text up to its first NUL byte, accepted when
// that text is exactly the pass phrase.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr std::string_view kPassPhrase = "qm47tv47";

struct Announcement {
    std::string_view text;  // the payload up to its first NUL, or all of it
    bool accepted = false;  // the text is the pass phrase, case and length exact
};

Announcement ReadAnnouncement(const char* payload, std::size_t length);
