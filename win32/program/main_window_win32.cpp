#include "win32/program/main_window_win32.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "resources/resource_ids.h"
#include "win32/program/logo_bitmap.h"
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

int ScreenDpi() {
    const unique_screen_dc screen(GetDC(nullptr));
    const int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
    return dpi > 0 ? dpi : 96;
}

struct ControlClass {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};

ControlClass ClassFor(ControlKind kind) {
    constexpr DWORD kLabel = SS_LEFT | SS_NOPREFIX | SS_NOTIFY;
    switch (kind) {
        case ControlKind::Frame:
            return {L"BUTTON", BS_GROUPBOX, 0};
        case ControlKind::CheckBox:
            return {L"BUTTON", BS_3STATE | WS_TABSTOP, 0};
        case ControlKind::TextBox:
            return {L"EDIT", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
        case ControlKind::Button:
            // Owner-drawn, so the face has the same colour under every theme.
            return {L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 0};
        case ControlKind::Picture:
            return {L"STATIC", SS_BITMAP | SS_CENTERIMAGE | SS_NOTIFY, 0};
        case ControlKind::OneLineLabel:
            // Drawn by the window in one call: the static control's own painting costs
            // several times as much, and the clock label is drawn anew every second.
            return {L"STATIC", SS_OWNERDRAW | SS_NOTIFY, 0};
        case ControlKind::Label:
        case ControlKind::Link:
            return {L"STATIC", kLabel, 0};
    }
    return {L"STATIC", kLabel, 0};
}

}  // namespace

