// Reading a datagram's payload as an announcement: the text ends at the first
// NUL or with the received bytes, and only the exact pass phrase is accepted.
#include <gtest/gtest.h>

#include <string>

#include "registration/announcement.h"

namespace {

using corvel::registration::ReadAnnouncement;

TEST(Announcement, OnlyTheExactPassPhraseIsAccepted)
{
    struct Case {
        const char* name;
        std::string payload;
        std::string text;
        bool accepted;
    };
    const std::string longText(1024, 'q');
    const Case cases[] = {
        {"exact", "qm47tv47", "qm47tv47", true},
        {"capitals", "QM47TV47", "QM47TV47", false},
        {"one short", "qm47tv4", "qm47tv4", false},
        {"one long", "qm47tv477", "qm47tv477", false},
        {"NUL and more", std::string("qm47tv47\0trailing bytes", 23), "qm47tv47", true},
        {"NUL first", std::string("\0qm47tv47", 9), "", false},
        {"1024 without NUL", longText, longText, false},
        {"empty", "", "", false},
        {"pass phrase with a line end", "qm47tv47\n", "qm47tv47\n", false},
    };
    for (const Case& c : cases) {
        auto announcement = ReadAnnouncement(c.payload.data(), c.payload.size());
        EXPECT_EQ(std::string(announcement.text), c.text) << c.name;
        EXPECT_EQ(announcement.accepted, c.accepted) << c.name;
    }
}

TEST(Announcement, BytesPastTheReceivedLengthAreNotRead)
{
    // A shorter datagram received into a buffer that still holds a longer
    // one: only the received bytes count.
    const char buffer[] = "qm47tv47xyz";
    EXPECT_TRUE(ReadAnnouncement(buffer, 8).accepted);
    EXPECT_FALSE(ReadAnnouncement(buffer, 7).accepted);
    EXPECT_FALSE(ReadAnnouncement(nullptr, 0).accepted);
}

}  // namespace
