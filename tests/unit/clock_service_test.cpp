#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "platform/clock_service.h"
#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"
#include "timeservice/service_synchronizer.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Request() {
    const ServiceRequestBytes r = SynchronizeRequest();
    return {r.begin(), r.end()};
}

Bytes Answer(const ServiceAnswer& answer) {
    const ServiceAnswerBytes a = EncodeServiceAnswer(answer);
    return {a.begin(), a.end()};
}

// The bytes with the one at index replaced, or with size changed to size.
Bytes With(Bytes bytes, std::size_t index, uint8_t value) {
    bytes.at(index) = value;
    return bytes;
}
Bytes Sized(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

struct RequestCase : NamedCase {
    Bytes bytes;
    bool accepted;
};

class RequestFormatTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestFormatTest, OnlyTheExactRequestIsAccepted) {
    EXPECT_EQ(IsSynchronizeRequest(GetParam().bytes), GetParam().accepted) << GetParam().name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, RequestFormatTest, ::testing::Values(
    RequestCase{"the request", Request(), true},
    RequestCase{"empty", {}, false},
    RequestCase{"truncated", Sized(Request(), kServiceRequestSize - 1), false},
    RequestCase{"oversized", Sized(Request(), kServiceRequestSize + 1), false},
    RequestCase{"other magic", With(Request(), 0, 'X'), false},
    RequestCase{"unknown version", With(Request(), 4, 2), false},
    RequestCase{"unknown command", With(Request(), 5, 2), false},
    RequestCase{"reserved byte set", With(Request(), 7, 1), false},
    RequestCase{"an answer", Answer({ServiceOutcome::Busy}), false}));
// clang-format on

TEST(AnswerFormatTest, EveryOutcomeRoundTrips) {
    for (const ServiceAnswer answer :
         {ServiceAnswer{ServiceOutcome::Set, 23, 59, 59}, ServiceAnswer{ServiceOutcome::Set},
          ServiceAnswer{ServiceOutcome::CannotGet}, ServiceAnswer{ServiceOutcome::CannotSet},
          ServiceAnswer{ServiceOutcome::Busy}, ServiceAnswer{ServiceOutcome::NeedsHttps},
          ServiceAnswer{ServiceOutcome::TooFar}}) {
        EXPECT_EQ(DecodeServiceAnswer(Answer(answer)), answer);
    }
}

struct AnswerCase : NamedCase {
    Bytes bytes;
};

class BadAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(BadAnswerTest, IsRefused) {
    EXPECT_EQ(DecodeServiceAnswer(GetParam().bytes), std::nullopt) << GetParam().name;
}

const Bytes kSetAnswer = Answer({ServiceOutcome::Set, 12, 0, 42});

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, BadAnswerTest, ::testing::Values(
    AnswerCase{"empty", {}},
    AnswerCase{"truncated", Sized(kSetAnswer, kServiceAnswerSize - 1)},
    AnswerCase{"oversized", Sized(kSetAnswer, kServiceAnswerSize + 1)},
    AnswerCase{"other magic", With(kSetAnswer, 3, 'Q')},
    AnswerCase{"outcome 0", With(kSetAnswer, 4, 0)},
    AnswerCase{"unknown outcome", With(kSetAnswer, 4, 7)},
    AnswerCase{"hour 24", With(kSetAnswer, 5, 24)},
    AnswerCase{"minute 60", With(kSetAnswer, 6, 60)},
    AnswerCase{"second 60", With(kSetAnswer, 7, 60)},
    AnswerCase{"a time without a set", With(Answer({ServiceOutcome::Busy}), 7, 1)},
    AnswerCase{"the request", Request()}));
// clang-format on

using Decision = SynchronizeRateLimit::Decision;

// Requests at the given milliseconds; "finish" between them ends the running one.
struct RateCase : NamedCase {
    std::vector<std::optional<uint64_t>> steps;  // a time: a request; nothing: finish
    std::vector<Decision> decisions;
};

class RateLimitTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateLimitTest, AtMostOneStartPerInterval) {
    SynchronizeRateLimit limit;
    std::vector<Decision> decisions;
    for (const auto& step : GetParam().steps) {
        if (step) {
            decisions.push_back(limit.OnRequest(*step));
        } else {
            limit.Finished({ServiceOutcome::CannotGet});
        }
    }
    EXPECT_EQ(decisions, GetParam().decisions) << GetParam().name;
}

constexpr std::nullopt_t kFinish = std::nullopt;
constexpr uint64_t kT = 5000000;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, RateLimitTest, ::testing::Values(
    RateCase{"first request starts", {0}, {Decision::Start}},
    RateCase{"requests while running join", {kT, kT + 1, kT + 20000}, {Decision::Start, Decision::JoinRunning, Decision::JoinRunning}},
    RateCase{"soon after: the last outcome", {kT, kFinish, kT + 9999}, {Decision::Start, Decision::Last}},
    RateCase{"ten seconds after the start: again", {kT, kFinish, kT + 10000}, {Decision::Start, Decision::Start}},
    RateCase{"a long run: at once after it", {kT, kT + 15000, kFinish, kT + 15001}, {Decision::Start, Decision::JoinRunning, Decision::Start}},
    RateCase{"a burst gets one start", {kT, kFinish, kT + 1, kT + 2, kT + 3, kT + 9999, kT + 10000, kFinish, kT + 10001}, {Decision::Start, Decision::Last, Decision::Last, Decision::Last, Decision::Last, Decision::Start, Decision::Last}}));
