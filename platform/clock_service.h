#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// What the clock service did on one request. Busy: its synchronisation had not ended
// within the service's answer bound. NeedsHttps: its built-in address is not https://, so
// it fetched nothing (a page anyone on the path can forge must not reach the clock).
enum class ServiceOutcome : uint8_t {
    Set = 1,
    CannotGet = 2,
    CannotSet = 3,
    Busy = 4,
    NeedsHttps = 5,
    TooFar = 6  // the page's time is further off than the machine's policy lets it step
};

struct ServiceAnswer {
    ServiceOutcome outcome = ServiceOutcome::Busy;
    // The UTC time of day the clock was set to; zero unless the outcome is Set.
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;

    friend bool operator==(const ServiceAnswer&, const ServiceAnswer&) = default;
};

// The channel's two messages, each of a fixed size. A request carries nothing but its one
// command: no time, address or setting can reach the service.
inline constexpr std::size_t kServiceRequestSize = 8;
inline constexpr std::size_t kServiceAnswerSize = 8;
using ServiceRequestBytes = std::array<uint8_t, kServiceRequestSize>;
using ServiceAnswerBytes = std::array<uint8_t, kServiceAnswerSize>;

ServiceRequestBytes SynchronizeRequest();
// True only for exactly the bytes of SynchronizeRequest.
bool IsSynchronizeRequest(std::span<const uint8_t> bytes);
ServiceAnswerBytes EncodeServiceAnswer(const ServiceAnswer& answer);
// Nothing for any bytes EncodeServiceAnswer cannot have made.
std::optional<ServiceAnswer> DecodeServiceAnswer(std::span<const uint8_t> bytes);

// The installed clock service, which holds the right to set the time that the user may lack.
class ClockService {
public:
    // Has the service synchronise once and returns its answer; nothing when the service is
    // not installed, not running, not the one answering, or silent within its bound.
    virtual std::optional<ServiceAnswer> Synchronize() = 0;

protected:
    ~ClockService() = default;
};
