#include "win32/win32_platform.h"

#include <shellapi.h>

#include "win32/main_window_win32.h"
#include "win32/tray_tip.h"

namespace {

static_assert(kMouseMove == WM_MOUSEMOVE && kLeftButtonUp == WM_LBUTTONUP &&
              kLeftButtonDoubleClick == WM_LBUTTONDBLCLK && kRightButtonUp == WM_RBUTTONUP);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the first record version is 88 bytes");
#endif

// The shell's record in its first, ANSI version, which every Windows understands.
NOTIFYICONDATAA NotifyIconRecord(const Win32MainWindow& window, const TrayIcon& icon) {
    NOTIFYICONDATAA record{};
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = window.Handle();
    record.uID = icon.id;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = icon.callbackMessage;
    record.hIcon = window.Icon();
    static_assert(sizeof record.szTip >= kTipChars);
    FillTip(std::span<char, kTipChars>(record.szTip, kTipChars), icon.tip);
    return record;
}

}  // namespace

void Win32Tray::AddIcon(const TrayIcon& icon) {
    NOTIFYICONDATAA record = NotifyIconRecord(window_, icon);
    Shell_NotifyIconA(NIM_ADD, &record);
}

void Win32Tray::RemoveIcon(const TrayIcon& icon) {
    NOTIFYICONDATAA record = NotifyIconRecord(window_, icon);
    Shell_NotifyIconA(NIM_DELETE, &record);
}