// clang-format on

TEST(RateLimitTest, LastIsTheLastFinishedOutcome) {
    SynchronizeRateLimit limit;
    limit.OnRequest(kT);
    limit.Finished({ServiceOutcome::Set, 1, 2, 3});
    EXPECT_EQ(limit.Last(), (ServiceAnswer{ServiceOutcome::Set, 1, 2, 3}));
}

constexpr char kHttps[] = "https://time.example.lan/cgi-bin/timer.pl?pc=1";

struct OnceCase : NamedCase {
    std::string url;
    std::string page;
    SetClockResult setResult;
    ServiceAnswer answer;
    std::optional<SystemTime> to;  // the time set, or to be set; the clock before when left
    std::optional<uint32_t> maxStep = std::nullopt;
    std::string refusal = {};  // why the administrator's address is not fetched
};

class SynchronizeOnceTest : public ::testing::TestWithParam<OnceCase> {};

TEST_P(SynchronizeOnceTest, FetchesTheBuiltInPageAndSetsTheShortestWayWhenOff) {
    const OnceCase& c = GetParam();
    EventLog log;
    FakeHttp http{log};
    FakeClock clock{log};
    const SystemTime before{2026, 12, 1, 7, 23, 59, 59, 250};
    clock.systemTime = before;
    clock.setResult = c.setResult;
    http.bodies = {c.page};
    const ServiceSync sync = SynchronizeOnce(http, clock, {c.url, c.refusal}, c.maxStep);
    EXPECT_EQ(sync.answer, c.answer) << c.name;
    // The record names the clock before and the time set, once a page was taken.
    EXPECT_EQ(sync.from, c.to ? std::optional(before) : std::nullopt) << c.name;
    EXPECT_EQ(sync.to, c.to) << c.name;
    EXPECT_EQ(sync.estimate.has_value(), c.to.has_value()) << c.name;
    // Over anything but https nothing is fetched, so nothing forged can be set.
    const bool fetches = c.answer.outcome != ServiceOutcome::NeedsHttps && c.refusal.empty();
    EXPECT_EQ(http.urls, fetches ? std::vector<std::string>{c.url} : std::vector<std::string>{})
        << c.name;
    const bool steps = c.to && *c.to != before && c.answer.outcome != ServiceOutcome::TooFar;
    EXPECT_EQ(clock.sets, steps ? std::vector<SystemTime>{*c.to} : std::vector<SystemTime>{})
        << c.name;
}

// The body alone: the page's time lies within its second and the exchange, so the middle.
const SystemTime kAcrossMidnight{2026, 12, 2, 8, 0, 0, 1, 500};
const SystemTime kLeft{2026, 12, 1, 7, 23, 59, 59, 250};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SynchronizeOnceTest, ::testing::Values(
    OnceCase{"set across midnight", kHttps, PageWithTime("00:00:01"), SetClockResult::Done, {ServiceOutcome::Set, 0, 0, 1}, kAcrossMidnight},
    OnceCase{"within the bound: left alone", kHttps, PageWithTime("23:59:59"), SetClockResult::Done, {ServiceOutcome::Set, 23, 59, 59}, kLeft},
    OnceCase{"no page", kHttps, "", SetClockResult::Done, {ServiceOutcome::CannotGet}, std::nullopt},
    OnceCase{"garbled page", kHttps, PageWithTime("00:0x:01"), SetClockResult::Done, {ServiceOutcome::CannotGet}, std::nullopt},
    OnceCase{"refused", kHttps, PageWithTime("00:00:01"), SetClockResult::NoPrivilege, {ServiceOutcome::CannotSet}, kAcrossMidnight},
    OnceCase{"failed", kHttps, PageWithTime("00:00:01"), SetClockResult::Failed, {ServiceOutcome::CannotSet}, kAcrossMidnight},
    OnceCase{"http", "http://127.0.0.1:8123/cgi-bin/timer.pl", PageWithTime("00:00:01"), SetClockResult::Done, {ServiceOutcome::NeedsHttps}, std::nullopt},
    OnceCase{"step within the limit", kHttps, PageWithTime("00:00:01"), SetClockResult::Done, {ServiceOutcome::Set, 0, 0, 1}, kAcrossMidnight, 3},
    OnceCase{"step over the limit", kHttps, PageWithTime("00:00:01"), SetClockResult::Done, {ServiceOutcome::TooFar}, kAcrossMidnight, 1},
    OnceCase{"within the bound, any limit", kHttps, PageWithTime("23:59:59"), SetClockResult::Done, {ServiceOutcome::Set, 23, 59, 59}, kLeft, 1},
    OnceCase{"administrator's address refused", kHttps, PageWithTime("00:00:01"), SetClockResult::Done, {ServiceOutcome::CannotGet}, std::nullopt, std::nullopt, "bad"}));
