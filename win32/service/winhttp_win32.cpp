#include <windows.h>
#include <winhttp.h>

#include <string>

#include "win32/shared/handles.h"
#include "win32/shared/page_body.h"
#include "win32/service/service_win32.h"
#include "win32/shared/wide.h"

namespace {

using unique_winhttp = unique_handle<NullHandleTraits<HINTERNET, &WinHttpCloseHandle>>;

// As the program's own download: the same agent, time-outs and size limit.
constexpr int kStepTimeoutMs = static_cast<int>(kNetworkTimeoutMs);

bool SetDword(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

}  // namespace

// No proxy, as the program fetches directly. Never a redirect, a cookie, credentials or
// authentication; WinHTTP keeps no cache. Over TLS every certificate fault fails the
// request: no security flag is ever relaxed.
std::string Win32WinHttp::DownloadUrlText(const std::string& url) {
    const ULONGLONG started = GetTickCount64();
    const std::wstring wideUrl = Widen(url);
    wchar_t host[256] = L"";
    wchar_t path[2048] = L"";
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        return {};
    }
    const unique_winhttp session(WinHttpOpen(kHttpAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session ||
        !WinHttpSetTimeouts(session.get(), kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs,
                            kStepTimeoutMs) ||
        !SetDword(session.get(), WINHTTP_OPTION_REDIRECT_POLICY,
                  WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
        return {};
    }
    const unique_winhttp connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    if (!connection) {
        return {};
    }
    const DWORD flags =
        WINHTTP_FLAG_REFRESH | (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    const unique_winhttp request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                                    WINHTTP_NO_REFERER,
                                                    WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request ||
        !SetDword(request.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                  WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS |
                      WINHTTP_DISABLE_AUTHENTICATION | WINHTTP_DISABLE_KEEP_ALIVE) ||
        !SetDword(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY,
                  WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH) ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return {};
    }
    return ReadPageBody(
        started,
        [&](DWORD* ready) { return WinHttpQueryDataAvailable(request.get(), ready) != FALSE; },
        [&](char* buffer, DWORD size, DWORD* got) {
            return WinHttpReadData(request.get(), buffer, size, got) != FALSE;
        });
}
