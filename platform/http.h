#pragma once

#include <cstddef>
#include <string>

// A download gives up after this long without progress on the network, and after this long
// in all; the window waits for it at most their sum, frozen meanwhile.
inline constexpr unsigned kNetworkTimeoutMs = 10000;
inline constexpr unsigned kWholeDownloadMs = 30000;
inline constexpr unsigned kDownloadLimitMs = kWholeDownloadMs + kNetworkTimeoutMs;
// An endless page must not exhaust memory: what comes after this many bytes is not read.
inline constexpr std::size_t kMaxPageBytes = std::size_t{64} * 1024;

class Http {
public:
    // The body of one GET of url, or the empty text when it could not be fetched, within
    // kDownloadLimitMs.
    virtual std::string DownloadUrlText(const std::string& url) = 0;

protected:
    ~Http() = default;
};
