#include "ui/main_form.h"

#include <string>

#include "ui/main_window_layout.h"

namespace {

constexpr uint32_t kTrayIconId = 1;

}  // namespace

void MainForm::TrayOn() {
    frmMain_.Show();
    runtime_.YieldToPendingMessages();
    trayIcon_ = TrayIcon{kTrayIconId, kMouseMove, runtime_.ProductName()};
    tray_.AddIcon(*trayIcon_);
}

void MainForm::TrayOff() {
    if (trayIcon_) {
        tray_.RemoveIcon(*trayIcon_);
    }
}

void MainForm::OnLoad() {
    TrayOn();
    frmMain_.SetText(ControlId::lblInfo, kReady);
}

void MainForm::OnCheckTimeClick() {
    timeService_.SynchronizeTime(/*checkOnly=*/true, /*reportDifference=*/false);
}

void MainForm::OnSynchronizeClick() {
    timeService_.SynchronizeTime(/*checkOnly=*/false, /*reportDifference=*/false);
}

void MainForm::OnReadmeClick() {
    shell_.ShellOpen(app_.AppPath + std::string(kReadmeFile));
}

void MainForm::OnWebsiteClick() {
    shell_.ShellOpen(std::string(kWebsiteAddress));
}

void MainForm::OnLinkMouseMove(ControlId link) {
    frmMain_.SetTextColor(link, kLinkRed);
}

void MainForm::ResetLinkColors() {
    frmMain_.SetTextColor(ControlId::lblWebsite, kLinkBlue);
    frmMain_.SetTextColor(ControlId::lblReadme, kLinkBlue);
}

void MainForm::OnBareMouseMove(TrayMouse tray) {
    ResetLinkColors();
    if (frmMain_.State() != WindowState::Minimized) {
        return;
    }
    if (tray == TrayMouse::LeftButtonUp || tray == TrayMouse::LeftButtonDoubleClick) {
        Restore();
    } else if (tray == TrayMouse::RightButtonUp) {
        frmMain_.SetForeground();
        frmMain_.PopupTrayMenu();
    }
}

void MainForm::Restore() {
    frmMain_.SetState(WindowState::Normal);
    frmMain_.SetForeground();
    frmMain_.Show();
}

void MainForm::OnTimer() {
    timeService_.TimerTimeTick();
}

void MainForm::OnResize() {
    if (frmMain_.State() == WindowState::Minimized) {
        frmMain_.Hide();
    }
}

void MainForm::OnCloseRequest(CloseReason reason) {
    app_.SaveSettings();
    // At the end of a session the close goes ahead and the window unloads.
    if (reason == CloseReason::SessionEnding) {
        return;
    }
    frmMain_.SetState(WindowState::Minimized);
}

void MainForm::OnUnload() {
    TrayOff();
    app_.EndProgram();
}

void MainForm::OnMenuRestore() {
    Restore();
}

void MainForm::OnMenuExit() {
    if (!frmMain_.AskOkCancel(kExitQuestion)) {
        return;
    }
    // Leaving through Exit keeps what the user changed, as closing the window does.
    app_.SaveSettings();
    TrayOff();
    app_.EndProgram();
}

void MainForm::OnTaskbarCreated() {
    // A restarted taskbar has forgotten the icon; without it a hidden window is unreachable.
    if (trayIcon_) {
        tray_.AddIcon(*trayIcon_);
    }
}

void MainForm::OnPolicyChange() {
    app_.PolicyChanged();
}

void MainForm::OnResume() {
    timeService_.OnResume();
}
