#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/http.h"
#include "win32/shared/clock_win32.h"

// What both downloads, the program's and the clock service's, call themselves.
inline constexpr wchar_t kHttpAgent[] = L"VBandWinInet/1.0";

// Reads a page's body within the limits of platform/http.h, the time counted from started
// (a GetTickCount64 time). available(DWORD*) and read(char*, DWORD, DWORD*) are the
// library's two calls. Asking first lets a read return what has arrived instead of waiting
// for a full buffer, so a trickling server cannot hold the download past the time limit.
template <typename Available, typename Read>
std::string ReadPageBody(ULONGLONG started, Available available, Read read) {
    constexpr DWORD kReadSize = 1024;
    std::string body;
    char buffer[kReadSize] = {};
    while (body.size() < kMaxPageBytes && GetTickCount64() - started < kWholeDownloadMs) {
        DWORD ready = 0;
        if (!available(&ready) || ready == 0) {
            break;
        }
        const DWORD wanted =
            std::min({ready, kReadSize, static_cast<DWORD>(kMaxPageBytes - body.size())});
        DWORD got = 0;
        if (!read(buffer, wanted, &got) || got == 0) {
            break;
        }
        body.append(buffer, got);
    }
    return body;
}

// When a request went out and its answer came (T1 and T4), from the library's status
// callbacks: those come after the connection and any TLS handshake, so neither counts. A
// proxy's CONNECT or a resent request is timed by the last request that went out.
struct RequestTiming {
    int64_t sentAt = 0;
    int64_t answeredAt = 0;

    void Sending() {
        sentAt = MonotonicTicks();
        answeredAt = 0;
    }
    void Answered() {
        if (sentAt != 0 && answeredAt == 0) {
            answeredAt = MonotonicTicks();
        }
    }
    // Where the library gave no callback: the instants before the call that sent the
    // request and after the one that read the answer's headers.
    void Complete(int64_t beforeSend, int64_t afterHeaders, PageDownload& download) const {
        download.sentAt = sentAt != 0 ? sentAt : beforeSend;
        download.answeredAt = sentAt != 0 && answeredAt != 0 ? answeredAt : afterHeaders;
    }
};

// A status callback of either library, whose context is the request's RequestTiming.
template <DWORD kSendingRequest, DWORD kResponseReceived>
void CALLBACK TimeRequest(void*, DWORD_PTR context, DWORD status, void*, DWORD) {
    auto* timing = reinterpret_cast<RequestTiming*>(context);
    if (timing == nullptr) {
        return;
    }
    if (status == kSendingRequest) {
        timing->Sending();
    } else if (status == kResponseReceived) {
        timing->Answered();
    }
}
