#include "timeservice/service_synchronizer.h"

#include <cstdio>

#include "timeservice/time_page.h"

bool ServiceMayFetch(const std::string& url) {
    return url.starts_with("https://");
}

ServiceSync SynchronizeOnce(Http& http, Clock& clock, const PageChoice& page,
                            std::optional<uint32_t> maxStepSeconds) {
    if (!page.refusal.empty()) {
        return {{ServiceOutcome::CannotGet}, {}, {}, {}, {}};
    }
    if (!ServiceMayFetch(page.url)) {
        return {{ServiceOutcome::NeedsHttps}, {}, {}, {}, {}};
    }
    const PageDownload download = http.DownloadUrlText(page.url);
    const auto body = ParseTimePage(download.text);
    if (!body) {
        return {{ServiceOutcome::CannotGet}, {}, {}, {}, {}};
    }
    const ClockReading now = clock.ReadClocks();
    const ClockEstimate estimate = EstimateClock(*body, download, now);
    const SystemTime from = SystemTimeFromTicks(now.utc);
    const SystemTime to =
        ClockNeedsStep(estimate) ? StepTarget(estimate, clock.ReadClocks().monotonic) : from;
    if (to != from && !StepAllowed(estimate, maxStepSeconds)) {
        return {{ServiceOutcome::TooFar}, from, to, estimate, maxStepSeconds};
    }
    if (to != from && clock.SetSystemTime(to) != SetClockResult::Done) {
        return {{ServiceOutcome::CannotSet}, from, to, estimate, {}};
    }
    return {{ServiceOutcome::Set, static_cast<uint8_t>(to.wHour), static_cast<uint8_t>(to.wMinute),
             static_cast<uint8_t>(to.wSecond)},
            from,
            to,
            estimate,
            {}};
}

namespace {

// Whole seconds, as the record's times show them.
int64_t SecondsOf(const SystemTime& t) {
    return (TicksFromSystemTime(t) - int64_t{t.wMilliseconds} * kTicksPerMillisecond) /
           kTicksPerSecond;
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

std::vector<std::string> Asker(const ServiceClient& client) {
    return {client.user.empty() ? "(unknown)" : client.user, std::to_string(client.session),
            std::to_string(client.process)};
}

}  // namespace

ServiceEvent DescribeSync(const ServiceSync& sync, const std::string& url,
                          const ServiceClient& client, const std::string& reason) {
    const std::vector<std::string> asker = Asker(client);
    std::vector<std::string> inserts;
    const auto add = [&inserts](std::vector<std::string> more) {
        inserts.insert(inserts.end(), more.begin(), more.end());
    };
    const bool tooFar = sync.answer.outcome == ServiceOutcome::TooFar;
    if ((sync.answer.outcome == ServiceOutcome::Set || tooFar) && sync.from && sync.to &&
        sync.estimate) {
        const int64_t seconds = SecondsOf(*sync.to) - SecondsOf(*sync.from);
        std::string offset = std::to_string(seconds);
        if (seconds > 0) {
            offset.insert(0, 1, '+');
        }
        add({Text(*sync.from), Text(*sync.to), offset, url});
        add(asker);
        add({MillisecondsText(sync.estimate->offset, /*sign=*/true),
             tooFar ? std::to_string(sync.maxStepSeconds.value_or(0))
                    : MillisecondsText(sync.estimate->bound, /*sign=*/false)});
        if (tooFar) {
            return {EventKind::Warning, kEventTooFar, inserts};
        }
        return {EventKind::Information,
                ClockNeedsStep(*sync.estimate) ? kEventClockSet : kEventWithinBound, inserts};
    }
    if (sync.answer.outcome == ServiceOutcome::CannotSet) {
        add({sync.to ? Text(*sync.to) : "(none)", url});
        add(asker);
        add({reason});
        return {EventKind::Error, kEventNotSet, inserts};
    }
    const bool chosenRefused = sync.answer.outcome == ServiceOutcome::CannotGet && !reason.empty();
    add({chosenRefused ? reason : WhyRefused(sync.answer.outcome), url});
    add(asker);
    return {EventKind::Warning, kEventRefused, inserts};
}

ServiceEvent DescribeUnidentified(const std::string& url, const ServiceClient& client) {
    std::vector<std::string> inserts{
        "the client's identity could not be read (it allows no identification, or its token "
        "could not be opened), so nothing was done for it",
        url};
    const std::vector<std::string> asker = Asker(client);
    inserts.insert(inserts.end(), asker.begin(), asker.end());
    return {EventKind::Warning, kEventRefused, inserts};
}

ServiceEvent DescribeJoined(const std::string& url, const ServiceClient& client,
                            const ServiceClient& asker) {
    std::vector<std::string> inserts{url};
    const std::vector<std::string> who = Asker(client);
    inserts.insert(inserts.end(), who.begin(), who.end());
    inserts.push_back(std::to_string(asker.process));
    return {EventKind::Information, kEventJoined, inserts};
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
