#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/ports.h"

// QueryPerformanceCounter in 100 ns ticks: the monotonic clock the downloads are timed with.
int64_t MonotonicTicks();

class Win32Clock final : public Clock {
public:
    SystemTime GetSystemTime() override;
    SetClockResult SetSystemTime(const SystemTime& utc) override;
    void Sleep(uint32_t milliseconds) override;
    TimeText LocalTimeText() override;
    std::string LocalTimeAmPm() override;
    float SecondsSinceMidnight() override;
    uint64_t MonotonicMilliseconds() override;
    ClockReading ReadClocks() override;

private:
    uint64_t localTimeSecond_ = 0;  // the UTC second localTimeText_ was made for
    TimeText localTimeText_;
    std::string utf8Scratch_;  // kept, so that a new second's text need not allocate
};
