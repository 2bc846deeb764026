#include "platform/clock_service.h"

#include <algorithm>

namespace {

constexpr std::array<uint8_t, 4> kRequestMagic{'Z', 'C', 'S', 'Q'};
constexpr std::array<uint8_t, 4> kAnswerMagic{'Z', 'C', 'S', 'A'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kCommandSynchronize = 1;

}  // namespace

ServiceRequestBytes SynchronizeRequest() {
    ServiceRequestBytes bytes{};
    std::copy(kRequestMagic.begin(), kRequestMagic.end(), bytes.begin());
    bytes[4] = kVersion;
    bytes[5] = kCommandSynchronize;
    return bytes;
}

bool IsSynchronizeRequest(std::span<const uint8_t> bytes) {
    const ServiceRequestBytes expected = SynchronizeRequest();
    return std::ranges::equal(bytes, expected);
}

ServiceAnswerBytes EncodeServiceAnswer(const ServiceAnswer& answer) {
    ServiceAnswerBytes bytes{};
    std::copy(kAnswerMagic.begin(), kAnswerMagic.end(), bytes.begin());
    bytes[4] = static_cast<uint8_t>(answer.outcome);
    if (answer.outcome == ServiceOutcome::Set) {
        bytes[5] = answer.hour;
        bytes[6] = answer.minute;
        bytes[7] = answer.second;
    }
    return bytes;
}

std::optional<ServiceAnswer> DecodeServiceAnswer(std::span<const uint8_t> bytes) {
    if (bytes.size() != kServiceAnswerSize ||
        !std::equal(kAnswerMagic.begin(), kAnswerMagic.end(), bytes.begin())) {
        return std::nullopt;
    }
    const uint8_t outcome = bytes[4];
    if (outcome < static_cast<uint8_t>(ServiceOutcome::Set) ||
        outcome > static_cast<uint8_t>(ServiceOutcome::TooFar)) {
        return std::nullopt;
    }
    const ServiceAnswer answer{static_cast<ServiceOutcome>(outcome), bytes[5], bytes[6], bytes[7]};
    const bool timeValid = answer.outcome == ServiceOutcome::Set
                               ? answer.hour < 24 && answer.minute < 60 && answer.second < 60
                               : answer.hour == 0 && answer.minute == 0 && answer.second == 0;
    if (!timeValid) {
        return std::nullopt;
    }
    return answer;
}
