#include "timeservice/tick.h"

#include <cmath>

#include "app/program.h"
#include "platform/safe_convert.h"
#include "timeservice/synchronize.h"

int64_t IntervalLimitSeconds(int32_t minutes) {
    if (minutes < 1) {
        minutes = kDefaultIntervalMinutes;
    }
    // 64 bits, so that a huge interval simply never triggers.
    return int64_t{minutes} * 60;
}

int32_t ElapsedSinceLastSync(float secondsSinceMidnight, float lastSyncTime) {
    const float elapsed = std::fabs(secondsSinceMidnight - lastSyncTime);
    // The default rounding mode rounds halves to even.
    return static_cast<int32_t>(std::nearbyint(elapsed));
}

void TimerTimeTick(Program& p) {
    const TimeText now = p.clock.LocalTimeText();
    // Repainting an unchanged label 20 times a second is waste.
    if (now.view() != p.shownClockText.view()) {
        p.frmMain.SetText(ControlId::lblTime, now.view());
        p.shownClockText = now;
    }
    AutoSynchronize(p);
}

void AutoSynchronize(Program& p) {
    if (p.frmMain.CheckState(ControlId::chkAuto) == 0) {
        return;
    }
    p.frmMain.GetText(ControlId::txtInterval, p.tickIntervalText);
    const int32_t minutes = SafeLong(p.tickIntervalText, p.runtime.DecimalSeparator());
    const int64_t limit = IntervalLimitSeconds(minutes);
    const int32_t elapsed = ElapsedSinceLastSync(p.clock.SecondsSinceMidnight(), p.LastSyncTime);
    if (elapsed <= limit) {
        return;
    }
    if (p.AutoRetryNotBefore && p.clock.MonotonicMilliseconds() < *p.AutoRetryNotBefore) {
        return;
    }
    SynchronizeAutomatically(p);
}

void SynchronizeAutomatically(Program& p) {
    if (!SynchronizeTime(p, false, false)) {
        p.AutoRetryNotBefore = p.clock.MonotonicMilliseconds() + kAutoRetryPauseMs;
    }
}
