#include "platform/win32/win32_platform.h"

namespace {

constexpr char kAgent[] = "VBandWinInet/1.0";
constexpr DWORD kReadSize = 1024;
// A dead, endless or trickling server must neither freeze the window for long nor
// exhaust memory.
constexpr DWORD kConnectAndReceiveTimeoutMs = 10000;
constexpr ULONGLONG kWholeDownloadMs = 30000;
constexpr std::size_t kMaxBody = 64 * 1024;

void SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
    InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds);
}

}  // namespace

std::string Win32Http::DownloadUrlText(const std::string& url) {
    const ULONGLONG started = GetTickCount64();
    unique_hinternet internet(InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PROXY, "", "", 0));
    if (!internet) {
        return {};
    }
    SetTimeout(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, kConnectAndReceiveTimeoutMs);
    SetTimeout(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, kConnectAndReceiveTimeoutMs);
    SetTimeout(internet.get(), INTERNET_OPTION_SEND_TIMEOUT, kConnectAndReceiveTimeoutMs);

    // No redirects: the page must come from the one configured address.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    unique_hinternet request(InternetOpenUrlA(internet.get(), url.c_str(), "", 0, flags, 0));
    if (!request) {
        return {};
    }

    std::string responseText;
    char readBuffer[kReadSize] = {};
    DWORD bytesRead = 0;
    while (InternetReadFile(request.get(), readBuffer, kReadSize, &bytesRead) && bytesRead > 0) {
        responseText.append(readBuffer,
                            std::min<std::size_t>(bytesRead, kMaxBody - responseText.size()));
        if (responseText.size() >= kMaxBody || GetTickCount64() - started >= kWholeDownloadMs) {
            break;
        }
    }
    request.reset();  // the request before the session
    return responseText;
}
