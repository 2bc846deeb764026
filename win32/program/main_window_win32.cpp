#include "win32/program/main_window_win32.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "win32/program/dpi_win32.h"
#include "win32/program/tray_mouse.h"
#include "win32/shared/wide.h"

namespace {

constexpr UINT_PTR kTimerTimeId = 1;
// What Ctrl+A types: the first control character.
constexpr WPARAM kCtrlAChar = 'A' - '@';
static_assert(static_cast<int>(CheckBoxState::Unchecked) == BST_UNCHECKED &&
              static_cast<int>(CheckBoxState::Checked) == BST_CHECKED &&
              static_cast<int>(CheckBoxState::Greyed) == BST_INDETERMINATE);
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

COLORREF ToColorref(Rgb c) {
    return RGB(c.r, c.g, c.b);
}

// The system's text for an error code, as a user would read it.
std::string SystemMessage(DWORD error) {
    if (error == ERROR_SUCCESS) {
        return "The system gave no reason.";
    }
    wchar_t text[512] = L"";
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, 512, nullptr);
    return length ? Narrow(std::wstring_view(text, length))
                  : "System error " + std::to_string(error) + ".";
}

}  // namespace

Win32MainWindow::Win32MainWindow(HINSTANCE instance)
    : instance_(instance), className_(Widen(kMainWindowClass)), dpi_(ScreenDpi()) {
    LoadIcons();
    whiteBrush_.reset(CreateSolidBrush(ToColorref(kWindowBackground)));
    faceBrush_.reset(CreateSolidBrush(ToColorref(kButtonFace)));
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance_;
    wc.hIcon = icon_.get();
    wc.hIconSm = smallIcon_.get();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = whiteBrush_.get();
    wc.lpszClassName = className_.c_str();
    RegisterClassExW(&wc);
}

Win32MainWindow::~Win32MainWindow() {
    if (hwnd_) {
        DestroyWindow(hwnd_);
    }
}

RECT Win32MainWindow::PlacedFrame(int dpi) const {
    RECT frame = FrameForClient(TwipsToPixels(kClientWidthTwips, dpi),
                                TwipsToPixels(kClientHeightTwips, dpi), kWindowStyle, dpi);
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    OffsetRect(
        &frame,
        static_cast<int>(work.left + std::max(0L, (work.right - work.left - frame.right) / 2)),
        static_cast<int>(work.top + std::max(0L, (work.bottom - work.top - frame.bottom) / 2)));
    return frame;
}

