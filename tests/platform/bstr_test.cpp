// Counted strings keep the platform layout: byte length before the text, NUL after.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/compat.h"

TEST(CountedString, KeepsLengthPrefixAndTerminator)
{
    BSTR text = SysAllocStringLen(OLESTR("abc"), 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(SysStringByteLen(text), 3u * sizeof(OLECHAR));
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(text) - 4, 4);
    EXPECT_EQ(prefix, 3u * sizeof(OLECHAR));
    EXPECT_EQ(text[3], 0);
    SysFreeString(text);
}

TEST(CountedString, EmbeddedNulAndNullInputs)
{
    const OLECHAR withNul[] = {'a', 0, 'b'};
    corvel::UniqueBstr text(SysAllocStringLen(withNul, 3));
    EXPECT_EQ(text.length(), 3u);
    EXPECT_EQ(text.get()[2], 'b');
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    corvel::UniqueBstr empty(SysAllocStringLen(nullptr, 2));
    EXPECT_EQ(empty.length(), 2u);
    EXPECT_EQ(empty.get()[0], 0);
}
