#include "timeservice/time_service.h"

#include "timeservice/clock_estimate.h"

#include <cstdlib>
#include <string>

#ifndef ZELMORA_TIME_URL
#error "ZELMORA_TIME_URL must be defined by the build"
#endif

const std::string& TimePageUrl() {
    static const std::string url = ZELMORA_TIME_URL;
    return url;
}

// Nothing here throws. Every failure reaches the "Cannot get time from server!..." status
// through ParseTimePage, which refuses a missing page and a page without a well-formed
// time; the check's arithmetic runs in 32 bits within half a day and cannot overflow. A
// refused clock set has its own status.
bool TimeService::SynchronizeTime(bool checkOnly, bool reportDifference) {
    controls_.SetStatus(kGettingTime);
    runtime_.YieldToPendingMessages();

    // An address an administrator set that cannot be used is no reason to ask another page.
    const PageChoice choice =
        managed_.TimePage(TimePageUrl(), /*httpsOnly=*/TimePageUrl().starts_with("https://"));
    if (!choice.refusal.empty()) {
        controls_.SetStatus(kCannotGetTime);
        return false;
    }
    const PageDownload download = http_.DownloadUrlText(choice.url);
    const auto page = ParseTimePage(download.text);
    if (!page) {
        controls_.SetStatus(kCannotGetTime);
        return false;
    }
    if (checkOnly) {
        return Check(clock_.GetSystemTime(), *page, reportDifference);
    }
    return Set(EstimateClock(*page, download, clock_.ReadClocks()));
}

bool TimeService::Check(const SystemTime& now, PageTime page, bool reportDifference) {
    const int32_t n = std::abs(CheckDifference(now, page));
    if (n <= 1) {
        controls_.SetStatus(kTimeOk);
        return true;
    }
    if (reportDifference) {
        controls_.SetStatus(std::string(kInaccuratePrefix) + std::to_string(n) +
                            std::string(kInaccurateSuffix));
        return true;
    }
    // Confirm with a fresh download before reporting: the first may have been slow.
    runtime_.YieldToPendingMessages();
    clock_.Sleep(500);
    return SynchronizeTime(/*checkOnly=*/true, /*reportDifference=*/true);
}

// A clock within the bound is left alone: as right as the page can tell, so a set.
bool TimeService::Set(const ClockEstimate& estimate) {
    runtime_.DebugReport(EstimateReport("Zelmora", estimate));
    if (!ClockNeedsStep(estimate)) {
        return Updated();
    }
    if (!StepAllowed(estimate, managed_.MaxStepSeconds())) {
        controls_.SetStatus(kStepTooFar);
        return false;
    }
    switch (clock_.SetSystemTime(StepTarget(estimate, clock_.ReadClocks().monotonic))) {
        case SetClockResult::Done:
            return Updated();
        case SetClockResult::NoPrivilege:
            return SetThroughService();
        case SetClockResult::Failed:
            break;
    }
    controls_.SetStatus(kCannotSetTime);
    return false;
}

// The service fetches the page itself: a request carries no time, so it cannot be told one.
// No yield here: a tick let in while the set failed would start another set, which would
// fail and ask again, nesting without end.
bool TimeService::SetThroughService() {
    const std::optional<ServiceAnswer> answer = clockService_.Synchronize();
    if (answer && answer->outcome == ServiceOutcome::Set) {
        return Updated();
    }
    const ServiceOutcome outcome = answer ? answer->outcome : ServiceOutcome::CannotSet;
    controls_.SetStatus(outcome == ServiceOutcome::CannotGet ? kCannotGetTime
                        : outcome == ServiceOutcome::TooFar  ? kStepTooFar
                                                             : kCannotSetTime);
    return false;
}

bool TimeService::Updated() {
    controls_.SetStatus(std::string(kUpdatedPrefix) + clock_.LocalTimeAmPm() +
                        std::string(kUpdatedSuffix));
    LastSyncTime_ = clock_.SecondsSinceMidnight();
    autoRetryNotBefore_.reset();
    return true;
}
