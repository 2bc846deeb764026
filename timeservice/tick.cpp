#include "timeservice/time_service.h"

#include <cmath>

#include "platform/safe_convert.h"

namespace {

constexpr int32_t kDefaultIntervalMinutes = 15;
constexpr uint64_t kAutoRetryPauseMs = 60000;
// After a resume the network is often back within seconds: the first retry comes this soon,
// each further one twice as late, until the usual pause.
constexpr uint64_t kResumeRetryMs = 3000;

// The interval limit in seconds for the minutes the tick read.
int64_t IntervalLimitSeconds(int32_t minutes) {
    if (minutes < 1) {
        minutes = kDefaultIntervalMinutes;
    }
    // 64 bits, so that a huge interval simply never triggers.
    return int64_t{minutes} * 60;
}

// Seconds between now and the last set, rounded to the nearest whole, halves to even.
int32_t ElapsedSinceLastSync(float secondsSinceMidnight, float lastSyncTime) {
    const float elapsed = std::fabs(secondsSinceMidnight - lastSyncTime);
    // The default rounding mode rounds halves to even.
    return static_cast<int32_t>(std::nearbyint(elapsed));
}

}  // namespace

void TimeService::TimerTimeTick() {
    const TimeText now = clock_.LocalTimeText();
    // Repainting an unchanged label 20 times a second is waste.
    if (now.view() != shownClockText_.view()) {
        controls_.SetClock(now.view());
        shownClockText_ = now;
    }
    AutoSynchronize();
}

void TimeService::AutoSynchronize() {
    if (controls_.AutoState() == CheckBoxState::Unchecked) {
        return;
    }
    controls_.IntervalText(tickIntervalText_);
    const int32_t minutes = SafeLong(tickIntervalText_, runtime_.DecimalSeparator());
    const int64_t limit = IntervalLimitSeconds(minutes);
    const int32_t elapsed = ElapsedSinceLastSync(clock_.SecondsSinceMidnight(), LastSyncTime_);
    if (elapsed <= limit) {
        return;
    }
    if (autoRetryNotBefore_ && clock_.MonotonicMilliseconds() < *autoRetryNotBefore_) {
        return;
    }
    SynchronizeAutomatically();
}

void TimeService::SynchronizeAutomatically() {
    lastAutoAttempt_ = clock_.MonotonicMilliseconds();
    if (SynchronizeTime(/*checkOnly=*/false, /*reportDifference=*/false)) {
        resumeRetryMs_.reset();
        return;
    }
    uint64_t pause = kAutoRetryPauseMs;
    if (resumeRetryMs_) {
        pause = *resumeRetryMs_;
        *resumeRetryMs_ *= 2;
        if (*resumeRetryMs_ >= kAutoRetryPauseMs) {
            resumeRetryMs_.reset();
        }
    }
    autoRetryNotBefore_ = clock_.MonotonicMilliseconds() + pause;
}

void TimeService::OnResume() {
    if (controls_.AutoState() == CheckBoxState::Unchecked) {
        return;
    }
    resumeRetryMs_ = kResumeRetryMs;
    // A resume does not wait out the pause of a failure before the sleep, but repeated
    // resumes make no more than one attempt in kResumeRetryMs.
    autoRetryNotBefore_.reset();
    if (lastAutoAttempt_) {
        autoRetryNotBefore_ = *lastAutoAttempt_ + kResumeRetryMs;
    }
}
