// UTF-16 values become narrow text for trace lines.
#include <gtest/gtest.h>

#include "platform/text_conversion.h"

namespace corvel::platform {
namespace {

TEST(WideToNarrow, AsciiPassesAndNullIsEmpty)
{
    EXPECT_EQ(WideToNarrow(OLESTR("10.0.0.7 ok"), 11), "10.0.0.7 ok");
    EXPECT_EQ(WideToNarrow(OLESTR("abc"), 2), "ab");
    EXPECT_EQ(WideToNarrow(nullptr, 5), "");
}

#if !defined(_WIN32)
TEST(WideToNarrow, Utf8OnLinuxWithLoneSurrogatesReplaced)
{
    const OLECHAR text[] = {0xE9, 0xD83D, 0xDE00, 0xD800, 'x', 0xDC00};
    EXPECT_EQ(WideToNarrow(text, 6), "\xC3\xA9\xF0\x9F\x98\x80?x?");
}
#endif

}  // namespace
}  // namespace corvel::platform
