#pragma once

#include <string_view>

#include "platform/main_window.h"
#include "platform/tray.h"

struct Program;

inline constexpr std::string_view kReady = "Ready.";
inline constexpr std::string_view kExitQuestion = "Do you really want to close this application?";
inline constexpr std::string_view kReadmeFile = "readme.txt";

// Mouse messages that the tray icon reports.
inline constexpr uint32_t WM_MOUSEMOVE_MESSAGE = 0x0200;
inline constexpr uint32_t WM_LBUTTONUP_MESSAGE = 0x0202;
inline constexpr uint32_t WM_LBUTTONDBLCLK_MESSAGE = 0x0203;
inline constexpr uint32_t WM_RBUTTONUP_MESSAGE = 0x0205;

// The main window's behaviour: its load handling, button, link, tick and tray handlers.
class MainForm final : public MainWindowEvents {
public:
    explicit MainForm(Program& program) : p_(program) {}

    void TrayOn();
    void TrayOff();

    void OnLoad() override;
    void OnCheckTimeClick() override;
    void OnSynchronizeClick() override;
    void OnReadmeClick() override;
    void OnWebsiteClick() override;
    void OnLinkMouseMove(ControlId link) override;
    void OnBareMouseMove(uint32_t lParam) override;
    void OnTimer() override;
    void OnResize() override;
    bool OnCloseRequest(CloseReason reason) override;
    void OnUnload() override;
    void OnMenuRestore() override;
    void OnMenuExit() override;
    void OnTaskbarCreated() override;

private:
    void ResetLinkColors();
    void Restore();

    Program& p_;
    NotifyIconRecord NotifyIconRecord_;
};