bool Win32MainWindow::Load(std::string& failure) {
    if (hwnd_) {
        return true;
    }
    const int sizedFor = dpi_;
    const RECT frame = PlacedFrame(sizedFor);
    if (!CreateWindowExW(0, className_.c_str(), L"", kWindowStyle, frame.left, frame.top,
                         frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                         instance_, this)) {
        failure = SystemMessage(GetLastError());
        hwnd_ = nullptr;  // a window that failed after WM_NCCREATE is gone
        return false;
    }
    // The monitor the window came up on may have another DPI than the screen reported.
    if (dpi_ != sizedFor) {
        const RECT placed = PlacedFrame(dpi_);
        SetWindowPos(hwnd_, nullptr, placed.left, placed.top, placed.right - placed.left,
                     placed.bottom - placed.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (events_) {
        events_->OnLoad();
    }
    return true;
}

LRESULT CALLBACK Win32MainWindow::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Win32MainWindow* self = nullptr;
    if (msg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<Win32MainWindow*>(create->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    return self ? self->HandleMessage(msg, wParam, lParam)
                : DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT Win32MainWindow::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == taskbarCreated_ && taskbarCreated_ != 0) {
        if (events_) {
            events_->OnTaskbarCreated();
        }
        return 0;
    }
    switch (msg) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_SETCURSOR:
            if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam), HIWORD(lParam))) {
                return TRUE;
            }
            break;
        case WM_MOUSEMOVE:
            OnMouseMove(lParam);
            return 0;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (const ControlRecord* record = RecordOf(reinterpret_cast<HWND>(lParam))) {
                if (HBRUSH brush = OnCtlColor(reinterpret_cast<HDC>(wParam), *record)) {
                    return reinterpret_cast<LRESULT>(brush);
                }
            }
            break;
        case WM_DRAWITEM:
            OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_DPICHANGED:
            if (LOWORD(wParam) != 0 && lParam != 0) {
                OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        case WM_ACTIVATE:
            OnActivate(wParam);
            return 0;
        case WM_TIMER:
            if (wParam == kTimerTimeId && events_) {
                events_->OnTimer();
            }
            return 0;
        case WM_SIZE:
            if (events_) {
                events_->OnResize();
            }
            return 0;
        case WM_CLOSE:
            // The window is never destroyed by a close: the program lives on in the tray.
            if (events_) {
                events_->OnCloseRequest(CloseReason::User);
            }
            return 0;
        case WM_QUERYENDSESSION:
            if (events_) {
                events_->OnCloseRequest(CloseReason::SessionEnding);
            }
            return TRUE;
        case WM_SETTINGCHANGE:
            // Group Policy broadcasts "Policy" once it has applied a change.
            if (lParam != 0 && events_ &&
                lstrcmpiW(reinterpret_cast<const wchar_t*>(lParam), L"Policy") == 0) {
                events_->OnPolicyChange();
            }
            return 0;
        case WM_POWERBROADCAST:
            if (wParam == PBT_APMRESUMEAUTOMATIC && events_) {
                events_->OnResume();
            }
            return TRUE;
        case WM_ENDSESSION:
            if (wParam && events_) {
                events_->OnUnload();
            }
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

void Win32MainWindow::OnCreate() {
    if (const int dpi = WindowDpi(hwnd_); dpi != dpi_) {
        dpi_ = dpi;
        LoadIcons();
    }
    CreateControls();
    trayMenu_.reset(CreatePopupMenu());
    AppendMenuW(trayMenu_.get(), MF_STRING, static_cast<UINT_PTR>(MenuId::mnuRestore), L"&Restore");
    AppendMenuW(trayMenu_.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(trayMenu_.get(), MF_STRING, static_cast<UINT_PTR>(MenuId::mnuExit), L"&Exit");
}

void Win32MainWindow::OnCommand(int id, int code, HWND control) {
    if (!events_) {
        return;
    }
    if (!control) {
        if (id == static_cast<int>(MenuId::mnuRestore)) {
            events_->OnMenuRestore();
        } else if (id == static_cast<int>(MenuId::mnuExit)) {
            events_->OnMenuExit();
        }
        return;
    }
    // STN_CLICKED has the value of BN_CLICKED. Owner-drawn buttons report a quick second
    // click as a double click; it is a click all the same.
    if (code != BN_CLICKED && code != BN_DOUBLECLICKED) {
        return;
    }
    const ControlRecord* record = RecordOf(control);
    if (!record) {
        return;
    }
    if (record->spec->kind == ControlKind::CheckBox) {
        const bool checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(control, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
        return;
    }
    switch (record->spec->id) {
        case ControlId::cmdCheckTime:
            events_->OnCheckTimeClick();
            break;
        case ControlId::cmdSynchronize:
            events_->OnSynchronizeClick();
            break;
        case ControlId::lblReadme:
            events_->OnReadmeClick();
            break;
        case ControlId::lblWebsite:
            events_->OnWebsiteClick();
            break;
        default:
            break;
    }
}

bool Win32MainWindow::OnSetCursor(HWND under, UINT hitTest, UINT mouseMessage) {
    if (hitTest != HTCLIENT || under == hwnd_) {
        return false;
    }
    const ControlRecord* record = RecordOf(under);
    if (!record || record->spec->kind != ControlKind::Link) {
        return false;
    }
    if (mouseMessage == WM_MOUSEMOVE && events_) {
        events_->OnLinkMouseMove(record->spec->id);
    }
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return true;
}

void Win32MainWindow::OnMouseMove(LPARAM lParam) {
    // Only the bare client area counts: the frame lets the pointer through to the window,
    // but it is a control of its own. Tray notifications lie outside every control.
    const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    HWND child = ChildWindowFromPointEx(hwnd_, pt, CWP_SKIPINVISIBLE);
    if ((child == nullptr || child == hwnd_) && events_) {
        events_->OnBareMouseMove(TrayMouseFromLParam(static_cast<uint32_t>(lParam)));
    }
}

void Win32MainWindow::OnActivate(WPARAM wParam) {
    // Keep the focused control across deactivation, as a dialog does.
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus)) {
            lastFocus_ = focus;
        }
        return;
    }
    if (!IsIconic(hwnd_)) {
        SetFocus(lastFocus_ ? lastFocus_ : Record(kTabOrder.front()).window);
    }
}

