#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A download gives up after this long without progress on the network, and after this long
// in all; the window waits for it at most their sum, frozen meanwhile.
inline constexpr unsigned kNetworkTimeoutMs = 10000;
inline constexpr unsigned kWholeDownloadMs = 30000;
inline constexpr unsigned kDownloadLimitMs = kWholeDownloadMs + kNetworkTimeoutMs;
// An endless page must not exhaust memory: what comes after this many bytes is not read.
inline constexpr std::size_t kMaxPageBytes = std::size_t{64} * 1024;

// The response header in which a time page may state when it answered: Unix time in UTC,
// decimal seconds, "T2 T3" (began to answer, about to write) or "T3" alone.
inline constexpr char kPageClockHeader[] = "Zelmora-Time";

// One GET of the page, timed: the instants are Clock::ReadClocks' monotonic ticks.
struct PageDownload {
    std::string text;         // the body; empty when the page could not be fetched
    std::string clockHeader;  // kPageClockHeader's value; empty when it was not sent
    int64_t sentAt = 0;       // the request went out (T1)
    int64_t answeredAt = 0;   // the answer's headers had arrived (T4)
};

class Http {
public:
    // One GET of url within kDownloadLimitMs; its text is empty when it could not be fetched.
    virtual PageDownload DownloadUrlText(const std::string& url) = 0;

protected:
    ~Http() = default;
};
