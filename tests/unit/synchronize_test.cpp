#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"
#include "timeservice/time_service.h"

namespace {

using Statuses = std::vector<std::string>;

const std::string kGetting(kGettingTime);
const std::string kOk(kTimeOk);
const std::string kCannotGet(kCannotGetTime);
const std::string kCannotSet(kCannotSetTime);
const std::string kUpdated = "Time updated succesfully! (10:15:42 AM)";

std::string Inaccurate(int seconds) {
    return std::string(kInaccuratePrefix) + std::to_string(seconds) +
           std::string(kInaccurateSuffix);
}

class SynchronizeTimeTest : public ::testing::Test {
protected:
    SynchronizeTimeTest() {
        f.clock.systemTime = {2026, 12, 1, 7, 12, 0, 5, 250};
        f.clock.secondsSinceMidnight = 43205.25f;
    }

    // As the buttons Check and Synchronize call it.
    bool Check() {
        return f.service.SynchronizeTime(/*checkOnly=*/true, /*reportDifference=*/false);
    }
    bool Set() {
        return f.service.SynchronizeTime(/*checkOnly=*/false, /*reportDifference=*/false);
    }

    FakeTimeService f;
};

struct CheckCase : NamedCase {
    std::vector<std::string> pages;  // one per download
    Statuses statuses;
    std::size_t downloads;
};

class CheckFlowTest : public SynchronizeTimeTest,
                      public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckFlowTest, StatusSequence) {
    const CheckCase& c = GetParam();
    f.http.bodies.assign(c.pages.begin(), c.pages.end());
    Check();
    EXPECT_EQ(f.controls.statusHistory, c.statuses) << c.name;
    EXPECT_EQ(f.http.urls.size(), c.downloads) << c.name;
    EXPECT_TRUE(f.clock.sets.empty()) << "a check never sets the clock";
    EXPECT_EQ(f.service.LastSyncTime(), 0.0f) << "a check never moves the last set";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, CheckFlowTest, ::testing::Values(
    CheckCase{"clock right", {PageWithTime("12:00:05")}, {kGetting, kOk}, 1},
    CheckCase{"one second behind", {PageWithTime("12:00:06")}, {kGetting, kOk}, 1},
    CheckCase{"one second ahead", {PageWithTime("12:00:04")}, {kGetting, kOk}, 1},
    CheckCase{"three seconds off, confirmed", {PageWithTime("12:00:08"), PageWithTime("12:00:08")}, {kGetting, kGetting, Inaccurate(3)}, 2},
    CheckCase{"off, then right on the second look", {PageWithTime("12:00:08"), PageWithTime("12:00:05")}, {kGetting, kGetting, kOk}, 2},
    CheckCase{"off, then no page on the second look", {PageWithTime("12:00:08"), ""}, {kGetting, kGetting, kCannotGet}, 2},
    CheckCase{"far off: a difference, not a failure", {PageWithTime("02:00:05"), PageWithTime("02:00:05")}, {kGetting, kGetting, Inaccurate(36000)}, 2},
    CheckCase{"across midnight", {PageWithTime("00:00:07"), PageWithTime("00:00:07")}, {kGetting, kGetting, Inaccurate(43198)}, 2},
    CheckCase{"no page", {""}, {kGetting, kCannotGet}, 1},
    CheckCase{"short page", {std::string(99, 'x')}, {kGetting, kCannotGet}, 1},
    CheckCase{"garbled time", {PageWithTime("12:0x:05")}, {kGetting, kCannotGet}, 1}));
// clang-format on

TEST_F(SynchronizeTimeTest, ConfirmingCheckYieldsAndSleepsHalfASecondBeforeTheSecondDownload) {
    f.http.bodies = {PageWithTime("12:00:08"), PageWithTime("12:00:08")};
    Check();
    const EventLog expected{"status Getting Time...",
                            "yield",
                            "download",
                            "yield",
                            "sleep 500",
                            "status Getting Time...",
                            "yield",
                            "download",
                            "status " + Inaccurate(3)};
    EXPECT_EQ(f.log, expected);
}

