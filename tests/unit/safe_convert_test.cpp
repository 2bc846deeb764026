#include "platform/safe_convert.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

struct ConvertCase {
    const char* text;
    const char* separator;
    int32_t safeLong;
    int16_t safeInt;
};

void PrintTo(const ConvertCase& c, std::ostream* os) {
    *os << '"' << c.text << "\" sep " << c.separator;
}

class SafeConvertTest : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(SafeConvertTest, ConvertsOrGivesZero) {
    const ConvertCase& c = GetParam();
    EXPECT_EQ(SafeLong(c.text, c.separator), c.safeLong) << '"' << c.text << '"';
    EXPECT_EQ(SafeInt(c.text, c.separator), c.safeInt) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, SafeConvertTest,
    ::testing::Values(
        // Plain numbers and blanks around them.
        ConvertCase{"45", ".", 45, 45}, ConvertCase{" 45 ", ".", 45, 45},
        ConvertCase{"\t7\t", ".", 7, 7}, ConvertCase{"-5", ".", -5, -5},
        ConvertCase{"+12", ".", 12, 12}, ConvertCase{"007", ".", 7, 7},
        // Halves go to the even neighbour; other fractions to the nearest.
        ConvertCase{"0.5", ".", 0, 0}, ConvertCase{"1.5", ".", 2, 2}, ConvertCase{"2.5", ".", 2, 2},
        ConvertCase{"3.5", ".", 4, 4}, ConvertCase{"-2.5", ".", -2, -2},
        ConvertCase{"-3.5", ".", -4, -4}, ConvertCase{"2.50001", ".", 3, 3},
        ConvertCase{"2.4999", ".", 2, 2}, ConvertCase{"2.05", ".", 2, 2},
        ConvertCase{"2.6", ".", 3, 3}, ConvertCase{".5", ".", 0, 0}, ConvertCase{"5.", ".", 5, 5},
        // The user's separator counts, the other one does not.
        ConvertCase{"1,5", ",", 2, 2}, ConvertCase{"1.5", ",", 0, 0}, ConvertCase{"1,5", ".", 0, 0},
        // Failures give 0.
        ConvertCase{"", ".", 0, 0}, ConvertCase{"   ", ".", 0, 0}, ConvertCase{"abc", ".", 0, 0},
        ConvertCase{"12abc", ".", 0, 0}, ConvertCase{"1 2", ".", 0, 0}, ConvertCase{"-", ".", 0, 0},
        ConvertCase{".", ".", 0, 0}, ConvertCase{"--1", ".", 0, 0}, ConvertCase{"1e3", ".", 0, 0},
        // Range limits of the two widths.
        ConvertCase{"32767", ".", 32767, 32767}, ConvertCase{"32768", ".", 32768, 0},
        ConvertCase{"-32768", ".", -32768, -32768}, ConvertCase{"-32769", ".", -32769, 0},
        ConvertCase{"32767.5", ".", 32768, 0}, ConvertCase{"2147483647", ".", 2147483647, 0},
        ConvertCase{"2147483648", ".", 0, 0}, ConvertCase{"-2147483648", ".", -2147483647 - 1, 0},
        ConvertCase{"-2147483649", ".", 0, 0}, ConvertCase{"2147483647.5", ".", 0, 0},
        ConvertCase{"99999999999", ".", 0, 0},
        ConvertCase{"99999999999999999999999999", ".", 0, 0}));

}  // namespace
