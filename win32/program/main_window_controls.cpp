// The main window's controls: made once from the layout table, laid out at the window's DPI
// and again whenever it changes, coloured and painted from their records.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

#include "resources/resource_ids.h"
#include "win32/program/dpi_win32.h"
#include "win32/program/logo_bitmap.h"
#include "win32/program/main_window_win32.h"
#include "win32/shared/wide.h"

namespace {

COLORREF ToColorref(Rgb c) {
    return RGB(c.r, c.g, c.b);
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

void Win32MainWindow::CreateControls() {
    HWND previous = HWND_TOP;
    for (std::size_t i = 0; i < kMainWindowControls.size(); ++i) {
        const ControlSpec& spec = kMainWindowControls[i];
        const ControlClass cls = ClassFor(spec.kind);
        HWND control = CreateWindowExW(
            cls.exStyle, cls.className, Widen(spec.text).c_str(),
            cls.style | WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0, hwnd_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance_, nullptr);
        records_[i] = {&spec, control, nullptr, spec.textColor.value_or(Rgb{})};
        // Stack in creation order, so the interval box stays in front of its check box.
        SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = control;
    }
    // The frame only draws a border and caption around its contents, so it goes behind them.
    SetWindowPos(Record(ControlId::Frame2).window, HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    LayOut();
}

void Win32MainWindow::LayOut() {
    // The controls still use the old fonts until they are given the new ones.
    const auto oldFonts = std::exchange(fonts_, {});
    LoadLogo();
    for (ControlRecord& record : records_) {
        record.font = FontFor(record.spec->font);
        SendMessageW(record.window, WM_SETFONT, reinterpret_cast<WPARAM>(record.font),
                     /*redraw=*/FALSE);
        const PixelRect r = ControlRect(*record.spec, dpi_);
        SetWindowPos(record.window, nullptr, r.left, r.top, r.width, r.height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void Win32MainWindow::OnDpiChanged(int dpi, const RECT& suggested) {
    dpi_ = dpi;
    LayOut();
    LoadIcons();
    SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

HFONT Win32MainWindow::FontFor(const FontSpec& spec) {
    for (const auto& [known, font] : fonts_) {
        if (known == spec) {
            return font.get();
        }
    }
    LOGFONTW lf{};
    if (spec.points == 0) {
        lf = MessageFontForDpi(dpi_);
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

void Win32MainWindow::LoadIcons() {
    const auto load = [this](int width, int height) {
        return unique_hicon(static_cast<HICON>(LoadImageW(
            instance_, MAKEINTRESOURCEW(IDI_ZELMORA), IMAGE_ICON, SystemMetricForDpi(width, dpi_),
            SystemMetricForDpi(height, dpi_), LR_DEFAULTCOLOR)));
    };
    unique_hicon icon = load(SM_CXICON, SM_CYICON);
    unique_hicon smallIcon = load(SM_CXSMICON, SM_CYSMICON);
    if (hwnd_) {
        SetClassLongPtrW(hwnd_, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon.get()));
        SetClassLongPtrW(hwnd_, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(smallIcon.get()));
        SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon.get()));
        SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
    }
    // The old icons go only now that nothing shows them.
    icon_ = std::move(icon);
    smallIcon_ = std::move(smallIcon);
}

void Win32MainWindow::LoadLogo() {
    unique_hbitmap logo = LoadLogoBitmap(instance_, dpi_);
    if (!logo) {
        return;
    }
    // Setting a bitmap may resize the control; the layout puts it back in place after this.
    SendMessageW(Record(ControlId::Image1).window, STM_SETIMAGE, IMAGE_BITMAP,
                 reinterpret_cast<LPARAM>(logo.get()));
    logo_ = std::move(logo);
}

ControlRecord& Win32MainWindow::Record(ControlId id) {
    const auto found = std::find_if(records_.begin(), records_.end(),
                                    [id](const ControlRecord& r) { return r.spec->id == id; });
    if (found == records_.end()) {
        std::abort();  // an id outside the table is a programming error
    }
    return *found;
}

ControlRecord* Win32MainWindow::RecordOf(HWND window) {
    const auto found =
        std::find_if(records_.begin(), records_.end(),
                     [window](const ControlRecord& r) { return window && r.window == window; });
    return found == records_.end() ? nullptr : &*found;
}

HBRUSH Win32MainWindow::OnCtlColor(HDC dc, const ControlRecord& record) {
    if (record.spec->textColor) {
        ::SetTextColor(dc, ToColorref(record.textColor));
    }
    switch (record.spec->background) {
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
    const ControlRecord* record = RecordOf(item.hwndItem);
    if (!record) {
        return;
    }
    if (item.CtlType == ODT_STATIC) {
        DrawOneLineLabel(item, *record);
    } else if (item.CtlType == ODT_BUTTON) {
        DrawButton(item, *record);
    }
}

void Win32MainWindow::DrawButton(const DRAWITEMSTRUCT& item, const ControlRecord& record) {
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
        const ScopedSelection selected(item.hDC, record.font);
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

void Win32MainWindow::DrawOneLineLabel(const DRAWITEMSTRUCT& item, const ControlRecord& record) {
    wchar_t text[256] = L"";
    const int length = std::max(GetWindowTextW(item.hwndItem, text, 256), 0);
    const ScopedSelection selected(item.hDC, record.font);
    ::SetTextColor(item.hDC, GetSysColor(COLOR_WINDOWTEXT));
    OnCtlColor(item.hDC, record);
    // Background and text at once, clipped to the label; no wrapping, no prefix characters.
    ExtTextOutW(item.hDC, item.rcItem.left, item.rcItem.top, ETO_OPAQUE | ETO_CLIPPED, &item.rcItem,
                text, static_cast<UINT>(length), nullptr);
}
