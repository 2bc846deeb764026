#include "timeservice/service_synchronizer.h"

#include <cstdio>

#include "timeservice/time_page.h"

bool ServiceMayFetch(const std::string& url) {
    return url.starts_with("https://");
}

ServiceSync SynchronizeOnce(Http& http, Clock& clock, const std::string& url) {
    if (!ServiceMayFetch(url)) {
        return {{ServiceOutcome::NeedsHttps}, {}, {}};
    }
    const auto page = ParseTimePage(http.DownloadUrlText(url));
    if (!page) {
        return {{ServiceOutcome::CannotGet}, {}, {}};
    }
    const SystemTime from = clock.GetSystemTime();
    const SystemTime to = SetTarget(from, *page);
    if (clock.SetSystemTime(to) != SetClockResult::Done) {
        return {{ServiceOutcome::CannotSet}, from, to};
    }
    // ParseTimePage gives a valid time of day only.
    return {{ServiceOutcome::Set, static_cast<uint8_t>(page->hour),
             static_cast<uint8_t>(page->minute), static_cast<uint8_t>(page->second)},
            from,
            to};
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

int64_t SecondsOf(const SystemTime& t) {
    return DaysFromCivil(t.wYear, t.wMonth, t.wDay) * 86400 + int64_t{t.wHour} * 3600 +
           int64_t{t.wMinute} * 60 + t.wSecond;
}

std::string Text(const SystemTime& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{t.wYear},
                  unsigned{t.wMonth}, unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute},
                  unsigned{t.wSecond});
    return text;
}

std::string WhyRefused(ServiceOutcome outcome) {
    switch (outcome) {
        case ServiceOutcome::NeedsHttps:
            return "the page's address is not https://, so anyone on the path could forge it";
        case ServiceOutcome::Busy:
            return "the service's fetch had not ended within 40 seconds";
        default:
            return "no time came from the page (unreachable, a certificate fault, a status "
                   "other than 200, or no time on it)";
    }
}

}  // namespace

ServiceEvent DescribeSync(const ServiceSync& sync, const std::string& url,
                          const ServiceClient& client, const std::string& systemReason) {
    const std::vector<std::string> asker{client.user.empty() ? "(unknown)" : client.user,
                                         std::to_string(client.session),
                                         std::to_string(client.process)};
    std::vector<std::string> inserts;
    const auto add = [&inserts](std::vector<std::string> more) {
        inserts.insert(inserts.end(), more.begin(), more.end());
    };
    if (sync.answer.outcome == ServiceOutcome::Set && sync.from && sync.to) {
        const int64_t seconds = SecondsOf(*sync.to) - SecondsOf(*sync.from);
        std::string offset = std::to_string(seconds);
        if (seconds > 0) {
            offset.insert(0, 1, '+');
        }
        add({Text(*sync.from), Text(*sync.to), offset, url});
        add(asker);
        return {EventKind::Information, kEventClockSet, inserts};
    }
    if (sync.answer.outcome == ServiceOutcome::CannotSet) {
        add({sync.to ? Text(*sync.to) : "(none)", url});
        add(asker);
        add({systemReason});
        return {EventKind::Error, kEventNotSet, inserts};
    }
    add({WhyRefused(sync.answer.outcome), url});
    add(asker);
    return {EventKind::Warning, kEventRefused, inserts};
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
