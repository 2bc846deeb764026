#pragma once

#include <string>
#include <string_view>

#include "platform/main_window.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"
#include "timeservice/time_service.h"

inline constexpr std::string_view kAppName = "Zelmora";
inline constexpr std::string_view kSection = "General";
inline constexpr std::string_view kRunSubkey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::string_view kRunValueName = "OrvaZelmora";
inline constexpr std::string_view kExeName = "Zelmora.exe";
inline constexpr std::string_view kNoWindowMessage =
    "Zelmora cannot run: its main window could not be created.\n\n";

// How a start ended: the program runs, or it ends with the exit code that says why.
enum class StartOutcome { Running, AnotherInstance, NoWindow };

// The process's exit code for an outcome that ends it.
inline int ExitCode(StartOutcome outcome) {
    return outcome == StartOutcome::NoWindow ? 1 : 0;
}

// What keeps the program together outside the window and the time service: start-up, the
// three settings, the autorun value and the end. There is no settings object: the main
// window's controls are the live settings.
class AppCore {
public:
    AppCore(MainWindow& frmMain, Runtime& runtime, SettingsStore& settings, Registry& registry,
            TimeService& timeService)
        : frmMain_(frmMain),
          runtime_(runtime),
          settings_(settings),
          registry_(registry),
          timeService_(timeService) {}

    // Brings the program up: single instance, folder, window, settings, optional start-up
    // synchronisation, tick, optional minimising. A window that cannot be created ends the
    // start with a message, the single-instance token given back.
    StartOutcome Main();
    // Puts the stored settings into the window's controls; each step on its own.
    void LoadSettings();
    // Stores the three settings from the controls and rewrites the autorun value.
    void SaveSettings();
    // Ends the process at once.
    void EndProgram();

    // Folder of the executable, ending in exactly one backslash; set by Main.
    std::string AppPath;

private:
    void ApplyCheckState(ControlId box, std::string_view key);

    MainWindow& frmMain_;
    Runtime& runtime_;
    SettingsStore& settings_;
    Registry& registry_;
    TimeService& timeService_;
};

// The folder with exactly one trailing backslash.
std::string WithTrailingBackslash(std::string folder);
// What the autorun value holds for a program in appPath: quoted when it contains a blank,
// so that Windows cannot run a program planted at the first blank.
std::string AutorunCommand(std::string_view appPath);
// Whether an autorun value starts the program in appPath (in any case, quoted or not) or is
// empty, starting nothing: what an uninstaller of that folder removes, another copy's not.
bool AutorunIsFor(std::string_view value, std::string_view appPath);
