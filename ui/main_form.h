#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/app_core.h"
#include "platform/main_window.h"
#include "platform/runtime.h"
#include "platform/shell.h"
#include "platform/tray.h"
#include "timeservice/time_service.h"

inline constexpr std::string_view kReady = "Ready.";
inline constexpr std::string_view kExitQuestion = "Do you really want to close this application?";
inline constexpr std::string_view kReadmeFile = "readme.txt";

// The time service's view of the main window: the four controls it reads and writes.
class MainWindowTimeControls final : public TimeControls {
public:
    explicit MainWindowTimeControls(MainWindow& frmMain) : frmMain_(frmMain) {}

    void SetStatus(std::string_view text) override { frmMain_.SetText(ControlId::lblInfo, text); }
    void SetClock(std::string_view text) override { frmMain_.SetText(ControlId::lblTime, text); }
    CheckBoxState AutoState() override { return frmMain_.CheckState(ControlId::chkAuto); }
    void IntervalText(std::string& text) override {
        frmMain_.GetText(ControlId::txtInterval, text);
    }

private:
    MainWindow& frmMain_;
};

// The main window's behaviour: its load handling, button, link, tick and tray handlers.
class MainForm final : public MainWindowEvents {
public:
    MainForm(MainWindow& frmMain, Runtime& runtime, Tray& tray, Shell& shell,
             TimeService& timeService, AppCore& app)
        : frmMain_(frmMain),
          runtime_(runtime),
          tray_(tray),
          shell_(shell),
          timeService_(timeService),
          app_(app) {}

    void TrayOn();
    void TrayOff();

    void OnLoad() override;
    void OnCheckTimeClick() override;
    void OnSynchronizeClick() override;
    void OnReadmeClick() override;
    void OnWebsiteClick() override;
    void OnLinkMouseMove(ControlId link) override;
    void OnBareMouseMove(TrayMouse tray) override;
    void OnTimer() override;
    void OnResize() override;
    void OnCloseRequest(CloseReason reason) override;
    void OnUnload() override;
    void OnMenuRestore() override;
    void OnMenuExit() override;
    void OnTaskbarCreated() override;
    void OnPolicyChange() override;
    void OnResume() override;

private:
    void ResetLinkColors();
    void Restore();

    MainWindow& frmMain_;
    Runtime& runtime_;
    Tray& tray_;
    Shell& shell_;
    TimeService& timeService_;
    AppCore& app_;
    // From TrayOn on: the icon to remove again, or to add again when the taskbar restarts.
    std::optional<TrayIcon> trayIcon_;
};
