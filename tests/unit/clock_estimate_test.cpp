#include "timeservice/clock_estimate.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/unit/named_case.h"

namespace {

constexpr int64_t kMs = kTicksPerMillisecond;
constexpr int64_t kUnixEpoch = 116'444'736'000'000'000;
// The system clock when the answer came (T4): 2026-12-07 12:00:05.000 UTC.
const int64_t kSystemAtAnswer = TicksFromSystemTime({2026, 12, 1, 7, 12, 0, 5, 0});
constexpr int64_t kAnsweredAt = 7'000'000'000;  // T4 on the monotonic clock

// A page clock ms milliseconds after the system clock's T4, as Unix seconds with 6 decimals.
std::string Unix(double ms) {
    const auto ticks = kSystemAtAnswer - kUnixEpoch + static_cast<int64_t>(ms * 1e4);
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(ticks / kTicksPerSecond),
                  static_cast<long long>(ticks % kTicksPerSecond / 10));
    return text;
}
std::string Both(double t2, double t3) {
    return Unix(t2) + " " + Unix(t3);
}

struct EstimateCase : NamedCase {
    PageTime body;
    std::string header;
    int64_t exchangeMs;  // T4 - T1
    bool fromHeader;
    double offsetMs;  // page minus clock
    double boundMs;
};

class EstimateClockTest : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(EstimateClockTest, OnWireArithmeticOrTheBodyAlone) {
    const EstimateCase& c = GetParam();
    const PageDownload download{"", c.header, kAnsweredAt - c.exchangeMs * kMs, kAnsweredAt};
    // The clocks read 2 ms after the answer came.
    const ClockEstimate e =
        EstimateClock(c.body, download, {kSystemAtAnswer + 2 * kMs, kAnsweredAt + 2 * kMs});
    EXPECT_EQ(e.fromHeader, c.fromHeader) << c.name;
    EXPECT_NEAR(static_cast<double>(e.offset) / kMs, c.offsetMs, 0.001) << c.name;
    EXPECT_NEAR(static_cast<double>(e.bound) / kMs, c.boundMs, 0.001) << c.name;
    EXPECT_EQ(e.systemAtAnswer, kSystemAtAnswer) << c.name;
}

// The page 5.4 s ahead; a 10 ms exchange unless said; the header's T2 and T3 in ms after T4.
// Without a header believed: the body's second held within the exchange, so its middle.
constexpr PageTime k10{12, 0, 10};
constexpr double kBodyOffset = 5505;  // 12:00:10 + (1 s + 10 ms) / 2 - 12:00:05
constexpr double kBodyBound = 505;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, EstimateClockTest, ::testing::Values(
    EstimateCase{"symmetric delays", k10, Both(5395, 5395), 10, true, 5400, 5.001},
    EstimateCase{"asymmetric: 9 ms out, 1 ms back", k10, Both(5399, 5399), 10, true, 5404, 5.001},
    EstimateCase{"a slow page: 300 ms between T2 and T3", k10, Both(5095, 5395), 310, true, 5400, 5.001},
    EstimateCase{"T3 alone", k10, Unix(5395), 10, true, 5400, 5.001},
    EstimateCase{"millisecond digits only", k10, "1796644810.395 1796644810.395", 10, true, 5400, 6.0},
    EstimateCase{"blanks around", k10, "  " + Both(5395, 5395) + "\t", 10, true, 5400, 5.001},
    EstimateCase{"no header", k10, "", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"a slow plain page", {12, 0, 4}, "", 410, false, -295, 705},
    EstimateCase{"garbage", k10, "soon", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"whole seconds", k10, "1796644810 1796644810", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"two decimals", k10, "1796644810.39", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"not finite", k10, "inf nan", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"negative", k10, "-1796644810.395", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"an exponent", k10, "1.765108810395e9", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"three times", k10, Both(5395, 5395) + " " + Unix(5395), 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"too many digits", k10, "99999999999999.000", 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"T3 before T2", k10, Both(5396, 5395), 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"the page worked longer than the exchange", k10, Both(5000, 5395), 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"30 s from the body", k10, Both(35395, 35395), 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"half a day from the body", k10, Both(43205395, 43205395), 10, false, kBodyOffset, kBodyBound},
    EstimateCase{"a whole day away, the same time of day", k10, Both(5395 - 86400000.0, 5395 - 86400000.0), 10, true, 5400, 5.001},
    EstimateCase{"the page half a day away", {0, 0, 10}, Both(43205395, 43205395), 10, true, -43194600, 5.001},
    EstimateCase{"on the second boundary", k10, Both(5000, 5000), 10, true, 5005, 5.001},
    EstimateCase{"the body's second just before T2: believed", {12, 0, 9}, Both(5000, 5000), 10, true, 5005, 5.001},
    EstimateCase{"the body's second too long before T2", {12, 0, 9}, Both(5020, 5020), 10, false, 4505, kBodyBound},
    EstimateCase{"the body's second after T3", {12, 0, 11}, Both(5980, 5980), 10, false, 6505, kBodyBound}));
// clang-format on

struct StepCase : NamedCase {
    int64_t offset;
    int64_t bound;
    bool step;
};

class StepRuleTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(StepRuleTest, StepsOnlyAClockOutsideTheBound) {
    const StepCase& c = GetParam();
    EXPECT_EQ(ClockNeedsStep({c.offset, c.bound, true, 0, 0}), c.step) << c.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, StepRuleTest, ::testing::Values(
    StepCase{"right", 0, 5 * kMs, false},
    StepCase{"ahead, the bound just holds", 5 * kMs, 5 * kMs, false},
    StepCase{"ahead, the bound just fails", 5 * kMs + 1, 5 * kMs, true},
    StepCase{"behind, the bound just holds", -5 * kMs, 5 * kMs, false},
    StepCase{"behind, the bound just fails", -5 * kMs - 1, 5 * kMs, true},
    StepCase{"a precise page finds a fraction off", 400 * kMs, 1 * kMs, true},
    StepCase{"a plain page cannot tell a fraction", 400 * kMs, 505 * kMs, false}));
// clang-format on

TEST(StepTargetTest, CarriesTheEstimateForwardToTheSet) {
    const ClockEstimate e{5'400 * kMs, kMs, true, kAnsweredAt, kSystemAtAnswer};
    // 20.4 ms after the answer: 12:00:05.000 + 5.4 s + 20.4 ms, to the nearest millisecond.
    const SystemTime expected{2026, 12, 1, 7, 12, 0, 10, 420};
    EXPECT_EQ(StepTarget(e, kAnsweredAt + 204'000), expected);
}

TEST(EstimateReportTest, OneLineForADebugger) {
    EXPECT_EQ(EstimateReport("Zelmora", {54'001'234, 4'560, true, 0, 0}),
              "Zelmora estimate: offset=+5400.123ms bound=0.456ms source=header step=yes");
    EXPECT_EQ(EstimateReport("ZelmoraClock", {-2'950'000, 7'050'000, false, 0, 0}),
              "ZelmoraClock estimate: offset=-295.000ms bound=705.000ms source=body step=no");
}

}  // namespace
