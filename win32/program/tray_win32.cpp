#include "win32/program/win32_platform.h"

#include <shellapi.h>

#include "win32/program/main_window_win32.h"
#include "win32/program/tray_mouse.h"
#include "win32/program/tray_tip.h"
#include "win32/shared/wide.h"

namespace {

static_assert(kMouseMove == WM_MOUSEMOVE && kLeftButtonUp == WM_LBUTTONUP &&
              kLeftButtonDoubleClick == WM_LBUTTONDBLCLK && kRightButtonUp == WM_RBUTTONUP);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(NOTIFYICONDATAW_V1_SIZE == 152, "the first wide record version is 152 bytes");
#endif

// The shell's record in its first version, which every Windows understands: the fields up to
// a tip of 64 characters.
NOTIFYICONDATAW NotifyIconRecord(const Win32MainWindow& window, const TrayIcon& icon) {
    NOTIFYICONDATAW record{};
    record.cbSize = NOTIFYICONDATAW_V1_SIZE;
    record.hWnd = window.Handle();
    record.uID = icon.id;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = icon.callbackMessage;
    record.hIcon = window.SmallIcon();
    static_assert(sizeof record.szTip >= kTipChars);
    FillTip<wchar_t>(std::span<wchar_t, kTipChars>(record.szTip, kTipChars), Widen(icon.tip));
    return record;
}

}  // namespace

void Win32Tray::AddIcon(const TrayIcon& icon) {
    NOTIFYICONDATAW record = NotifyIconRecord(window_, icon);
    Shell_NotifyIconW(NIM_ADD, &record);
}

void Win32Tray::RemoveIcon(const TrayIcon& icon) {
    NOTIFYICONDATAW record = NotifyIconRecord(window_, icon);
    Shell_NotifyIconW(NIM_DELETE, &record);
}
