#include "platform/win32/win32_platform.h"

#include <algorithm>

namespace {

constexpr char kAgent[] = "VBandWinInet/1.0";
constexpr DWORD kReadSize = 1024;
// A dead, endless or trickling server must neither freeze the window for long nor
// exhaust memory.
constexpr DWORD kConnectAndReceiveTimeoutMs = 10000;
constexpr ULONGLONG kWholeDownloadMs = 30000;
constexpr std::size_t kMaxBody = 64 * 1024;

void SetTimeouts(HINTERNET handle) {
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                               INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD milliseconds = kConnectAndReceiveTimeoutMs;
        InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds);
    }
}

struct UrlParts {
    std::string host;
    std::string path;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
};

bool CrackUrl(const std::string& url, UrlParts& parts) {
    char host[INTERNET_MAX_HOST_NAME_LENGTH] = "";
    char path[INTERNET_MAX_PATH_LENGTH] = "";
    char extra[INTERNET_MAX_PATH_LENGTH] = "";
    URL_COMPONENTSA components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host;
    components.dwHostNameLength = sizeof host;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = sizeof path;
    components.lpszExtraInfo = extra;
    components.dwExtraInfoLength = sizeof extra;
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &components) ||
        components.nScheme != INTERNET_SCHEME_HTTP) {
        return false;
    }
    parts.host = host;
    parts.path = std::string(path) + extra;
    parts.port = components.nPort;
    return true;
}

}  // namespace

// One GET of the page. The request is opened in steps rather than in one call, because
// only a request handle reliably takes the time-outs before the request goes out.
std::string Win32Http::DownloadUrlText(const std::string& url) {
    const ULONGLONG started = GetTickCount64();
    UrlParts parts;
    if (!CrackUrl(url, parts)) {
        return {};
    }
    unique_hinternet internet(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PROXY, "", "", 0));
    if (!internet) {
        return {};
    }
    SetTimeouts(internet.get());
    unique_hinternet connection(InternetConnectA(internet.get(), parts.host.c_str(), parts.port,
                                                 nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        return {};
    }
    SetTimeouts(connection.get());
    // Never from a cache, and no redirects: the page must come from the one address.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    unique_hinternet request(HttpOpenRequestA(connection.get(), "GET", parts.path.c_str(),
                                              nullptr, nullptr, nullptr, flags, 0));
    if (!request) {
        return {};
    }
    SetTimeouts(request.get());
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
        return {};
    }

    std::string responseText;
    char readBuffer[kReadSize] = {};
    while (responseText.size() < kMaxBody && GetTickCount64() - started < kWholeDownloadMs) {
        // Asking first lets a read return what has arrived instead of waiting for a full
        // buffer, so a trickling server cannot hold the window past the time limit.
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request.get(), &available, 0, 0) || available == 0) {
            break;
        }
        const DWORD wanted = std::min<DWORD>(
            {available, kReadSize, static_cast<DWORD>(kMaxBody - responseText.size())});
        DWORD bytesRead = 0;
        if (!InternetReadFile(request.get(), readBuffer, wanted, &bytesRead) || bytesRead == 0) {
            break;
        }
        responseText.append(readBuffer, bytesRead);
    }
    // The request before the connection before the session.
    request.reset();
    connection.reset();
    return responseText;
}