TEST_F(SynchronizeTimeTest, ReportDifferenceReportsAtOnce) {
    f.http.bodies = {PageWithTime("12:00:15")};
    f.service.SynchronizeTime(/*checkOnly=*/true, /*reportDifference=*/true);
    EXPECT_EQ(f.controls.statusHistory, (Statuses{kGetting, Inaccurate(10)}));
    EXPECT_TRUE(f.clock.sleeps.empty());
}

TEST_F(SynchronizeTimeTest, FetchesOnlyTheConfiguredPage) {
    f.http.bodies = {PageWithTime("12:00:05")};
    Check();
    ASSERT_EQ(f.http.urls.size(), 1u);
    EXPECT_EQ(f.http.urls[0], TimePageUrl());
    EXPECT_NE(TimePageUrl().find("/cgi-bin/timer.pl"), std::string::npos);
}

TEST_F(SynchronizeTimeTest, FetchesThePreferencesPageWithinThePolicysStep) {
    f.machine.Set(kPreferenceKey, "TimePage",
                  {MachineValue::Kind::Text, "http://t.example:81/cgi-bin/timer.pl", 0});
    f.machine.SetNumber(kPolicyKey, "MaxStepSeconds", 38);  // 37.25 s off
    f.managed.Read(f.machine);
    f.http.bodies = {PageWithTime("12:00:42")};
    EXPECT_TRUE(Set());
    EXPECT_EQ(f.http.urls, std::vector<std::string>{"http://t.example:81/cgi-bin/timer.pl"});
    EXPECT_EQ(f.clock.sets.size(), 1u);
}

TEST_F(SynchronizeTimeTest, SetStepsToThePagesTimeKeepsTheDateAndRecordsLastSync) {
    f.http.bodies = {PageWithTime("12:00:42")};
    f.clock.secondsSinceMidnight = 43242.25f;
    EXPECT_TRUE(Set());
    ASSERT_EQ(f.clock.sets.size(), 1u);
    // A plain page over an instant exchange: the middle of its second.
    const SystemTime expected{2026, 12, 1, 7, 12, 0, 42, 500};
    EXPECT_EQ(f.clock.sets[0], expected);
    EXPECT_EQ(f.controls.statusHistory,
              (Statuses{kGetting, "Time updated succesfully! (10:15:42 AM)"}));
    EXPECT_EQ(f.service.LastSyncTime(), 43242.25f);
}

TEST_F(SynchronizeTimeTest, SetAcrossMidnightMovesTheDate) {
    f.clock.systemTime = {2026, 12, 1, 7, 23, 59, 59, 250};
    f.http.bodies = {PageWithTime("00:00:01")};
    Set();
    ASSERT_EQ(f.clock.sets.size(), 1u);
    const SystemTime expected{2026, 12, 2, 8, 0, 0, 1, 500};
    EXPECT_EQ(f.clock.sets[0], expected);
}

struct StepCase : NamedCase {
    std::string page;
    std::string header;
    int64_t exchangeMs;
    std::vector<SystemTime> sets;
};

class SetStepTest : public SynchronizeTimeTest, public ::testing::WithParamInterface<StepCase> {};

// The clock reads 12:00:05.250; the exchange ends as it is read.
TEST_P(SetStepTest, StepsOnlyAClockOffByMoreThanThePageCanTell) {
    const StepCase& c = GetParam();
    f.http.bodies = {c.page};
    f.http.clockHeaders = {c.header};
    f.http.sentAt = -c.exchangeMs * kTicksPerMillisecond;
    EXPECT_TRUE(Set()) << c.name;
    EXPECT_EQ(f.clock.sets, c.sets) << c.name;
    EXPECT_EQ(f.controls.statusHistory, (Statuses{kGetting, kUpdated})) << c.name;
    EXPECT_EQ(f.service.LastSyncTime(), 43205.25f) << c.name << ": a set, stepped or not";
    ASSERT_EQ(f.runtime.reports.size(), 1u) << c.name;
    EXPECT_EQ(f.runtime.reports[0].ends_with(c.sets.empty() ? "step=no" : "step=yes"), true)
        << f.runtime.reports[0];
}

