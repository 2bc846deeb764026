#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/system_clock.h"

// The UTC time of day that the time page prints.
struct PageTime {
    int16_t hour = 0;
    int16_t minute = 0;
    int16_t second = 0;

    friend bool operator==(const PageTime&, const PageTime&) = default;
};

inline constexpr std::size_t kMinimumPageLength = 100;

constexpr int32_t SecondOfDay(int32_t hour, int32_t minute, int32_t second) {
    return hour * 3600 + minute * 60 + second;
}

// The time before the body's first " UTC" (any case), laid out as hh:mm:ss. Nothing for a
// body that is too short, has no " UTC", or whose time is not a well-formed time of day.
std::optional<PageTime> ParseTimePage(std::string_view body);

// System clock minus page, as the shortest distance between the two times of day: the
// result lies in -43199..43200 seconds, so it wraps at midnight.
int32_t CheckDifference(const SystemTime& system, PageTime page);

inline constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;

// A system time as 100 ns ticks since 1601-01-01 00:00 UTC, and back (to the millisecond
// below, with its weekday).
int64_t TicksFromSystemTime(const SystemTime& t);
SystemTime SystemTimeFromTicks(int64_t ticks);

// A difference of two times of day wrapped into (-12 h, +12 h]: the date never follows a
// page, only the nearest time of day does.
int64_t ShortestTicks(int64_t difference);
