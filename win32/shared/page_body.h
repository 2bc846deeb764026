#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/http.h"

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