// 2026-12-07 12:00:05.250 UTC as Unix seconds, and the same 400 ms on.
constexpr char kRightNow[] = "1796644805.250000";
constexpr char kAhead400[] = "1796644805.650000";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SetStepTest, ::testing::Values(
    StepCase{"right, the plain page's second", PageWithTime("12:00:05"), "", 0, {}},
    StepCase{"right, behind a slow plain page", PageWithTime("12:00:04"), "", 400, {}},
    StepCase{"right, a precise page", PageWithTime("12:00:05"), kRightNow, 0, {}},
    StepCase{"a fraction behind a precise page", PageWithTime("12:00:05"), kAhead400, 0, {{2026, 12, 1, 7, 12, 0, 5, 650}}},
    StepCase{"a fraction off cannot show on a plain page", PageWithTime("12:00:05"), "", 0, {}},
    StepCase{"a header that contradicts the body", PageWithTime("12:00:05"), "1796644835.250000", 0, {}}));
// clang-format on

struct SetFailureCase : NamedCase {
    std::string page;
    SetClockResult setResult;
    std::string finalStatus;
    std::size_t setCalls;
    std::optional<uint32_t> maxStep = std::nullopt;  // the policy's MaxStepSeconds
    const char* policyPage = nullptr;
};

class SetFailureTest : public SynchronizeTimeTest,
                       public ::testing::WithParamInterface<SetFailureCase> {};

TEST_P(SetFailureTest, LeavesLastSyncTimeAlone) {
    const SetFailureCase& c = GetParam();
    f.http.bodies = {c.page};
    f.clock.setResult = c.setResult;
    if (c.maxStep) {
        f.machine.SetNumber(kPolicyKey, "MaxStepSeconds", *c.maxStep);
    }
    if (c.policyPage) {
        f.machine.Set(kPolicyKey, "TimePage", {MachineValue::Kind::Text, c.policyPage, 0});
    }
    f.managed.Read(f.machine);
    EXPECT_FALSE(Set()) << c.name;
    EXPECT_EQ(f.http.urls.size(), c.policyPage ? 0u : 1u) << c.name << ": nothing else asked";
    EXPECT_EQ(f.controls.statusHistory, (Statuses{kGetting, c.finalStatus})) << c.name;
    EXPECT_EQ(f.clock.sets.size(), c.setCalls) << c.name;
    EXPECT_EQ(f.service.LastSyncTime(), 0.0f) << c.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SetFailureTest,
    ::testing::Values(
        SetFailureCase{"refused by the system", PageWithTime("12:00:10"), SetClockResult::Failed, kCannotSet, 1},
        SetFailureCase{"no page", "", SetClockResult::Done, kCannotGet, 0},
        SetFailureCase{"page without UTC", std::string(120, 'x'), SetClockResult::Done, kCannotGet, 0},
        SetFailureCase{"hour out of range", PageWithTime("25:00:00"), SetClockResult::Done, kCannotGet, 0},
        SetFailureCase{"field not a number", PageWithTime("12:0?:00"), SetClockResult::Done, kCannotGet, 0},
        SetFailureCase{"too little before UTC", std::string("12:34 UTC") + std::string(100, ' '),
                       SetClockResult::Done, kCannotGet, 0},
        SetFailureCase{"further than the policy's step", PageWithTime("12:00:10"), SetClockResult::Done, std::string(kStepTooFar), 0, 4},
        SetFailureCase{"a step limit that is no number allows none", PageWithTime("12:00:10"), SetClockResult::Done, std::string(kStepTooFar), 0, 0},
        SetFailureCase{"the policy's page breaks the rules", PageWithTime("12:00:10"), SetClockResult::Done, kCannotGet, 0, std::nullopt, "http://t.example/a b"}));
