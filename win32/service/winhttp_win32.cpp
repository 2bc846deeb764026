#include <windows.h>
#include <process.h>
#include <winhttp.h>

#include <optional>
#include <string>
#include <utility>

#include "win32/shared/handles.h"
#include "win32/shared/page_body.h"
#include "win32/shared/service_names.h"
#include "win32/shared/system_dll.h"
#include "win32/service/service_win32.h"
#include "win32/shared/wide.h"

namespace {

// WinHTTP is loaded from the system folder at run time, not imported: an imported DLL that
// is not one of the KnownDLLs is searched for beside the program first.
struct WinHttp {
    decltype(&::WinHttpOpen) Open = nullptr;
    decltype(&::WinHttpGetDefaultProxyConfiguration) GetDefaultProxyConfiguration = nullptr;
    decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
    decltype(&::WinHttpSetOption) SetOption = nullptr;
    decltype(&::WinHttpConnect) Connect = nullptr;
    decltype(&::WinHttpOpenRequest) OpenRequest = nullptr;
    decltype(&::WinHttpSendRequest) SendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) QueryHeaders = nullptr;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable = nullptr;
    decltype(&::WinHttpReadData) ReadData = nullptr;
    decltype(&::WinHttpCrackUrl) CrackUrl = nullptr;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback = nullptr;
    decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
};

std::optional<WinHttp> LoadWinHttp() {
    HMODULE module = LoadSystemDll(L"winhttp.dll");
    WinHttp api;
    if (!module || !Resolve(module, "WinHttpOpen", api.Open) ||
        !Resolve(module, "WinHttpGetDefaultProxyConfiguration", api.GetDefaultProxyConfiguration) ||
        !Resolve(module, "WinHttpSetTimeouts", api.SetTimeouts) ||
        !Resolve(module, "WinHttpSetOption", api.SetOption) ||
        !Resolve(module, "WinHttpConnect", api.Connect) ||
        !Resolve(module, "WinHttpOpenRequest", api.OpenRequest) ||
        !Resolve(module, "WinHttpSendRequest", api.SendRequest) ||
        !Resolve(module, "WinHttpReceiveResponse", api.ReceiveResponse) ||
        !Resolve(module, "WinHttpQueryHeaders", api.QueryHeaders) ||
        !Resolve(module, "WinHttpQueryDataAvailable", api.QueryDataAvailable) ||
        !Resolve(module, "WinHttpReadData", api.ReadData) ||
        !Resolve(module, "WinHttpCrackUrl", api.CrackUrl) ||
        !Resolve(module, "WinHttpSetStatusCallback", api.SetStatusCallback) ||
        !Resolve(module, "WinHttpCloseHandle", api.CloseHandle)) {
        return std::nullopt;
    }
    return api;
}

// The one WinHTTP of the process, or null when it cannot be loaded. Only the service's one
// worker at a time downloads, so the first call has no rival.
const WinHttp* LoadedWinHttp() {
    static const std::optional<WinHttp> loaded = LoadWinHttp();
    return loaded ? &*loaded : nullptr;
}

struct WinHttpHandleTraits : KeepsLastError {
    using pointer = HINTERNET;
    static pointer invalid() { return nullptr; }
    static void close(pointer handle) { LoadedWinHttp()->CloseHandle(handle); }
};
using unique_winhttp = unique_handle<WinHttpHandleTraits>;

// As the program's own download: the same agent, time-outs and size limit.
constexpr int kStepTimeoutMs = static_cast<int>(kNetworkTimeoutMs);
// Older headers lack TLS 1.3's flag; Windows before 11 refuses it, and then gets TLS 1.2.
constexpr DWORD kTls12 = 0x00000800;
constexpr DWORD kTls13 = 0x00002000;

bool SetDword(const WinHttp& api, HINTERNET handle, DWORD option, DWORD value) {
    return api.SetOption(handle, option, &value, sizeof value) != FALSE;
}

// Older headers lack it: Windows 8.1 and later detect a proxy on the network; older ones
// refuse it.
constexpr DWORD kAutomaticProxy = 4;

// Only an administrator's choice: any host on the network may answer a proxy detection.
bool AutomaticProxyAllowed() {
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, kClockServiceParameters, kAutomaticProxyValue,
                        RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS &&
           value == 1;
}

// The machine's proxy, as `netsh winhttp set proxy` names it, else none; a proxy detected on
// the network only where an administrator allowed it, the machine names none and Windows can.
HINTERNET OpenSession(const WinHttp& api) {
    WINHTTP_PROXY_INFO machine{};
    const bool named = api.GetDefaultProxyConfiguration(&machine) &&
                       machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    GlobalFree(machine.lpszProxy);
    GlobalFree(machine.lpszProxyBypass);
    HINTERNET session = named || !AutomaticProxyAllowed()
                            ? nullptr
                            : api.Open(kHttpAgent, kAutomaticProxy, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0);
    return session ? session
                   : api.Open(kHttpAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
}

// Closes the request when the download's whole time is up, whatever WinHTTP waits for: its
// time-outs count each step and each read afresh, so a trickle could hold it without end.
class RequestDeadline {
public:
    RequestDeadline(unique_winhttp request, ULONGLONG deadline)
        : request_(std::move(request)), raw_(request_.get()), deadline_(deadline) {
        if (raw_ && done_) {
            thread_.reset(
                reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Watch, this, 0, nullptr)));
        }
    }
    RequestDeadline(const RequestDeadline&) = delete;
    RequestDeadline& operator=(const RequestDeadline&) = delete;
    ~RequestDeadline() {
        if (thread_) {
            SetEvent(done_.get());
            WaitForSingleObject(thread_.get(), INFINITE);
        }
    }
    // Null when the deadline cannot be watched: then nothing is fetched.
    HINTERNET get() const { return thread_ ? raw_ : nullptr; }

