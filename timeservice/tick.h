#pragma once

#include <cstdint>

struct Program;

inline constexpr int32_t kDefaultIntervalMinutes = 15;
inline constexpr uint64_t kAutoRetryPauseMs = 60000;

// One tick of the main window's clock timer: refresh the clock label, then AutoSynchronize.
void TimerTimeTick(Program& p);

// Sets the clock when automatic synchronisation is on and the interval has passed since
// the last set.
void AutoSynchronize(Program& p);

// Sets the clock as automatic synchronisation does; after a failure the tick waits
// kAutoRetryPauseMs before it tries again.
void SynchronizeAutomatically(Program& p);

// The interval limit in seconds for an interval text, as the tick reads it.
int64_t IntervalLimitSeconds(int32_t minutes);
// Seconds between now and the last set, rounded to the nearest whole, halves to even.
int32_t ElapsedSinceLastSync(float secondsSinceMidnight, float lastSyncTime);
