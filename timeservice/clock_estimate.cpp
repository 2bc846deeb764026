#include "timeservice/clock_estimate.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;  // 1970-01-01 since 1601
constexpr std::size_t kMaxWholeDigits = 12;
constexpr std::size_t kMinFractionDigits = 3;
constexpr std::size_t kMaxFractionDigits = 9;
// Rounding in the header's last digit and the clocks' own reading.
constexpr int64_t kTolerance = kTicksPerMillisecond;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Unix seconds as "digits.digits" into ticks since 1601, with the unit of its last digit.
std::optional<std::pair<int64_t, int64_t>> ParseUnixSeconds(std::string_view text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > kMaxWholeDigits) {
        return std::nullopt;
    }
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = text.substr(dot + 1);
    const auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (fraction.size() < kMinFractionDigits || fraction.size() > kMaxFractionDigits ||
        !digits(whole) || !digits(fraction)) {
        return std::nullopt;
    }
    int64_t seconds = 0;
    for (const char c : whole) {
        seconds = seconds * 10 + (c - '0');
    }
    int64_t ticks = 0;
    int64_t unit = kTicksPerSecond;
    for (const char c : fraction) {
        if (unit > 1) {
            unit /= 10;
            ticks += (c - '0') * unit;
        }
    }
    return std::pair{kUnixEpochTicks + seconds * kTicksPerSecond + ticks, unit};
}

int64_t TimeOfDay(int64_t ticks) {
    const int64_t t = ticks % kTicksPerDay;
    return t < 0 ? t + kTicksPerDay : t;
}

}  // namespace

std::optional<PageClock> ParsePageClock(std::string_view header) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < header.size()) {
        if (IsBlank(header[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < header.size() && !IsBlank(header[i])) {
            ++i;
        }
        words.push_back(header.substr(start, i - start));
    }
    if (words.empty() || words.size() > 2) {
        return std::nullopt;
    }
    const auto began = ParseUnixSeconds(words.front());
    const auto answered = ParseUnixSeconds(words.back());
    if (!began || !answered || answered->first < began->first) {
        return std::nullopt;
    }
    return PageClock{began->first, answered->first, std::max(began->second, answered->second)};
}

ClockEstimate EstimateClock(PageTime body, const PageDownload& download, ClockReading after) {
    ClockEstimate estimate;
    estimate.answeredAt = download.answeredAt;
    estimate.systemAtAnswer = after.utc - (after.monotonic - download.answeredAt);
    const int64_t exchange = std::max<int64_t>(0, download.answeredAt - download.sentAt);
    const int64_t systemAtSend = estimate.systemAtAnswer - exchange;
    const int64_t second =
        int64_t{SecondOfDay(body.hour, body.minute, body.second)} * kTicksPerSecond;

    if (const auto page = ParsePageClock(download.clockHeader)) {
        const int64_t roundTrip = exchange - (page->answered - page->began);
        // The body's second held at an instant when the page's clock read between T2 less the
        // way out and T3 plus the way back; a header that says otherwise is not believed.
        const int64_t afterBegan = ShortestTicks(second - TimeOfDay(page->began));
        const int64_t afterAnswered = ShortestTicks(second - TimeOfDay(page->answered));
        const bool agrees = roundTrip >= -kTolerance &&
                            afterBegan > -(roundTrip + kTicksPerSecond + kTolerance) &&
                            afterAnswered <= roundTrip + kTolerance;
        if (agrees) {
            estimate.fromHeader = true;
            estimate.offset = ShortestTicks(
                ((page->began - systemAtSend) + (page->answered - estimate.systemAtAnswer)) / 2);
            estimate.bound = std::max<int64_t>(0, roundTrip) / 2 + page->precision;
            return estimate;
        }
    }
    // The page's time at T4 lies within [S, S + 1 s + the exchange]: its middle.
    const int64_t width = kTicksPerSecond + exchange;
    estimate.offset = ShortestTicks(second + width / 2 - TimeOfDay(estimate.systemAtAnswer));
    estimate.bound = (width + 1) / 2;
    return estimate;
}

bool ClockNeedsStep(const ClockEstimate& estimate) {
    return std::llabs(estimate.offset) > estimate.bound;
}

SystemTime StepTarget(const ClockEstimate& estimate, int64_t monotonicNow) {
    const int64_t target =
        estimate.systemAtAnswer + estimate.offset + (monotonicNow - estimate.answeredAt);
    // To the nearest millisecond, the system time's own precision.
    return SystemTimeFromTicks(target + kTicksPerMillisecond / 2);
}

std::string MillisecondsText(int64_t ticks, bool sign) {
    const int64_t micro = std::llabs(ticks) / 10;
    char text[40];
    std::snprintf(text, sizeof text, "%s%lld.%03lld", ticks < 0 ? "-" : (sign ? "+" : ""),
                  static_cast<long long>(micro / 1000), static_cast<long long>(micro % 1000));
    return text;
}

std::string EstimateReport(std::string_view who, const ClockEstimate& estimate) {
    return std::string(who) +
           " estimate: offset=" + MillisecondsText(estimate.offset, /*sign=*/true) +
           "ms bound=" + MillisecondsText(estimate.bound, /*sign=*/false) +
           "ms source=" + (estimate.fromHeader ? "header" : "body") +
           " step=" + (ClockNeedsStep(estimate) ? "yes" : "no");
}

bool StepAllowed(const ClockEstimate& estimate, std::optional<uint32_t> maxSeconds) {
    const int64_t step = estimate.offset < 0 ? -estimate.offset : estimate.offset;
    return !maxSeconds || step <= int64_t{*maxSeconds} * kTicksPerSecond;
}
