#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "platform/main_window.h"
#include "ui/main_window_layout.h"
#include "win32/shared/handles.h"
#include "win32/program/names.h"

// One control of the window, recorded when it is made: what a message about it needs.
struct ControlRecord {
    const ControlSpec* spec = nullptr;  // its row of the layout table
    HWND window = nullptr;
    HFONT font = nullptr;  // one of the window's fonts, at the window's DPI
    Rgb textColor{};       // the table's, until the program changes it
};

// The main window: one window class, one window procedure, the controls made from the
// layout table.
class Win32MainWindow final : public MainWindow {
public:
    explicit Win32MainWindow(HINSTANCE instance);
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;
    ~Win32MainWindow();

    void SetEvents(MainWindowEvents* events) { events_ = events; }
    // Keyboard navigation that a dialog would do; true when the message was consumed.
    bool PreTranslateMessage(const MSG& msg);

    bool Load(std::string& failure) override;
    void SetText(ControlId control, std::string_view text) override;
    void GetText(ControlId control, std::string& text) override;
    CheckBoxState CheckState(ControlId control) override;
    void SetCheckState(ControlId control, CheckBoxState state) override;
    void SetTextColor(ControlId control, Rgb color) override;
    void SetEnabled(ControlId control, bool enabled) override;
    void Show() override;
    void Hide() override;
    WindowState State() override;
    void SetState(WindowState state) override;
    void SetForeground() override;
    void EnableTimer() override;
    void PopupTrayMenu() override;
    bool AskOkCancel(std::string_view text) override;

    HWND Handle() const { return hwnd_; }
    // The caption's and the notification area's icon: the small icon size at the window's DPI.
    HICON SmallIcon() const { return smallIcon_.get(); }

private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

    void OnCreate();
    void OnCommand(int id, int code, HWND control);
    bool OnSetCursor(HWND under, UINT hitTest, UINT mouseMessage);
    void OnMouseMove(LPARAM lParam);
    HBRUSH OnCtlColor(HDC dc, const ControlRecord& record);
    void OnDrawItem(const DRAWITEMSTRUCT& item);
    void DrawButton(const DRAWITEMSTRUCT& item, const ControlRecord& record);
    void DrawOneLineLabel(const DRAWITEMSTRUCT& item, const ControlRecord& record);
    void OnActivate(WPARAM wParam);
    void OnDpiChanged(int dpi, const RECT& suggested);

    // The window's frame for the layout's client area at dpi, centred in the work area.
    RECT PlacedFrame(int dpi) const;
    void CreateControls();
    // Fonts, positions and pictures of every control at dpi_; the old fonts go after.
    void LayOut();
    HFONT FontFor(const FontSpec& spec);
    void LoadIcons();
    void LoadLogo();
    ControlRecord& Record(ControlId id);
    // The record of one of the controls; none for any other window.
    ControlRecord* RecordOf(HWND window);

    HINSTANCE instance_;
    std::wstring className_;
    HWND hwnd_ = nullptr;
    MainWindowEvents* events_ = nullptr;
    unique_hicon icon_;
    unique_hicon smallIcon_;
    UINT taskbarCreated_ = 0;
    int dpi_ = 96;
    std::array<ControlRecord, kMainWindowControls.size()> records_{};
    std::vector<std::pair<FontSpec, unique_hfont>> fonts_;
    unique_hbrush whiteBrush_;
    unique_hbrush faceBrush_;
    unique_hbitmap logo_;
    unique_hmenu trayMenu_;
    HWND lastFocus_ = nullptr;
    std::wstring wideText_;  // kept, so that repeated reads need not allocate
};
