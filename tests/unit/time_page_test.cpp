#include "timeservice/time_page.h"

#include <gtest/gtest.h>

#include <ostream>

#include <optional>
#include <string>

#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"
#include "timeservice/clock_estimate.h"

namespace {

std::string Padded(std::string text, std::size_t length = 100) {
    text.resize(std::max(text.size(), length), '.');
    return text;
}

struct ParseCase : NamedCase {
    std::string body;
    std::optional<PageTime> expected;
};

class ParseTimePageTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTimePageTest, ReadsTheTimeBeforeTheFirstUtc) {
    const ParseCase& c = GetParam();
    EXPECT_EQ(ParseTimePage(c.body), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseTimePageTest,
    ::testing::Values(
        ParseCase{"usual page", PageWithTime("12:34:56"), PageTime{12, 34, 56}},
        ParseCase{"exactly 100 characters", Padded("<p>10:15:42 UTC"), PageTime{10, 15, 42}},
        ParseCase{"99 characters", Padded("<p>10:15:42 UTC", 99), std::nullopt},
        ParseCase{"empty", "", std::nullopt},
        ParseCase{"no UTC at all", Padded("<p>10:15:42 GMT"), std::nullopt},
        ParseCase{"UTC without the blank", Padded("<p>10:15:42UTC"), std::nullopt},
        ParseCase{"lower case", Padded("<p>10:15:42 utc"), PageTime{10, 15, 42}},
        ParseCase{"mixed case", Padded("<p>10:15:42 uTc"), PageTime{10, 15, 42}},
        ParseCase{"two occurrences: the first counts", Padded("<p>01:02:03 UTC</p><p>04:05:06 UTC"),
                  PageTime{1, 2, 3}},
        ParseCase{"any separator", Padded("<p>23.59-58 UTC"), PageTime{23, 59, 58}},
        ParseCase{"blank-padded hour", Padded("<p> 9:05:03 UTC"), PageTime{9, 5, 3}},
        ParseCase{"midnight", Padded("<p>00:00:00 UTC"), PageTime{0, 0, 0}},
        // Garbled times must never reach the clock.
        ParseCase{"UTC at the very start", Padded(" UTC 10:15:42"), std::nullopt},
        ParseCase{"only hh:mm before UTC", Padded("12:34 UTC"), std::nullopt},
        ParseCase{"hour 24", Padded("<p>24:00:00 UTC"), std::nullopt},
        ParseCase{"minute 60", Padded("<p>12:60:00 UTC"), std::nullopt},
        ParseCase{"second 60", Padded("<p>12:00:60 UTC"), std::nullopt},
        ParseCase{"letters", Padded("<p>ab:cd:ef UTC"), std::nullopt},
        ParseCase{"negative field", Padded("<p>-1:00:00 UTC"), std::nullopt},
        ParseCase{"blank field", Padded("<p>12:  :00 UTC"), std::nullopt},
        ParseCase{"trailing blank in field", Padded("<p>12:3 :00 UTC"), std::nullopt},
        ParseCase{"NUL bytes around", Padded(std::string("\0\0 12:00:01 UTC\0\0", 17)),
                  PageTime{12, 0, 1}},
        ParseCase{"high bytes in the time", Padded("<p>1\xb2:00:00 UTC"), std::nullopt}));

SystemTime At(uint16_t year, uint16_t month, uint16_t day, uint16_t h, uint16_t m, uint16_t s,
              uint16_t ms = 0) {
    SystemTime t;
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = h;
    t.wMinute = m;
    t.wSecond = s;
    t.wMilliseconds = ms;
    return t;
}

struct DifferenceCase {
    SystemTime system;
    PageTime page;
    int32_t expected;  // system minus page, shortest way round the clock
};

void PrintTo(const DifferenceCase& c, std::ostream* os) {
    *os << c.expected << " s";
}

class CheckDifferenceTest : public ::testing::TestWithParam<DifferenceCase> {};

TEST_P(CheckDifferenceTest, ShortestDistanceBetweenTimesOfDay) {
    const DifferenceCase& c = GetParam();
    EXPECT_EQ(CheckDifference(c.system, c.page), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckDifferenceTest,
    ::testing::Values(DifferenceCase{At(2026, 12, 7, 12, 0, 5), {12, 0, 4}, 1},
                      DifferenceCase{At(2026, 12, 7, 12, 0, 5), {12, 0, 6}, -1},
                      DifferenceCase{At(2026, 12, 7, 12, 0, 5), {12, 0, 7}, -2},
                      DifferenceCase{At(2026, 12, 7, 12, 0, 5), {12, 0, 5}, 0},
                      // Far off: no 16-bit overflow any more.
                      DifferenceCase{At(2026, 12, 7, 21, 6, 59), {12, 0, 52}, 32767},
                      DifferenceCase{At(2026, 12, 7, 22, 0, 0), {12, 0, 0}, 36000},
                      // Across midnight: two seconds, not almost a day.
                      DifferenceCase{At(2026, 12, 7, 23, 59, 59), {0, 0, 1}, -2},
                      DifferenceCase{At(2026, 12, 8, 0, 0, 1), {23, 59, 59}, 2},
                      // Twelve hours either way is the largest magnitude.
                      DifferenceCase{At(2026, 12, 7, 12, 0, 0), {0, 0, 0}, 43200},
                      DifferenceCase{At(2026, 12, 7, 0, 0, 0), {12, 0, 0}, 43200},
                      DifferenceCase{At(2026, 12, 7, 0, 0, 0), {12, 0, 1}, 43199}));

struct SetCase : NamedCase {
    SystemTime system;
    PageTime page;
    SystemTime expected;
};

class StepTargetTest : public ::testing::TestWithParam<SetCase> {};

// From the body alone over an instant exchange: the middle of the page's second.
TEST_P(StepTargetTest, MovesTheClockTheShortestWay) {
    const SetCase& c = GetParam();
    const ClockReading now{TicksFromSystemTime(c.system), 0};
    EXPECT_EQ(StepTarget(EstimateClock(c.page, {}, now), 0), c.expected) << c.name;
}

SystemTime WithWeekday(SystemTime t, uint16_t dayOfWeek) {
    t.wDayOfWeek = dayOfWeek;
    return t;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, StepTargetTest, ::testing::Values(
    SetCase{"same day", At(2026, 12, 7, 10, 15, 30, 250), {10, 15, 42}, WithWeekday(At(2026, 12, 7, 10, 15, 42, 500), 1)},
    SetCase{"forward over midnight", At(2026, 12, 7, 23, 59, 59, 250), {0, 0, 1}, WithWeekday(At(2026, 12, 8, 0, 0, 1, 500), 2)},
    SetCase{"back over midnight", At(2026, 12, 8, 0, 0, 1), {23, 59, 59}, WithWeekday(At(2026, 12, 7, 23, 59, 59, 500), 1)},
    SetCase{"back over a year end", At(2027, 1, 1, 0, 0, 30), {23, 59, 50}, WithWeekday(At(2026, 12, 31, 23, 59, 50, 500), 4)},
    SetCase{"forward into a leap day", At(2028, 2, 28, 23, 59, 58), {0, 0, 3}, WithWeekday(At(2028, 2, 29, 0, 0, 3, 500), 2)},
    SetCase{"forward out of a leap day", At(2028, 2, 29, 23, 59, 58), {0, 0, 3}, WithWeekday(At(2028, 3, 1, 0, 0, 3, 500), 3)},
    SetCase{"far off on the same day", At(2026, 12, 7, 2, 0, 0), {11, 0, 0}, WithWeekday(At(2026, 12, 7, 11, 0, 0, 500), 1)},
    SetCase{"far off across midnight", At(2026, 12, 7, 2, 0, 0), {20, 0, 0}, WithWeekday(At(2026, 12, 6, 20, 0, 0, 500), 0)}));
// clang-format on

}  // namespace