// clang-format on

struct ServiceCase : NamedCase {
    SetClockResult ownSet;
    std::optional<ServiceAnswer> answer;
    bool asked;
    std::string finalStatus;
};

class ServiceDecisionTest : public SynchronizeTimeTest,
                            public ::testing::WithParamInterface<ServiceCase> {};

TEST_P(ServiceDecisionTest, AsksTheServiceOnlyWhenTheRightIsMissing) {
    const ServiceCase& c = GetParam();
    f.http.bodies = {PageWithTime("12:00:42")};
    f.clock.setResult = c.ownSet;
    f.clockService.answer = c.answer;
    const bool updated = c.finalStatus == kUpdated;
    EXPECT_EQ(Set(), updated) << c.name;
    EXPECT_EQ(f.controls.statusHistory, (Statuses{kGetting, c.finalStatus})) << c.name;
    EXPECT_EQ(std::ranges::count(f.log, "ask service"), c.asked ? 1 : 0) << c.name;
    EXPECT_EQ(f.http.urls.size(), 1u) << c.name << ": the program downloads once";
    EXPECT_EQ(f.service.LastSyncTime(), updated ? 43205.25f : 0.0f) << c.name;
}

const ServiceAnswer kServiceSet{ServiceOutcome::Set, 12, 0, 42};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ServiceDecisionTest, ::testing::Values(
    ServiceCase{"own set works", SetClockResult::Done, kServiceSet, false, kUpdated},
    ServiceCase{"own set fails otherwise", SetClockResult::Failed, kServiceSet, false, kCannotSet},
    ServiceCase{"no right, service sets", SetClockResult::NoPrivilege, kServiceSet, true, kUpdated},
    ServiceCase{"no right, no service", SetClockResult::NoPrivilege, std::nullopt, true, kCannotSet},
    ServiceCase{"no right, service cannot get", SetClockResult::NoPrivilege, ServiceAnswer{ServiceOutcome::CannotGet}, true, kCannotGet},
    ServiceCase{"no right, service cannot set", SetClockResult::NoPrivilege, ServiceAnswer{ServiceOutcome::CannotSet}, true, kCannotSet},
    ServiceCase{"no right, service busy", SetClockResult::NoPrivilege, ServiceAnswer{ServiceOutcome::Busy}, true, kCannotSet},
    ServiceCase{"no right, service needs https", SetClockResult::NoPrivilege, ServiceAnswer{ServiceOutcome::NeedsHttps}, true, kCannotSet},
    ServiceCase{"no right, service refuses the step", SetClockResult::NoPrivilege, ServiceAnswer{ServiceOutcome::TooFar}, true, std::string(kStepTooFar)}));
// clang-format on

TEST_F(SynchronizeTimeTest, AsksTheServiceRightAfterTheRefusalWithoutLettingATickIn) {
    f.http.bodies = {PageWithTime("12:00:42")};
    f.clock.setResult = SetClockResult::NoPrivilege;
    f.clockService.answer = kServiceSet;
    Set();
    const EventLog expected{"status Getting Time...", "yield",       "download",
                            "set clock refused",      "ask service", "status " + kUpdated};
    EXPECT_EQ(f.log, expected);
}

TEST_F(SynchronizeTimeTest, NestedCallDuringTheYieldCompletesBeforeTheOuterOneGoesOn) {
    // A click on Check while a set waits in its yield.
    f.http.bodies = {PageWithTime("12:00:05"), PageWithTime("12:00:20")};
    f.runtime.onYield = [this] { Check(); };
    Set();
    EXPECT_EQ(f.controls.statusHistory,
              (Statuses{kGetting, kGetting, kOk, "Time updated succesfully! (10:15:42 AM)"}))
        << "the outer call writes the last status";
    ASSERT_EQ(f.clock.sets.size(), 1u);
    EXPECT_EQ(f.clock.sets[0].wSecond, 20);
}

}  // namespace