private:
    static unsigned __stdcall Watch(void* param) {
        auto* self = static_cast<RequestDeadline*>(param);
        const ULONGLONG now = GetTickCount64();
        const DWORD left =
            self->deadline_ > now ? static_cast<DWORD>(self->deadline_ - now) : DWORD{0};
        if (WaitForSingleObject(self->done_.get(), left) == WAIT_TIMEOUT) {
            self->request_.reset();  // the owner's calls on it fail from here on
        }
        return 0;
    }

    unique_winhttp request_;
    HINTERNET raw_;
    ULONGLONG deadline_;
    unique_kernel_handle done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    unique_kernel_handle thread_;
};

bool IsPage(const WinHttp& api, HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    return api.QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                            WINHTTP_NO_HEADER_INDEX) &&
           status == HTTP_STATUS_OK;
}

// The page's clock header; empty when it was not sent or is too long to be one.
std::string ClockHeader(const WinHttp& api, HINTERNET request) {
    wchar_t value[128] = L"";
    DWORD size = sizeof value - sizeof(wchar_t);
    if (!api.QueryHeaders(request, WINHTTP_QUERY_CUSTOM, Widen(kPageClockHeader).c_str(), value,
                          &size, WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    return Narrow(std::wstring_view(value, size / sizeof(wchar_t)));
}

}  // namespace

// Through the machine's proxy, if any: a service has no user's settings. Ends within the
// program's whole limit whatever a proxy or the page sends. Never a redirect,
// a cookie, credentials or authentication (a proxy that asks for them gets none, and the
// fetch fails); WinHTTP keeps no cache. Only a 200 answer is a page. Over TLS every certificate
// fault fails the request: no security flag is ever relaxed. Windows 7 and 8 offer only TLS 1.0
// unless asked for 1.2. A page that has not arrived within the program's whole limit is not used.
PageDownload Win32WinHttp::DownloadUrlText(const std::string& url) {
    const ULONGLONG started = GetTickCount64();
    const WinHttp* api = LoadedWinHttp();
    if (!api) {
        return {};
    }
    const std::wstring wideUrl = Widen(url);
    wchar_t host[256] = L"";
    wchar_t path[2048] = L"";
    wchar_t extra[2048] = L"";
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = ARRAYSIZE(extra);
    if (!api->CrackUrl(wideUrl.c_str(), 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        return {};
    }
    // The path and the query, as the program requests them.
    const std::wstring object = std::wstring(path) + extra;
    const unique_winhttp session(OpenSession(*api));
    if (!session ||
        !api->SetTimeouts(session.get(), kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs,
                          kStepTimeoutMs) ||
        !SetDword(*api, session.get(), WINHTTP_OPTION_REDIRECT_POLICY,
                  WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
        return {};
    }
    // Vista and an unpatched Windows 7 know no TLS 1.2 and keep their own choice.
    if (!SetDword(*api, session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12 | kTls13)) {
        SetDword(*api, session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12);
    }
    const unique_winhttp connection(api->Connect(session.get(), host, parts.nPort, 0));
    if (!connection) {
        return {};
    }
    const DWORD flags =
        WINHTTP_FLAG_REFRESH | (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    // The callbacks' context; it outlives the request.
    RequestTiming timing;
    const RequestDeadline request(
        unique_winhttp(api->OpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags)),
        started + kDownloadLimitMs);
    if (!request.get() ||
        !SetDword(*api, request.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                  WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS |
                      WINHTTP_DISABLE_AUTHENTICATION | WINHTTP_DISABLE_KEEP_ALIVE) ||
        !SetDword(*api, request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY,
                  WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH)) {
        return {};
    }
    api->SetStatusCallback(
        request.get(),
        TimeRequest<WINHTTP_CALLBACK_STATUS_SENDING_REQUEST,
                    WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED>,
        WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE, 0);
    const int64_t beforeSend = MonotonicTicks();
    if (!api->SendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, reinterpret_cast<DWORD_PTR>(&timing)) ||
        !api->ReceiveResponse(request.get(), nullptr)) {
        return {};
    }
    PageDownload download;
    timing.Complete(beforeSend, MonotonicTicks(), download);
    if (!IsPage(*api, request.get())) {
        return {};
    }
    download.clockHeader = ClockHeader(*api, request.get());
    download.text = ReadPageBody(
        started,
        [&](DWORD* ready) { return api->QueryDataAvailable(request.get(), ready) != FALSE; },
        [&](char* buffer, DWORD size, DWORD* got) {
            return api->ReadData(request.get(), buffer, size, got) != FALSE;
        });
    if (GetTickCount64() - started > kDownloadLimitMs) {
        return {};
    }
    return download;
}
