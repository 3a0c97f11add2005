#include <gtest/gtest.h>

#include "kvcommon/StringUtils.hpp"

using KvCommon::ToUint64;

TEST(ToUint64, AcceptsPlainDecimalDigits) {
    EXPECT_EQ(ToUint64("0"), 0u);
    EXPECT_EQ(ToUint64("42"), 42u);
    EXPECT_EQ(ToUint64("000123"), 123u);
    EXPECT_EQ(ToUint64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ToUint64("0018446744073709551615"), UINT64_MAX);
}

TEST(ToUint64, AnythingButDigitsYieldsZero) {
    for (const char* text : {"", "-1", "+1", " 1", "1 ", "1\n", "0x10", "1e3", "12a", "abc", "1.5"}) {
        EXPECT_EQ(ToUint64(text), 0u) << "'" << text << "'";
    }
    EXPECT_EQ(ToUint64(std::string_view("12\0"
                                        "3",
                                        4)),
              0u);
}

TEST(ToUint64, OverflowAt2To64YieldsZero) {
    EXPECT_EQ(ToUint64("18446744073709551616"), 0u);
    EXPECT_EQ(ToUint64("99999999999999999999999"), 0u);
}
