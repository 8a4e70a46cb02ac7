#include "common/bytes.h"

#include <gtest/gtest.h>

#include <cstring>

// Byte order of the little-endian fields is pinned by the fixed scenario of the
// portability tests, which checks their bytes in the database file and reads them back.
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