bool Win32MainWindow::PreTranslateMessage(const MSG& msg) {
    if (!hwnd_ || (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd))) {
        return false;
    }
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB) {
        const bool backwards = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
        const auto current = static_cast<ControlId>(GetDlgCtrlID(GetFocus()));
        const ControlRecord& next = Record(NextInTabOrder(current, backwards));
        SetFocus(next.window);
        if (next.spec->kind == ControlKind::TextBox) {
            SendMessageW(next.window, EM_SETSEL, 0, -1);
        }
        SendMessageW(hwnd_, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
        return true;
    }
    // Ctrl+A selects the whole text, as users expect of a text box.
    const ControlRecord* record = RecordOf(msg.hwnd);
    if (msg.message == WM_KEYDOWN && msg.wParam == 'A' && (GetKeyState(VK_CONTROL) & 0x8000) &&
        record && record->spec->kind == ControlKind::TextBox) {
        SendMessageW(msg.hwnd, EM_SETSEL, 0, -1);
        return true;
    }
    // A single-line box would beep at these; there is nothing for them to do here. Tab, Enter
    // and Esc type the characters of their key codes.
    return msg.message == WM_CHAR && (msg.wParam == VK_TAB || msg.wParam == VK_RETURN ||
                                      msg.wParam == VK_ESCAPE || msg.wParam == kCtrlAChar);
}

void Win32MainWindow::SetText(ControlId control, std::string_view text) {
    SetWindowTextW(Record(control).window, Widen(text).c_str());
}

void Win32MainWindow::GetText(ControlId control, std::string& text) {
    HWND hwnd = Record(control).window;
    const int length = GetWindowTextLengthW(hwnd);
    wideText_.resize(static_cast<std::size_t>(length) + 1);
    const int copied = GetWindowTextW(hwnd, wideText_.data(), length + 1);
    Utf16ToUtf8(std::wstring_view(wideText_.data(), static_cast<std::size_t>(std::max(copied, 0))),
                text);
}

CheckBoxState Win32MainWindow::CheckState(ControlId control) {
    return static_cast<CheckBoxState>(SendMessageW(Record(control).window, BM_GETCHECK, 0, 0));
}

void Win32MainWindow::SetCheckState(ControlId control, CheckBoxState state) {
    SendMessageW(Record(control).window, BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

void Win32MainWindow::SetTextColor(ControlId control, Rgb color) {
    ControlRecord& record = Record(control);
    if (record.textColor == color) {
        return;
    }
    record.textColor = color;
    InvalidateRect(record.window, nullptr, /*bErase=*/TRUE);
}

void Win32MainWindow::SetEnabled(ControlId control, bool enabled) {
    EnableWindow(Record(control).window, enabled ? TRUE : FALSE);
}

void Win32MainWindow::Show() {
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
}

void Win32MainWindow::Hide() {
    ShowWindow(hwnd_, SW_HIDE);
}

WindowState Win32MainWindow::State() {
    return IsIconic(hwnd_) ? WindowState::Minimized : WindowState::Normal;
}

void Win32MainWindow::SetState(WindowState state) {
    ShowWindow(hwnd_, state == WindowState::Minimized ? SW_MINIMIZE : SW_RESTORE);
}

void Win32MainWindow::SetForeground() {
    SetForegroundWindow(hwnd_);
}

void Win32MainWindow::EnableTimer() {
    SetTimer(hwnd_, kTimerTimeId, kTimerTimeIntervalMs, nullptr);
}

void Win32MainWindow::PopupTrayMenu() {
    POINT pt{};
    GetCursorPos(&pt);
    TrackPopupMenu(trayMenu_.get(), TPM_LEFTALIGN | TPM_LEFTBUTTON, pt.x, pt.y, 0, hwnd_, nullptr);
    // Without this the menu may not close when the user clicks elsewhere.
    PostMessageW(hwnd_, WM_NULL, 0, 0);
}

bool Win32MainWindow::AskOkCancel(std::string_view text) {
    return MessageBoxW(hwnd_, Widen(text).c_str(), Widen(kTitle).c_str(),
                       MB_OKCANCEL | MB_SETFOREGROUND) == IDOK;
}
