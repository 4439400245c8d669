#include "registration/announcement.h"

#include <cstring>

Announcement ReadAnnouncement(const char* payload, std::size_t length)
{
    Announcement announcement;
    if (payload == nullptr) {
        return announcement;
    }
    const void* nul = std::memchr(payload, '\0', length);
    std::size_t textLength = nul == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(nul) - payload);
    announcement.text = std::string_view(payload, textLength);
    announcement.accepted = announcement.text == kPassPhrase;
    return announcement;
}
