#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The system clock's record, field for field as the OS keeps it (UTC).
struct SystemTime {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;
    uint16_t wDayOfWeek = 0;
    uint16_t wDay = 0;
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;

    friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// A short text held in place, so that the clock label can be refreshed without allocating.
struct TimeText {
    std::array<char, 80> chars{};
    std::size_t size = 0;

    std::string_view view() const { return {chars.data(), size}; }
};

// The UTC time and a monotonic high-resolution time, read together, both in 100 ns ticks.
inline constexpr int64_t kTicksPerSecond = 10'000'000;
inline constexpr int64_t kTicksPerMillisecond = 10'000;
struct ClockReading {
    int64_t utc = 0;        // since 1601-01-01 00:00 UTC
    int64_t monotonic = 0;  // from an arbitrary start; never jumps with clock sets
};

// NoPrivilege: the OS refused because the caller lacks the right to change the time.
enum class SetClockResult { Done, NoPrivilege, Failed };

class Clock {
public:
    virtual SystemTime GetSystemTime() = 0;
    virtual SetClockResult SetSystemTime(const SystemTime& utc) = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
    // Local time of day in the user's regional time format.
    virtual TimeText LocalTimeText() = 0;
    // Local time of day as "h:mm:ss AMPM" with the locale's separator and designators.
    virtual std::string LocalTimeAmPm() = 0;
    // Local seconds since midnight, with a fraction.
    virtual float SecondsSinceMidnight() = 0;
    // Never jumps with clock sets or at midnight.
    virtual uint64_t MonotonicMilliseconds() = 0;
    // The clocks the downloads are timed with, as precisely as the OS tells them.
    virtual ClockReading ReadClocks() = 0;

protected:
    ~Clock() = default;
};
