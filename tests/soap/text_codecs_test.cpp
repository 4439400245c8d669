// The byte encodings: Base64's flags and required lengths, the decoders'
// output bounds, and UTF-8 from UTF-16 with pairs and lone surrogates.
#include "soap/text_codecs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvel::soap {
namespace {

TEST(Base64Encode, FlagsAndRequiredLength)
{
    struct Case {
        std::string bytes;
        unsigned flags;
        const char* text;
    };
    const Case cases[] = {
        {"", 0, ""},
        {"A", 0, "QQ=="},
        {"AB", 0, "QUI="},
        {"AB", kBase64NoPadding, "QUI"},
        {"ABC", 0, "QUJD"},
        {"ABCD", kBase64NoPadding, "QUJDRA"},
    };
    for (const Case& c : cases) {
        int capacity = Base64EncodeLength(static_cast<int>(c.bytes.size()), c.flags);
        std::string out(static_cast<std::size_t>(capacity) + 1, '?');
        int length = capacity;
        ASSERT_TRUE(Base64Encode(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                 static_cast<int>(c.bytes.size()), out.data(), &length, c.flags));
        EXPECT_EQ(out.substr(0, static_cast<std::size_t>(length)), c.text);
        EXPECT_EQ(length, capacity);
    }
    std::vector<unsigned char> bytes(57 * 2, 'x');
    int length = Base64EncodeLength(114, kBase64NoLineBreaks);
    std::string out(static_cast<std::size_t>(length), '?');
    ASSERT_TRUE(Base64Encode(bytes.data(), 114, out.data(), &length, kBase64NoLineBreaks));
    EXPECT_EQ(length, 152);
    EXPECT_EQ(out.find('\r'), std::string::npos);
    length = 151;
    EXPECT_FALSE(Base64Encode(bytes.data(), 114, out.data(), &length, kBase64NoLineBreaks));
}

TEST(BinaryDecoders, OutputBoundsAreChecked)
{
    unsigned char out[2];
    int length = 2;
    EXPECT_FALSE(Base64Decode("QUJD", 4, out, &length)) << "three bytes do not fit two";
    length = 2;
    EXPECT_TRUE(Base64Decode("QUI=", 4, out, &length));
    EXPECT_EQ(length, 2);
    length = 1;
    EXPECT_FALSE(HexDecode("4142", 4, out, &length));
    length = 2;
    EXPECT_TRUE(HexDecode("4142", 4, out, &length));
    EXPECT_EQ(out[1], 0x42);
    // A NUL where a group would begin ends the text.
    unsigned char wide[6];
    length = 6;
    EXPECT_TRUE(Base64Decode("QUJD\0QUJD", 9, wide, &length));
    EXPECT_EQ(length, 3);
}

TEST(Utf16ToUtf8, EncodesPairsAndLoneSurrogates)
{
    struct Case {
        std::vector<OLECHAR> text;
        std::string bytes;
    };
    const Case cases[] = {
        {{'a'}, "a"},
        {{0xE9}, "\xC3\xA9"},
        {{0x20AC}, "\xE2\x82\xAC"},
        {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {{0xD83D, 'a'}, "\xED\xA0\xBD" "a"},
        {{0xDE00}, "\xED\xB8\x80"},
    };
    for (const Case& c : cases) {
        int size = static_cast<int>(c.text.size());
        int needed = Utf16ToUtf8(c.text.data(), size, nullptr, 0);
        ASSERT_EQ(needed, static_cast<int>(c.bytes.size()));
        std::string out(static_cast<std::size_t>(needed), '?');
        EXPECT_EQ(Utf16ToUtf8(c.text.data(), size, out.data(), needed), needed);
        EXPECT_EQ(out, c.bytes);
        if (needed > 1) {
            EXPECT_EQ(Utf16ToUtf8(c.text.data(), size, out.data(), needed - 1), 0) << "too small an output";
        }
    }
}

}  // namespace
}  // namespace corvel::soap