// clang-format on

// A request's own synchronisation, one it joined (asked by kJoinedAsker), or a client whose
// identity could not be read.
enum class Asked { Own, Joined, Unidentified };
const ServiceClient kJoinedAsker{"S-1-5-21-1-2-3-1002", 3, 777};

struct EventCase : NamedCase {
    ServiceSync sync;
    ServiceClient client;
    ServiceEvent event;
    Asked asked = Asked::Own;
    const char* reason = "Access is denied.";  // the system's, or why no page was fetched
};

class DescribeSyncTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(DescribeSyncTest, OneRecordPerAnswerWithWhoAsked) {
    const EventCase& c = GetParam();
    const ServiceEvent e = c.asked == Asked::Joined ? DescribeJoined(kHttps, c.client, kJoinedAsker)
                           : c.asked == Asked::Unidentified
                               ? DescribeUnidentified(kHttps, c.client)
                               : DescribeSync(c.sync, kHttps, c.client, c.reason);
    EXPECT_EQ(std::tie(e.kind, e.number), std::tie(c.event.kind, c.event.number)) << c.name;
    EXPECT_EQ(e.inserts, c.event.inserts) << c.name;
}

const SystemTime kBefore{2026, 12, 1, 7, 23, 59, 58, 250};
const SystemTime kAfter{2026, 12, 2, 8, 0, 0, 3, 250};
const ServiceClient kUser{"S-1-5-21-1-2-3-1001", 1, 4242};
// 5.000123 s off to within 0.5 ms, and 0.2 ms off to within 0.5 ms.
const ClockEstimate kOff{50'001'230, 5'000, true, 0, 0};
const ClockEstimate kRight{-2'000, 5'000, true, 0, 0};
const std::string kRefused =
    "the page's address is not https://, so anyone on the path could "
    "forge it";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, DescribeSyncTest, ::testing::Values(
    EventCase{"set forward across midnight", {{ServiceOutcome::Set, 0, 0, 3}, kBefore, kAfter, kOff, {}}, kUser,
              {EventKind::Information, kEventClockSet, {"2026-12-07 23:59:58", "2026-12-08 00:00:03", "+5", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242", "+5000.123", "0.500"}}},
    EventCase{"set back across midnight", {{ServiceOutcome::Set, 23, 59, 58}, kAfter, kBefore, kOff, {}}, kUser,
              {EventKind::Information, kEventClockSet, {"2026-12-08 00:00:03", "2026-12-07 23:59:58", "-5", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242", "+5000.123", "0.500"}}},
    EventCase{"within the bound: left", {{ServiceOutcome::Set, 23, 59, 58}, kBefore, kBefore, kRight, {}}, kUser,
              {EventKind::Information, kEventWithinBound, {"2026-12-07 23:59:58", "2026-12-07 23:59:58", "0", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242", "-0.200", "0.500"}}},
    EventCase{"not set", {{ServiceOutcome::CannotSet}, kBefore, kAfter, kOff, {}}, {"", 2, 7},
              {EventKind::Error, kEventNotSet, {"2026-12-08 00:00:03", kHttps, "(unknown)", "2", "7", "Access is denied."}}},
    EventCase{"step over the limit", {{ServiceOutcome::TooFar}, kBefore, kAfter, kOff, 4}, kUser,
              {EventKind::Warning, kEventTooFar, {"2026-12-07 23:59:58", "2026-12-08 00:00:03", "+5", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242", "+5000.123", "4"}}},
    EventCase{"bad address set", {{ServiceOutcome::CannotGet}, {}, {}, {}, {}}, kUser,
              {EventKind::Warning, kEventRefused, {"the TimePage value is bad", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242"}}, Asked::Own, "the TimePage value is bad"},
    EventCase{"needs https", {{ServiceOutcome::NeedsHttps}, {}, {}, {}, {}}, kUser,
              {EventKind::Warning, kEventRefused, {kRefused, kHttps, "S-1-5-21-1-2-3-1001", "1", "4242"}}},
    EventCase{"busy", {{ServiceOutcome::Busy}, {}, {}, {}, {}}, kUser,
              {EventKind::Warning, kEventRefused, {"the service's fetch had not ended within 40 seconds", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242"}}},
    EventCase{"no page", {{ServiceOutcome::CannotGet}, {}, {}, {}, {}}, kUser,
              {EventKind::Warning, kEventRefused, {"no time came from the page (unreachable, a certificate fault, a status other than 200, or no time on it)", kHttps, "S-1-5-21-1-2-3-1001", "1", "4242"}}, Asked::Own, ""},
    EventCase{"joined another's", {}, kUser,
              {EventKind::Information, kEventJoined, {kHttps, "S-1-5-21-1-2-3-1001", "1", "4242", "777"}}, Asked::Joined},
    EventCase{"identity unreadable", {}, {"", 2, 99},
              {EventKind::Warning, kEventRefused, {"the client's identity could not be read (it allows no identification, or its token could not be opened), so nothing was done for it", kHttps, "(unknown)", "2", "99"}}, Asked::Unidentified}));
// clang-format on

}  // namespace
