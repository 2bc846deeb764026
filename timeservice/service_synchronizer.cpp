#include "timeservice/service_synchronizer.h"

#include "timeservice/time_page.h"

bool ServiceMayFetch(const std::string& url) {
    return url.starts_with("https://");
}

ServiceAnswer SynchronizeOnce(Http& http, Clock& clock, const std::string& url) {
    if (!ServiceMayFetch(url)) {
        return {ServiceOutcome::NeedsHttps};
    }
    const auto page = ParseTimePage(http.DownloadUrlText(url));
    if (!page) {
        return {ServiceOutcome::CannotGet};
    }
    if (clock.SetSystemTime(SetTarget(clock.GetSystemTime(), *page)) != SetClockResult::Done) {
        return {ServiceOutcome::CannotSet};
    }
    // ParseTimePage gives a valid time of day only.
    return {ServiceOutcome::Set, static_cast<uint8_t>(page->hour),
            static_cast<uint8_t>(page->minute), static_cast<uint8_t>(page->second)};
}

SynchronizeRateLimit::Decision SynchronizeRateLimit::OnRequest(uint64_t nowMs) {
    if (running_) {
        return Decision::JoinRunning;
    }
    if (lastStartMs_ && nowMs - *lastStartMs_ < kServiceFetchIntervalMs) {
        return Decision::Last;
    }
    lastStartMs_ = nowMs;
    running_ = true;
    return Decision::Start;
}

void SynchronizeRateLimit::Finished(const ServiceAnswer& answer) {
    running_ = false;
    last_ = answer;
}
