#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock_service.h"
#include "platform/http.h"
#include "platform/system_clock.h"

// The clock service fetches no more often than this, whoever asks.
inline constexpr uint64_t kServiceFetchIntervalMs = 10000;

// True when the service may act on a page from url: only https:// authenticates the server.
bool ServiceMayFetch(const std::string& url);

// The clock service's one job: fetches the page at url (the built-in one) and sets the
// clock's time of day to it the shortest way, as the program's Synchronize does. For an
// address ServiceMayFetch refuses, NeedsHttps at once, without fetching.
ServiceAnswer SynchronizeOnce(Http& http, Clock& clock, const std::string& url);

// Decides for each request whether the service starts a synchronisation, so that at most
// one starts per kServiceFetchIntervalMs.
class SynchronizeRateLimit {
public:
    enum class Decision {
        Start,        // start one now and answer with its outcome
        JoinRunning,  // one is running: answer with its outcome
        Last,         // one ended recently: answer with Last()
    };

    Decision OnRequest(uint64_t nowMs);
    void Finished(const ServiceAnswer& answer);
    const ServiceAnswer& Last() const { return last_; }

private:
    std::optional<uint64_t> lastStartMs_;
    bool running_ = false;
    ServiceAnswer last_;
};