Win32MainWindow::Win32MainWindow(HINSTANCE instance)
    : instance_(instance), className_(Widen(kMainWindowClass)) {
    icon_.reset(static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(IDI_ZELMORA), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR)));
    smallIcon_.reset(static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(IDI_ZELMORA), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
    whiteBrush_.reset(CreateSolidBrush(ToColorref(kWindowBackground)));
    faceBrush_.reset(CreateSolidBrush(ToColorref(kButtonFace)));
    for (std::size_t i = 0; i < kMainWindowControls.size(); ++i) {
        textColors_[i] = kMainWindowControls[i].textColor.value_or(Rgb{});
    }
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

bool Win32MainWindow::Load(std::string& failure) {
    if (hwnd_) {
        return true;
    }
    dpi_ = ScreenDpi();
    RECT frame{0, 0, TwipsToPixels(kClientWidthTwips, dpi_),
               TwipsToPixels(kClientHeightTwips, dpi_)};
    AdjustWindowRectEx(&frame, kWindowStyle, /*bMenu=*/FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = static_cast<int>(work.left + std::max(0L, (work.right - work.left - width) / 2));
    const int y = static_cast<int>(work.top + std::max(0L, (work.bottom - work.top - height) / 2));

    if (!CreateWindowExW(0, className_.c_str(), L"", kWindowStyle, x, y, width, height, nullptr,
                         nullptr, instance_, this)) {
        failure = SystemMessage(GetLastError());
        hwnd_ = nullptr;  // a window that failed after WM_NCCREATE is gone
        return false;
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
        case WM_CTLCOLORBTN: {
            HBRUSH brush =
                OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
            if (brush) {
                return reinterpret_cast<LRESULT>(brush);
            }
            break;
        }
        case WM_DRAWITEM:
            OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
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
    CreateControls();
    trayMenu_.reset(CreatePopupMenu());
    AppendMenuW(trayMenu_.get(), MF_STRING, static_cast<UINT_PTR>(MenuId::mnuRestore), L"&Restore");
    AppendMenuW(trayMenu_.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(trayMenu_.get(), MF_STRING, static_cast<UINT_PTR>(MenuId::mnuExit), L"&Exit");
}

void Win32MainWindow::CreateControls() {
    HWND previous = HWND_TOP;
    for (std::size_t i = 0; i < kMainWindowControls.size(); ++i) {
        const ControlSpec& spec = kMainWindowControls[i];
        const PixelRect r = ControlRect(spec, dpi_);
        const ControlClass cls = ClassFor(spec.kind);
        const std::wstring text = Widen(spec.text);
        HWND control = CreateWindowExW(
            cls.exStyle, cls.className, text.c_str(),
            cls.style | WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, r.left, r.top, r.width, r.height,
            hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance_, nullptr);
        controls_[i] = control;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(spec.font)),
                     /*redraw=*/FALSE);
        // Stack in creation order, so the interval box stays in front of its check box.
        SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = control;
    }
    // The frame only draws a border and caption around its contents, so it goes behind them.
    SetWindowPos(Control(ControlId::Frame2), HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    LoadLogo();
}

HFONT Win32MainWindow::FontFor(const FontSpec& spec) {
    for (const auto& [known, font] : fonts_) {
        if (known == spec) {
            return font.get();
        }
    }
    LOGFONTW lf{};
    if (spec.points == 0) {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        lf = metrics.lfMessageFont;
    } else {
        lf.lfHeight = -FontHeightPixels(spec.points, dpi_);
        lf.lfWeight = spec.bold ? FW_BOLD : FW_NORMAL;
        lf.lfItalic = spec.italic ? TRUE : FALSE;
        lf.lfUnderline = spec.underline ? TRUE : FALSE;
        lf.lfCharSet = ANSI_CHARSET;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        lf.lfQuality = DEFAULT_QUALITY;
        lf.lfPitchAndFamily = DEFAULT_PITCH | FF_SWISS;
        std::copy(kFontFace.begin(), kFontFace.end(), lf.lfFaceName);
    }
    fonts_.emplace_back(spec, unique_hfont(CreateFontIndirectW(&lf)));
    return fonts_.back().second.get();
}

void Win32MainWindow::LoadLogo() {
    logo_ = LoadLogoBitmap(instance_);
    if (!logo_) {
        return;
    }
    HWND image = Control(ControlId::Image1);
    SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logo_.get()));
    // Setting a bitmap may resize the control; it keeps the size of the layout.
    const PixelRect r = ControlRect(FindControl(ControlId::Image1), dpi_);
    SetWindowPos(image, nullptr, r.left, r.top, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND Win32MainWindow::Control(ControlId id) const {
    return controls_[ControlIndex(id)];
}

const ControlSpec* Win32MainWindow::SpecOf(HWND window) const {
    const auto index = FindControlIndex(GetDlgCtrlID(window));
    return index && controls_[*index] == window ? &kMainWindowControls[*index] : nullptr;
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
    const ControlSpec* spec = SpecOf(control);
    if (spec && spec->kind == ControlKind::CheckBox) {
        SetCheckState(spec->id, CheckState(spec->id) == CheckBoxState::Checked
                                    ? CheckBoxState::Unchecked
                                    : CheckBoxState::Checked);
        return;
    }
    switch (static_cast<ControlId>(id)) {
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
    const ControlSpec* spec = SpecOf(under);
    if (!spec || spec->kind != ControlKind::Link) {
        return false;
    }
    if (mouseMessage == WM_MOUSEMOVE && events_) {
        events_->OnLinkMouseMove(spec->id);
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

HBRUSH Win32MainWindow::OnCtlColor(HDC dc, HWND control) {
    const auto index = FindControlIndex(GetDlgCtrlID(control));
    if (!index) {
        return nullptr;
    }
    const ControlSpec& spec = kMainWindowControls[*index];
    if (spec.textColor) {
        ::SetTextColor(dc, ToColorref(textColors_[*index]));
    }
    switch (spec.background) {
        case Background::White:
            SetBkColor(dc, ToColorref(kWindowBackground));
            return whiteBrush_.get();
        case Background::SystemWindow:
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return GetSysColorBrush(COLOR_WINDOW);
        case Background::ButtonFace:
            SetBkColor(dc, ToColorref(kButtonFace));
            return faceBrush_.get();
        case Background::Platform:
            break;
    }
    return nullptr;
}

void Win32MainWindow::OnDrawItem(const DRAWITEMSTRUCT& item) {
    if (item.CtlType == ODT_STATIC) {
        DrawOneLineLabel(item);
        return;
    }
    if (item.CtlType != ODT_BUTTON) {
        return;
    }
    RECT r = item.rcItem;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    DrawFrameControl(item.hDC, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
    RECT face = r;
    InflateRect(&face, -2, -2);
    FillRect(item.hDC, &face, faceBrush_.get());

    wchar_t text[64] = L"";
    GetWindowTextW(item.hwndItem, text, 64);
    RECT textRect = face;
    if (pressed) {
        OffsetRect(&textRect, 1, 1);
    }
    {
        const auto font = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
        const ScopedSelection selected(item.hDC, font);
        SetBkMode(item.hDC, TRANSPARENT);
        ::SetTextColor(item.hDC, GetSysColor(COLOR_BTNTEXT));
        DrawTextW(item.hDC, text, -1, &textRect,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    if ((item.itemState & ODS_FOCUS) && !(item.itemState & ODS_NOFOCUSRECT)) {
        RECT focus = r;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(item.hDC, &focus);
    }
}

void Win32MainWindow::DrawOneLineLabel(const DRAWITEMSTRUCT& item) {
    wchar_t text[256] = L"";
    const int length = std::max(GetWindowTextW(item.hwndItem, text, 256), 0);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
    const ScopedSelection selected(item.hDC, font);
    ::SetTextColor(item.hDC, GetSysColor(COLOR_WINDOWTEXT));
    OnCtlColor(item.hDC, item.hwndItem);
    // Background and text at once, clipped to the label; no wrapping, no prefix characters.
    ExtTextOutW(item.hDC, item.rcItem.left, item.rcItem.top, ETO_OPAQUE | ETO_CLIPPED, &item.rcItem,
                text, static_cast<UINT>(length), nullptr);
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
        SetFocus(lastFocus_ ? lastFocus_ : Control(kTabOrder.front()));
    }
}

bool Win32MainWindow::PreTranslateMessage(const MSG& msg) {
    if (!hwnd_ || (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd))) {
        return false;
    }
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB) {
        const bool backwards = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
        const auto current = static_cast<ControlId>(GetDlgCtrlID(GetFocus()));
        const ControlId nextId = NextInTabOrder(current, backwards);
        HWND next = Control(nextId);
        SetFocus(next);
        if (FindControl(nextId).kind == ControlKind::TextBox) {
            SendMessageW(next, EM_SETSEL, 0, -1);
        }
        SendMessageW(hwnd_, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
        return true;
    }
    // Ctrl+A selects the whole text, as users expect of a text box.
    if (msg.message == WM_KEYDOWN && msg.wParam == 'A' && (GetKeyState(VK_CONTROL) & 0x8000) &&
        IsKind(msg.hwnd, ControlKind::TextBox)) {
        SendMessageW(msg.hwnd, EM_SETSEL, 0, -1);
        return true;
    }
    // A single-line box would beep at these; there is nothing for them to do here. Tab, Enter
    // and Esc type the characters of their key codes.
    return msg.message == WM_CHAR && (msg.wParam == VK_TAB || msg.wParam == VK_RETURN ||
                                      msg.wParam == VK_ESCAPE || msg.wParam == kCtrlAChar);
}

void Win32MainWindow::SetText(ControlId control, std::string_view text) {
    SetWindowTextW(Control(control), Widen(text).c_str());
}

void Win32MainWindow::GetText(ControlId control, std::string& text) {
    HWND hwnd = Control(control);
    const int length = GetWindowTextLengthW(hwnd);
    wideText_.resize(static_cast<std::size_t>(length) + 1);
    const int copied = GetWindowTextW(hwnd, wideText_.data(), length + 1);
    Utf16ToUtf8(std::wstring_view(wideText_.data(), static_cast<std::size_t>(std::max(copied, 0))),
                text);
}

CheckBoxState Win32MainWindow::CheckState(ControlId control) {
    return static_cast<CheckBoxState>(SendMessageW(Control(control), BM_GETCHECK, 0, 0));
}

void Win32MainWindow::SetCheckState(ControlId control, CheckBoxState state) {
    SendMessageW(Control(control), BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

void Win32MainWindow::SetTextColor(ControlId control, Rgb color) {
    const std::size_t index = ControlIndex(control);
    if (textColors_[index] == color) {
        return;
    }
    textColors_[index] = color;
    InvalidateRect(Control(control), nullptr, /*bErase=*/TRUE);
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
