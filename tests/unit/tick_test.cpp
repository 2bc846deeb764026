#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"
#include "timeservice/time_service.h"

namespace {

struct DueCase : NamedCase {
    const char* interval;
    float now;
    float lastSync;
    CheckBoxState autoState;
    bool synchronises;
};

class AutoSynchronizeDueTest : public ::testing::TestWithParam<DueCase> {};

TEST_P(AutoSynchronizeDueTest, DecidesFromIntervalAndLastSet) {
    const DueCase& c = GetParam();
    FakeTimeService f;
    if (c.lastSync != 0) {
        f.SynchronizeAt(c.lastSync);
    }
    const std::size_t downloads = f.http.urls.size();
    f.controls.autoState = c.autoState;
    f.controls.interval = c.interval;
    f.clock.secondsSinceMidnight = c.now;
    f.http.bodies = {PageWithTime("10:15:30")};
    f.service.AutoSynchronize();
    EXPECT_EQ(f.http.urls.size() - downloads, c.synchronises ? 1u : 0u) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AutoSynchronizeDueTest,
    ::testing::Values(DueCase{"off", "1", 50000, 100, kOff, false},
                      DueCase{"on", "1", 50000, 100, kOn, true},
                      DueCase{"greyed counts as on", "1", 50000, 100, kGreyed, true},
                      // One minute: strictly more than 60 once rounded, halves to even.
                      DueCase{"1 min, 60 s", "1", 1060, 1000, kOn, false},
                      DueCase{"1 min, 60.5 s rounds to 60", "1", 1060.5f, 1000, kOn, false},
                      DueCase{"1 min, 60.75 s", "1", 1060.75f, 1000, kOn, true},
                      DueCase{"1 min, 61.5 s", "1", 1061.5f, 1000, kOn, true},
                      DueCase{"15 min, 900.5 s", "15", 1900.5f, 1000, kOn, false},
                      DueCase{"15 min, 901 s", "15", 1901, 1000, kOn, true},
                      // Anything unusable counts as 15 minutes.
                      DueCase{"empty", "", 1901, 1000, kOn, true},
                      DueCase{"empty, 900 s", "", 1900, 1000, kOn, false},
                      DueCase{"zero", "0", 1901, 1000, kOn, true},
                      DueCase{"negative", "-3", 1900, 1000, kOn, false},
                      DueCase{"negative, 901 s", "-3", 1901, 1000, kOn, true},
                      DueCase{"text", "abc", 1901, 1000, kOn, true},
                      // A day or more never triggers, however large.
                      DueCase{"one day", "1440", 86399.9f, 0, kOn, false},
                      DueCase{"beyond 32 bits of seconds", "99999999", 86399.9f, 0, kOn, false},
                      // No set yet: the time since midnight counts.
                      DueCase{"no set yet, early", "15", 300, 0, kOn, false},
                      DueCase{"no set yet, 08:00", "15", 28800, 0, kOn, true},
                      // The counter restarts at midnight.
                      DueCase{"23:50 set, 23:59:59", "15", 86399, 85800, kOn, false},
                      DueCase{"23:50 set, just after midnight", "15", 0.05f, 85800, kOn, true},
                      DueCase{"00:05 start, 15 min", "15", 900.5f, 0, kOn, false}));

class TickTest : public ::testing::Test {
protected:
    TickTest() {
        f.controls.autoState = kOn;
        f.clock.secondsSinceMidnight = 28800;  // due: no set yet
    }

    void TickAfter(uint64_t ms) {
        f.clock.monotonicMs += ms;
        f.service.TimerTimeTick();
    }

