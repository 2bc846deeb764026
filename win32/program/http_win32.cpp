#include "win32/program/win32_platform.h"

#include <process.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "win32/shared/page_body.h"
#include "win32/shared/system_dll.h"
#include "win32/shared/wide.h"

namespace {

// WinINet is loaded on the first download, not at start-up: a program that waits in the
// tray all day need not carry the internet library, and all it brings in, until it fetches.
struct WinInet {
    decltype(&::InternetOpenW) InternetOpenW = nullptr;
    decltype(&::InternetConnectW) InternetConnectW = nullptr;
    decltype(&::HttpOpenRequestW) HttpOpenRequestW = nullptr;
    decltype(&::HttpSendRequestW) HttpSendRequestW = nullptr;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW = nullptr;
    decltype(&::InternetQueryDataAvailable) InternetQueryDataAvailable = nullptr;
    decltype(&::InternetReadFile) InternetReadFile = nullptr;
    decltype(&::InternetSetOptionW) InternetSetOptionW = nullptr;
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW = nullptr;
    decltype(&::InternetCrackUrlW) InternetCrackUrlW = nullptr;
    decltype(&::InternetCloseHandle) InternetCloseHandle = nullptr;
};

std::optional<WinInet> LoadWinInet() {
    HMODULE module = LoadSystemDll(L"wininet.dll");
    WinInet api;
    if (!module || !Resolve(module, "InternetOpenW", api.InternetOpenW) ||
        !Resolve(module, "InternetConnectW", api.InternetConnectW) ||
        !Resolve(module, "HttpOpenRequestW", api.HttpOpenRequestW) ||
        !Resolve(module, "HttpSendRequestW", api.HttpSendRequestW) ||
        !Resolve(module, "HttpQueryInfoW", api.HttpQueryInfoW) ||
        !Resolve(module, "InternetQueryDataAvailable", api.InternetQueryDataAvailable) ||
        !Resolve(module, "InternetReadFile", api.InternetReadFile) ||
        !Resolve(module, "InternetSetOptionW", api.InternetSetOptionW) ||
        !Resolve(module, "InternetSetStatusCallbackW", api.InternetSetStatusCallbackW) ||
        !Resolve(module, "InternetCrackUrlW", api.InternetCrackUrlW) ||
        !Resolve(module, "InternetCloseHandle", api.InternetCloseHandle)) {
        return std::nullopt;
    }
    return api;
}

// The one WinINet of the process, or null when it cannot be loaded. First called on the
// window's thread, before any worker starts.
const WinInet* LoadedWinInet() {
    static const std::optional<WinInet> loaded = LoadWinInet();
    return loaded ? &*loaded : nullptr;
}

struct InternetHandleTraits : KeepsLastError {
    using pointer = HINTERNET;
    static pointer invalid() { return nullptr; }
    static void close(pointer handle) { LoadedWinInet()->InternetCloseHandle(handle); }
};
using unique_hinternet = unique_handle<InternetHandleTraits>;

// A dead, endless or trickling server must neither freeze the window for long (the limits
// are in platform/http.h) nor exhaust memory.

void SetTimeouts(const WinInet& api, HINTERNET handle) {
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                               INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD milliseconds = kNetworkTimeoutMs;
        api.InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds);
    }
}

struct UrlParts {
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
    bool secure = false;
};

// One download, shared by the window's thread and the worker that fetches it.
struct Download {
    std::string url;
    PageDownload page;
    unique_kernel_handle done{CreateEventW(nullptr, /*bManualReset=*/TRUE,
                                           /*bInitialState=*/FALSE, nullptr)};
};

bool CrackUrl(const WinInet& api, const std::string& url, UrlParts& parts) {
    wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH] = L"";
    wchar_t path[INTERNET_MAX_PATH_LENGTH] = L"";
    wchar_t extra[INTERNET_MAX_PATH_LENGTH] = L"";
    URL_COMPONENTSW components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host;
    components.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = INTERNET_MAX_PATH_LENGTH;
    components.lpszExtraInfo = extra;
    components.dwExtraInfoLength = INTERNET_MAX_PATH_LENGTH;
    const std::wstring wideUrl = Widen(url);
    if (!api.InternetCrackUrlW(wideUrl.c_str(), 0, 0, &components) ||
        (components.nScheme != INTERNET_SCHEME_HTTP &&
         components.nScheme != INTERNET_SCHEME_HTTPS)) {
        return false;
    }
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host = host;
    parts.path = std::wstring(path) + extra;
    parts.port = components.nPort;
    return true;
}

