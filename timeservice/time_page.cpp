#include "timeservice/time_page.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int32_t kSecondsPerDay = 86400;
constexpr int32_t kHalfDay = 43200;
constexpr int64_t kDays1601To1970 = 134774;

int64_t FloorDivide(int64_t a, int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::size_t FindUtcMarker(std::string_view body) {
    constexpr std::string_view kMarker = " utc";
    const auto found = std::search(body.begin(), body.end(), kMarker.begin(), kMarker.end(),
                                   [](char a, char b) { return LowerAscii(a) == b; });
    return found == body.end() ? std::string_view::npos
                               : static_cast<std::size_t>(found - body.begin());
}

// A field is one or two digits, blank-padded on the left ("07" or " 7").
std::optional<int16_t> ParseField(std::string_view field) {
    if (field.size() == 2 && field[0] == ' ') {
        field.remove_prefix(1);
    }
    if (field.empty() ||
        !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int16_t value = 0;
    for (const char c : field) {
        value = static_cast<int16_t>(value * 10 + (c - '0'));
    }
    return value;
}

// Wraps a difference of two times of day into -43199..43200.
int32_t ShortestDistance(int32_t difference) {
    int32_t d = difference % kSecondsPerDay;
    if (d > kHalfDay) {
        d -= kSecondsPerDay;
    } else if (d <= -kHalfDay) {
        d += kSecondsPerDay;
    }
    return d;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (Howard Hinnant's method).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

}  // namespace

std::optional<PageTime> ParseTimePage(std::string_view body) {
    if (body.size() < kMinimumPageLength) {
        return std::nullopt;
    }
    const std::size_t marker = FindUtcMarker(body);
    if (marker == std::string_view::npos || marker < 8) {
        return std::nullopt;
    }
    const std::string_view time = body.substr(marker - 8, 8);
    const auto hour = ParseField(time.substr(0, 2));
    const auto minute = ParseField(time.substr(3, 2));
    const auto second = ParseField(time.substr(6, 2));
    if (!hour || !minute || !second || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    return PageTime{*hour, *minute, *second};
}

int32_t CheckDifference(const SystemTime& system, PageTime page) {
    const int32_t systemSeconds = SecondOfDay(system.wHour, system.wMinute, system.wSecond);
    const int32_t pageSeconds = SecondOfDay(page.hour, page.minute, page.second);
    return ShortestDistance(systemSeconds - pageSeconds);
}

int64_t TicksFromSystemTime(const SystemTime& t) {
    const int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay) + kDays1601To1970;
    return days * kTicksPerDay +
           int64_t{SecondOfDay(t.wHour, t.wMinute, t.wSecond)} * kTicksPerSecond +
           int64_t{t.wMilliseconds} * kTicksPerMillisecond;
}

SystemTime SystemTimeFromTicks(int64_t ticks) {
    const int64_t days = FloorDivide(ticks, kTicksPerDay);
    const int64_t ofDay = ticks - days * kTicksPerDay;
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days - kDays1601To1970, year, month, day);
    const auto second = static_cast<int32_t>(ofDay / kTicksPerSecond);
    SystemTime result;
    result.wYear = static_cast<uint16_t>(year);
    result.wMonth = static_cast<uint16_t>(month);
    result.wDay = static_cast<uint16_t>(day);
    // 1601-01-01 was a Monday (1).
    result.wDayOfWeek = static_cast<uint16_t>((days % 7 + 8) % 7);
    result.wHour = static_cast<uint16_t>(second / 3600);
    result.wMinute = static_cast<uint16_t>(second / 60 % 60);
    result.wSecond = static_cast<uint16_t>(second % 60);
    result.wMilliseconds = static_cast<uint16_t>(ofDay % kTicksPerSecond / kTicksPerMillisecond);
    return result;
}

int64_t ShortestTicks(int64_t difference) {
    int64_t d = difference % kTicksPerDay;
    if (d > kTicksPerDay / 2) {
        d -= kTicksPerDay;
    } else if (d <= -kTicksPerDay / 2) {
        d += kTicksPerDay;
    }
    return d;
}
