#include "win32/win32_platform.h"

#include <shellapi.h>

void Win32Shell::ShellOpen(const std::string& target) {
    ShellExecuteA(nullptr, "Open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void Win32Tray::ShellNotifyIcon(uint32_t message, const NotifyIconRecord& record) {
    static_assert(kNotifyIconRecordSize == NOTIFYICONDATAA_V1_SIZE);
#if defined(_WIN32) && !defined(_WIN64)
    static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the first record version is 88 bytes");
#endif
    NOTIFYICONDATAA data{};
    data.cbSize = record.cbSize;
    data.hWnd = reinterpret_cast<HWND>(record.hWnd);
    data.uID = record.uID;
    data.uFlags = record.uFlags;
    data.uCallbackMessage = record.uCallbackMessage;
    data.hIcon = reinterpret_cast<HICON>(record.hIcon);
    static_assert(sizeof data.szTip >= sizeof record.szTip);
    std::copy(record.szTip.begin(), record.szTip.end(), data.szTip);
    Shell_NotifyIconA(message, &data);
}
