#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http.h"
#include "platform/system_clock.h"
#include "timeservice/time_page.h"

// What a time page's clock header states, in ticks since 1601-01-01 UTC.
struct PageClock {
    int64_t began = 0;      // T2; T3 when the page sent that alone
    int64_t answered = 0;   // T3
    int64_t precision = 0;  // one unit of the coarser value's last digit
};

// "T2 T3" or "T3": Unix seconds with at least millisecond digits. Nothing for anything
// else, so that a malformed header counts as none.
std::optional<PageClock> ParsePageClock(std::string_view header);

// How far the page's clock is from the system clock, and how sure that is.
struct ClockEstimate {
    int64_t offset = 0;  // page minus system clock, within (-12 h, +12 h]
    int64_t bound = 0;   // the true offset lies within offset +- bound
    bool fromHeader = false;
    int64_t answeredAt = 0;      // the download's T4, on the monotonic clock
    int64_t systemAtAnswer = 0;  // the system clock at T4
};

// NTP's on-wire arithmetic over the header when it agrees with the body's hh:mm:ss; else
// the body alone, whose whole second held at some instant of the request. after: the clocks
// read once the download had ended.
ClockEstimate EstimateClock(PageTime body, const PageDownload& download, ClockReading after);

// A clock already within the bound is as right as the page can tell: stepping it could only
// make it worse.
bool ClockNeedsStep(const ClockEstimate& estimate);

// Whether a step by the estimate's offset stays within maxSeconds (none: no limit).
bool StepAllowed(const ClockEstimate& estimate, std::optional<uint32_t> maxSeconds);

// The page's time at monotonicNow, carried forward from T4, as the system time to set.
SystemTime StepTarget(const ClockEstimate& estimate, int64_t monotonicNow);

// Ticks as milliseconds with three decimals ("+5400.123"), signed when asked.
std::string MillisecondsText(int64_t ticks, bool sign);

// One line for a debugger: "<who> estimate: offset=+5400.123ms bound=0.456ms source=header
// step=yes".
std::string EstimateReport(std::string_view who, const ClockEstimate& estimate);
