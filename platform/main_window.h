#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tray.h"

// Control identifiers double as the child-window ids, so tools outside the program can find
// each control of the window.
enum class ControlId : int {
    Frame2 = 101,
    chkAutoRun = 102,
    txtInterval = 103,
    chkAuto = 104,
    lblAuto = 105,
    cmdSynchronize = 106,
    cmdCheckTime = 107,
    lblTime = 108,
    Label4 = 109,
    Label2 = 110,
    Image1 = 111,
    lblVersion = 112,
    lblWebsite = 113,
    lblReadme = 114,
    lblInfo = 115,
};

enum class MenuId : int {
    mnuRestore = 201,
    mnuExit = 202,
};

struct Rgb {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;

    friend bool operator==(const Rgb&, const Rgb&) = default;
};

enum class WindowState { Normal = 0, Minimized = 1 };

// A check box's state; the numbers are the stored settings' texts.
enum class CheckBoxState { Unchecked = 0, Checked = 1, Greyed = 2 };

enum class CloseReason { User, SessionEnding };

// What the program's behaviour does to its one main window.
class MainWindow {
public:
    // Creates the window on first use; its load handling runs before this returns. False,
    // with the system's reason in failure, when the window cannot be created.
    virtual bool Load(std::string& failure) = 0;

    virtual void SetText(ControlId control, std::string_view text) = 0;
    // Reuses text's storage, so repeated reads need not allocate.
    virtual void GetText(ControlId control, std::string& text) = 0;
    virtual CheckBoxState CheckState(ControlId control) = 0;
    virtual void SetCheckState(ControlId control, CheckBoxState state) = 0;
    virtual void SetTextColor(ControlId control, Rgb color) = 0;
    // A disabled control shows its value but takes no input.
    virtual void SetEnabled(ControlId control, bool enabled) = 0;

    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual WindowState State() = 0;
    virtual void SetState(WindowState state) = 0;
    virtual void SetForeground() = 0;
    virtual void EnableTimer() = 0;

    // Opens the tray menu at the pointer; returns when it has closed.
    virtual void PopupTrayMenu() = 0;
    // Modal OK/Cancel question with the program's title; true for OK.
    virtual bool AskOkCancel(std::string_view text) = 0;

protected:
    ~MainWindow() = default;
};

// What the window reports to the program's behaviour.
class MainWindowEvents {
public:
    virtual void OnLoad() = 0;
    virtual void OnCheckTimeClick() = 0;
    virtual void OnSynchronizeClick() = 0;
    virtual void OnReadmeClick() = 0;
    virtual void OnWebsiteClick() = 0;
    virtual void OnLinkMouseMove(ControlId link) = 0;
    // Pointer over the bare client area; tray notifications arrive here too, as what the
    // shell reported.
    virtual void OnBareMouseMove(TrayMouse tray) = 0;
    virtual void OnTimer() = 0;
    virtual void OnResize() = 0;
    // The window is never closed by a close request; at the end of a session it unloads.
    virtual void OnCloseRequest(CloseReason reason) = 0;
    virtual void OnUnload() = 0;
    virtual void OnMenuRestore() = 0;
    virtual void OnMenuExit() = 0;
    virtual void OnTaskbarCreated() = 0;
    // Windows says the machine's policy may have changed.
    virtual void OnPolicyChange() = 0;
    // The PC woke from sleep or hibernation.
    virtual void OnResume() = 0;

protected:
    ~MainWindowEvents() = default;
};