// The page's clock header; empty when it was not sent or is too long to be one.
std::string ClockHeader(const WinInet& api, HINTERNET request) {
    // Asked by name: the buffer holds the header's name on the way in, its value on the way out.
    wchar_t value[128] = L"";
    const std::wstring name = Widen(kPageClockHeader);
    std::copy(name.begin(), name.end(), value);
    DWORD size = sizeof value - sizeof(wchar_t);
    if (!api.HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, value, &size, nullptr)) {
        return {};
    }
    return Narrow(std::wstring_view(value, size / sizeof(wchar_t)));
}

// One GET of the page. The request is opened in steps rather than in one call, because
// only a request handle reliably takes the time-outs before the request goes out. The body
// is handed over before the handles close: closing a request makes WinINet read out the
// rest of the answer for as long as the server keeps sending.
void Fetch(const WinInet& api, Download& download) {
    const ULONGLONG started = GetTickCount64();
    UrlParts parts;
    if (!CrackUrl(api, download.url, parts)) {
        return;
    }
    // Through the proxy the user's settings name, if any: on many networks the only way out.
    unique_hinternet internet(
        api.InternetOpenW(kHttpAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) {
        return;
    }
    SetTimeouts(api, internet.get());
    unique_hinternet connection(api.InternetConnectW(internet.get(), parts.host.c_str(), parts.port,
                                                     nullptr, nullptr, INTERNET_SERVICE_HTTP, 0,
                                                     0));
    if (!connection) {
        return;
    }
    SetTimeouts(api, connection.get());
    // Never from a cache, and no redirects: the page must come from the one address. No
    // cookies: a page could track the PC with them, or grow every later request past what
    // servers accept. Nothing is kept on disk, and no credentials are offered. Over TLS every
    // certificate error fails the request: nothing here relaxes WinINet's checks.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI |
                        (parts.secure ? INTERNET_FLAG_SECURE : 0);
    // The callbacks' context; it outlives the request.
    RequestTiming timing;
    unique_hinternet request(api.HttpOpenRequestW(connection.get(), L"GET", parts.path.c_str(),
                                                  nullptr, nullptr, nullptr, flags,
                                                  reinterpret_cast<DWORD_PTR>(&timing)));
    if (!request) {
        return;
    }
    SetTimeouts(api, request.get());
    api.InternetSetStatusCallbackW(
        request.get(),
        TimeRequest<INTERNET_STATUS_SENDING_REQUEST, INTERNET_STATUS_RESPONSE_RECEIVED>);
    // Only the page itself: an error page, or a portal's in its place, may show a time too.
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    const int64_t beforeSend = MonotonicTicks();
    if (!api.HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        return;
    }
    timing.Complete(beforeSend, MonotonicTicks(), download.page);
    if (!api.HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                            &statusSize, nullptr) ||
        status != HTTP_STATUS_OK) {
        return;
    }
    download.page.clockHeader = ClockHeader(api, request.get());
    download.page.text = ReadPageBody(
        started,
        [&](DWORD* ready) {
            return api.InternetQueryDataAvailable(request.get(), ready, 0, 0) != FALSE;
        },
        [&](char* buffer, DWORD size, DWORD* got) {
            return api.InternetReadFile(request.get(), buffer, size, got) != FALSE;
        });
    SetEvent(download.done.get());
    // The request before the connection before the session.
    request.reset();
    connection.reset();
}

unsigned __stdcall FetchThread(void* param) {
    const std::unique_ptr<std::shared_ptr<Download>> download(
        static_cast<std::shared_ptr<Download>*>(param));
    Fetch(*LoadedWinInet(), **download);
    SetEvent((*download)->done.get());
    return 0;
}

}  // namespace

// WinINet can hold a thread far past the time limits (in HttpSendRequest while a server
// sends endless headers, in InternetCloseHandle while it sends an endless body), so the
// fetch runs on a worker that the window waits for only so long. A worker still held by
// the last server refuses the next download rather than piling up.
PageDownload Win32Http::DownloadUrlText(const std::string& url) {
    if (worker_ && WaitForSingleObject(worker_.get(), 0) == WAIT_TIMEOUT) {
        return {};
    }
    if (!LoadedWinInet()) {
        return {};
    }
    auto download = std::make_shared<Download>();
    download->url = url;
    if (!download->done) {
        return {};
    }
    auto workerShare = std::make_unique<std::shared_ptr<Download>>(download);
    unique_kernel_handle worker(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, FetchThread, workerShare.get(), 0, nullptr)));
    if (!worker) {
        return {};
    }
    // FetchThread owns the share from here on.
    static_cast<void>(workerShare.release());
    worker_ = std::move(worker);
    if (WaitForSingleObject(download->done.get(), kDownloadLimitMs) != WAIT_OBJECT_0) {
        return {};
    }
    return download->page;
}
