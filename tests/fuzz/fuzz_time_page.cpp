// The page and its clock header are unauthenticated network input: whatever their bytes,
// parsing must not crash, and a time is accepted only when it is a real time of day. The
// check and set arithmetic must stay within half a day of the system clock for every
// accepted time, and a body alone sets the middle of its second.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <string_view>

#include "timeservice/clock_estimate.h"
#include "timeservice/time_page.h"

namespace {

int64_t SecondsOf(const SystemTime& t) {
    // Days from a fixed epoch are enough to compare two nearby instants.
    int64_t y = t.wYear;
    int64_t m = t.wMonth;
    if (m <= 2) {
        y -= 1;
        m += 12;
    }
    const int64_t days = 365 * y + y / 4 - y / 100 + y / 400 + (153 * (m - 3) + 2) / 5 + t.wDay;
    return days * 86400 + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

bool IsValidDate(const SystemTime& t) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1) {
        return false;
    }
    const bool leap = (t.wYear % 4 == 0 && t.wYear % 100 != 0) || t.wYear % 400 == 0;
    const int days = kDays[t.wMonth - 1] + (t.wMonth == 2 && leap ? 1 : 0);
    return t.wDay <= days && t.wDayOfWeek <= 6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) {
        return 0;
    }
    // The first bytes choose the system clock; the rest is the page.
    SystemTime now;
    now.wYear = static_cast<uint16_t>(1990 + data[0] % 120);
    now.wMonth = static_cast<uint16_t>(1 + data[1] % 12);
    now.wDay = static_cast<uint16_t>(1 + data[2] % 28);
    now.wHour = static_cast<uint16_t>(data[3] % 24);
    now.wMinute = static_cast<uint16_t>(data[4] % 60);
    now.wSecond = static_cast<uint16_t>(data[5] % 60);
    now.wMilliseconds = 250;
    // The next byte gives the header's length; the rest is the body.
    const std::size_t headerSize = std::min<std::size_t>(data[6] % 64, size - 7);
    const std::string header(reinterpret_cast<const char*>(data + 7), headerSize);
    const std::string_view body(reinterpret_cast<const char*>(data + 7 + headerSize),
                                size - 7 - headerSize);

    const auto page = ParseTimePage(body);
    if (!page) {
        return 0;
    }
    if (page->hour < 0 || page->hour > 23 || page->minute < 0 || page->minute > 59 ||
        page->second < 0 || page->second > 59 || body.size() < kMinimumPageLength) {
        std::abort();
    }
    const int32_t difference = CheckDifference(now, *page);
    if (difference <= -43200 || difference > 43200) {
        std::abort();
    }
    const ClockEstimate estimate =
        EstimateClock(*page, {std::string(body), header, 0, 0}, {TicksFromSystemTime(now), 0});
    if (estimate.offset <= -kTicksPerDay / 2 || estimate.offset > kTicksPerDay / 2 ||
        estimate.bound < 0) {
        std::abort();
    }
    const SystemTime target = StepTarget(estimate, 0);
    if (!IsValidDate(target) || std::llabs(TicksFromSystemTime(target) - TicksFromSystemTime(now) -
                                           estimate.offset) > kTicksPerMillisecond) {
        std::abort();
    }
    const bool middleOfTheSecond = target.wHour == page->hour && target.wMinute == page->minute &&
                                   target.wSecond == page->second && target.wMilliseconds == 500;
    if (!estimate.fromHeader && (!middleOfTheSecond || estimate.bound != kTicksPerSecond / 2 ||
                                 SecondsOf(now) - SecondsOf(target) != difference)) {
        std::abort();
    }
    return 0;
}
