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

// The time before the body's first " UTC" (any case), laid out as hh:mm:ss. Nothing for a
// body that is too short, has no " UTC", or whose time is not a well-formed time of day.
std::optional<PageTime> ParseTimePage(std::string_view body);

// System clock minus page, as the shortest distance between the two times of day: the
// result lies in -43199..43200 seconds, so it wraps at midnight.
int32_t CheckDifference(const SystemTime& system, PageTime page);

// The system time moved by the shortest distance that gives the page's time of day; the
// milliseconds are kept, and the date changes only when that distance crosses midnight.
SystemTime SetTarget(const SystemTime& system, PageTime page);