    FakeTimeService f;
};

TEST_F(TickTest, AfterAFailedAttemptWaitsAMinuteBeforeTheNext) {
    TickAfter(0);  // fails: no page
    EXPECT_EQ(f.http.urls.size(), 1u);
    for (int i = 0; i < 20; ++i) {
        TickAfter(50);
    }
    EXPECT_EQ(f.http.urls.size(), 1u);
    TickAfter(59000 - 1000);  // 59 s after the failure
    EXPECT_EQ(f.http.urls.size(), 1u);
    EXPECT_EQ(f.controls.statusHistory.back(), kCannotGetTime) << "the failure stays shown";
    TickAfter(1000);  // 60 s
    EXPECT_EQ(f.http.urls.size(), 2u);
}

TEST_F(TickTest, RefusedClockSetAlsoPauses) {
    f.clock.setResult = SetClockResult::Failed;
    f.http.bodies = {PageWithTime("08:00:00"), PageWithTime("08:00:00")};
    TickAfter(0);
    TickAfter(30000);
    EXPECT_EQ(f.http.urls.size(), 1u);
    TickAfter(30000);
    EXPECT_EQ(f.http.urls.size(), 2u);
}

TEST_F(TickTest, SuccessInBetweenEndsThePause) {
    TickAfter(0);  // fails
    // A set as the Synchronize button starts it: never held back.
    f.SynchronizeAt(28800);
    EXPECT_EQ(f.http.urls.size(), 2u);
    // Much later the next set is due again, and the old failure does not hold it back.
    f.clock.secondsSinceMidnight = 28800 + 1000;
    f.http.bodies = {PageWithTime("10:15:30")};
    TickAfter(100);
    EXPECT_EQ(f.http.urls.size(), 3u);
}

TEST_F(TickTest, ClockLabelWrittenOnlyWhenItsTextChanges) {
    f.controls.autoState = kOff;
    f.clock.clockText = "10:15:30";
    TickAfter(50);
    TickAfter(50);
    TickAfter(50);
    EXPECT_EQ(f.controls.clockWrites, 1);
    EXPECT_EQ(f.controls.clock, "10:15:30");
    f.clock.clockText = "10:15:31";
    TickAfter(50);
    EXPECT_EQ(f.controls.clockWrites, 2);
    EXPECT_EQ(f.controls.clock, "10:15:31");
}

TEST_F(TickTest, TickDuringTheYieldStartsANestedSynchronisation) {
    f.http.bodies = {PageWithTime("08:00:01"), PageWithTime("08:00:02")};
    f.runtime.onYield = [this] { TickAfter(50); };
    f.clock.secondsSinceMidnight = 28800;
    TickAfter(50);
    // The nested set completes inside the yield, then the outer one sets again.
    ASSERT_EQ(f.clock.sets.size(), 2u);
    EXPECT_EQ(f.clock.sets[0].wSecond, 1);
    EXPECT_EQ(f.clock.sets[1].wSecond, 2);
    EXPECT_EQ(f.controls.statusHistory.size(), 4u);
}

// Counts allocations while a test asks for it.
bool countAllocations = false;
int allocations = 0;

TEST_F(TickTest, IdleTickDoesNotAllocate) {
    f.SynchronizeAt(28000);
    f.clock.secondsSinceMidnight = 28800;  // set 800 s ago: not due
    f.clock.clockText = "8:00:00 AM";
    TickAfter(50);  // the first tick may size its buffers
    countAllocations = true;
    allocations = 0;
    for (int i = 0; i < 100; ++i) {
        TickAfter(50);
    }
    countAllocations = false;
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(f.http.urls.size(), 1u) << "only the set before";
}

}  // namespace

// Replacing the global allocation functions is the one way to see every allocation.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    if (countAllocations) {
        ++allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

// Ticks every half second for 130 s with the page down; resumes at the given times.
struct ResumeCase : NamedCase {
    CheckBoxState autoAtResume;
    std::vector<uint64_t> resumesAt;
    std::vector<uint64_t> attemptsAt;
};

class ResumeTest : public TickTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, RetriesSoonAfterAWakeThenBacksOffToAMinute) {
    const ResumeCase& c = GetParam();
    const uint64_t start = f.clock.monotonicMs;
    std::vector<uint64_t> attempts;
    f.http.onDownload = [&] { attempts.push_back(f.clock.monotonicMs - start); };
    for (uint64_t t = 0; t <= 130000; t += 500) {
        if (std::ranges::find(c.resumesAt, t) != c.resumesAt.end()) {
            f.controls.autoState = c.autoAtResume;
            f.service.OnResume();
            f.controls.autoState = kOn;
        }
        TickAfter(t == 0 ? 0 : 500);
    }
    EXPECT_EQ(attempts, c.attemptsAt) << c.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ResumeTest, ::testing::Values(
    ResumeCase{"no resume: a minute between attempts", kOn, {}, {0, 60000, 120000}},
    ResumeCase{"resumed: 3 s, then twice as long each time", kOn, {0}, {0, 3000, 9000, 21000, 45000, 93000}},
    ResumeCase{"resumed twice after a failure: one attempt per 3 s", kOn, {1000, 1500}, {0, 3000, 6000, 12000, 24000, 48000, 96000}},
    ResumeCase{"resumed with automatic synchronisation off: nothing", kOff, {1000}, {0, 60000, 120000}}));
// clang-format on
