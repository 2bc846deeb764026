#include "ui/main_form.h"

#include <algorithm>
#include <string>

#include "app/program.h"
#include "app/startup.h"
#include "timeservice/synchronize.h"
#include "timeservice/tick.h"
#include "ui/main_window_layout.h"

namespace {

constexpr uint32_t kTrayIconId = 1;
constexpr uint32_t kTrayFlags = 7;  // NIF_MESSAGE | NIF_ICON | NIF_TIP

// The tip is the name, one NUL, then blanks to the end of the field.
void FillTip(std::array<char, 64>& tip, std::string_view name) {
    tip.fill(' ');
    const std::size_t n = std::min(name.size(), tip.size() - 1);
    std::copy_n(name.begin(), n, tip.begin());
    tip[n] = '\0';
}

}  // namespace

void MainForm::TrayOn() {
    p_.frmMain.Show();
    p_.runtime.YieldToPendingMessages();
    NotifyIconRecord_.cbSize = kNotifyIconRecordSize;
    NotifyIconRecord_.hWnd = p_.frmMain.Handle();
    NotifyIconRecord_.uID = kTrayIconId;
    NotifyIconRecord_.uFlags = kTrayFlags;
    NotifyIconRecord_.uCallbackMessage = WM_MOUSEMOVE_MESSAGE;
    NotifyIconRecord_.hIcon = p_.frmMain.IconHandle();
    FillTip(NotifyIconRecord_.szTip, p_.runtime.ProductName());
    p_.tray.ShellNotifyIcon(NIM_ADD_MESSAGE, NotifyIconRecord_);
}

void MainForm::TrayOff() {
    p_.tray.ShellNotifyIcon(NIM_DELETE_MESSAGE, NotifyIconRecord_);
}

void MainForm::OnLoad() {
    TrayOn();
    p_.frmMain.SetText(ControlId::lblInfo, kReady);
}

void MainForm::OnCheckTimeClick() {
    SynchronizeTime(p_, true, false);
}

void MainForm::OnSynchronizeClick() {
    SynchronizeTime(p_, false, false);
}

void MainForm::OnReadmeClick() {
    p_.shell.ShellOpen(p_.AppPath + std::string(kReadmeFile));
}

void MainForm::OnWebsiteClick() {
    p_.shell.ShellOpen(std::string(kWebsiteAddress));
}

void MainForm::OnLinkMouseMove(ControlId link) {
    p_.frmMain.SetTextColor(link, kLinkRed);
}

void MainForm::ResetLinkColors() {
    p_.frmMain.SetTextColor(ControlId::lblWebsite, kLinkBlue);
    p_.frmMain.SetTextColor(ControlId::lblReadme, kLinkBlue);
}

void MainForm::OnBareMouseMove(uint32_t lParam) {
    ResetLinkColors();
    if (p_.frmMain.State() != WindowState::Minimized) {
        return;
    }
    const uint32_t message = lParam & 0xffff;
    if (message == WM_LBUTTONUP_MESSAGE || message == WM_LBUTTONDBLCLK_MESSAGE) {
        Restore();
    } else if (message == WM_RBUTTONUP_MESSAGE) {
        p_.frmMain.SetForeground();
        p_.frmMain.PopupTrayMenu();
    }
}

void MainForm::Restore() {
    p_.frmMain.SetState(WindowState::Normal);
    p_.frmMain.SetForeground();
    p_.frmMain.Show();
}

void MainForm::OnTimer() {
    TimerTimeTick(p_);
}

void MainForm::OnResize() {
    if (p_.frmMain.State() == WindowState::Minimized) {
        p_.frmMain.Hide();
    }
}

bool MainForm::OnCloseRequest(CloseReason reason) {
    SaveSettings(p_);
    if (reason == CloseReason::SessionEnding) {
        return true;
    }
    p_.frmMain.SetState(WindowState::Minimized);
    return false;
}

void MainForm::OnUnload() {
    TrayOff();
    EndProgram(p_);
}

void MainForm::OnMenuRestore() {
    Restore();
}

void MainForm::OnMenuExit() {
    if (!p_.frmMain.AskOkCancel(kExitQuestion)) {
        return;
    }
    // Leaving through Exit keeps what the user changed, as closing the window does.
    SaveSettings(p_);
    TrayOff();
    EndProgram(p_);
}

void MainForm::OnTaskbarCreated() {
    // A restarted taskbar has forgotten the icon; without it a hidden window is unreachable.
    if (NotifyIconRecord_.cbSize != 0) {
        p_.tray.ShellNotifyIcon(NIM_ADD_MESSAGE, NotifyIconRecord_);
    }
}
