#include "common/bytes.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Bytes, LittleEndianFieldsHaveFixedByteOrder)
{
    le_u32 u{};
    u.set(0x11223344u);
    EXPECT_EQ(u.b[0], 0x44);
    EXPECT_EQ(u.b[3], 0x11);
    EXPECT_EQ(u.get(), 0x11223344u);
    le_i32 i{};
    i.set(-2);
    EXPECT_EQ(i.b[0], 0xfe);
    EXPECT_EQ(i.b[3], 0xff);
    EXPECT_EQ(i.get(), -2);
}

TEST(Bytes, BoundedCopiesAlwaysTerminate)
{
    char dst[4];
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(str_copy(dst, sizeof dst, "abcdef"), 3u);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(str_copy(dst, sizeof dst, nullptr), 0u);
    EXPECT_STREQ(dst, "");

    // A source field without terminator is never read past its size.
    const char unterminated[2] = {'p', 'q'};
    char big[16];
    EXPECT_EQ(str_copy_n(big, sizeof big, unterminated, sizeof unterminated), 2u);
    EXPECT_STREQ(big, "pq");

    char a[8] = "AA:bb";
    char b[6] = {'a', 'a', ':', 'B', 'B', 0};
    EXPECT_TRUE(field_eq_nocase(a, b));
    char c[5] = {'a', 'a', ':', 'B', 'B'}; // no terminator: compared within its size
    EXPECT_TRUE(field_eq_nocase(a, c));
    EXPECT_FALSE(field_equal_nocase("aa:bb", 6, "aa:bc", 6));
}
