#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock_service.h"
#include "platform/http.h"
#include "platform/managed_settings.h"
#include "platform/system_clock.h"
#include "timeservice/clock_estimate.h"

// The clock service fetches no more often than this, whoever asks.
inline constexpr uint64_t kServiceFetchIntervalMs = 10000;

// True when the service may act on a page from url: only https:// authenticates the server.
bool ServiceMayFetch(const std::string& url);

// What one synchronisation did: its answer and, once a page was taken, the estimate, the
// clock before and what it was set to (or was to be set to; the clock before when it lay
// within the estimate's bound and was left alone).
struct ServiceSync {
    ServiceAnswer answer;
    std::optional<SystemTime> from;
    std::optional<SystemTime> to;
    std::optional<ClockEstimate> estimate;
    // The step limit, when it refused the step.
    std::optional<uint32_t> maxStepSeconds;
};

// The clock service's one job: fetches the page (the administrator's or the built-in one) and,
// as the program's Synchronize does, sets the clock to the page's time the shortest way
// unless it lies within the estimate's bound, or is further off than maxStepSeconds. For an
// address ServiceMayFetch refuses, NeedsHttps at once, without fetching; for a refused
// choice, CannotGet.
ServiceSync SynchronizeOnce(Http& http, Clock& clock, const PageChoice& page,
                            std::optional<uint32_t> maxStepSeconds = std::nullopt);

// Who asked the service, as its pipe tells.
struct ServiceClient {
    std::string user;  // the user's SID; empty when it could not be read
    uint32_t session = 0;
    uint32_t process = 0;
};

// The service's record of an answer in its own log: each of its messages, by number
// (resources/service_events.mc), and the texts for its inserts %1, %2, ... in order.
enum class EventKind { Information, Warning, Error };
// A set and a clock left within the bound have the same inserts: from, to, seconds, page,
// user, session, process, offset (ms), bound (ms).
inline constexpr uint16_t kEventClockSet = 1;
inline constexpr uint16_t kEventRefused = 2;  // why, page, user, session, process
inline constexpr uint16_t kEventNotSet = 3;   // to, page, user, session, process, why
inline constexpr uint16_t kEventWithinBound = 4;
inline constexpr uint16_t kEventJoined = 5;  // page, user, session, process, the asker's process
// The clock set's inserts, the bound's in place of the limit in seconds.
inline constexpr uint16_t kEventTooFar = 6;
struct ServiceEvent {
    EventKind kind = EventKind::Warning;
    uint16_t number = kEventRefused;
    std::vector<std::string> inserts;

    friend bool operator==(const ServiceEvent&, const ServiceEvent&) = default;
};

// The record of one answer to client; reason: the system's words for a failed set, or why a
// page that could not be got was not fetched (PageChoice's refusal).
ServiceEvent DescribeSync(const ServiceSync& sync, const std::string& url,
                          const ServiceClient& client, const std::string& reason);
// The refusal of a client whose identity could not be read: it never reaches the clock.
ServiceEvent DescribeUnidentified(const std::string& url, const ServiceClient& client);
// A request that joined the synchronisation asker's request started and gets its outcome.
ServiceEvent DescribeJoined(const std::string& url, const ServiceClient& client,
                            const ServiceClient& asker);

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
