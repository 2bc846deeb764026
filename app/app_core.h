#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/main_window.h"
#include "platform/managed_settings.h"
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
            TimeService& timeService, MachineValues& machine, ManagedSettings& managed)
        : frmMain_(frmMain),
          runtime_(runtime),
          settings_(settings),
          registry_(registry),
          timeService_(timeService),
          machine_(machine),
          managed_(managed) {}

    // Brings the program up: single instance, folder, window, settings, optional start-up
    // synchronisation, tick, optional minimising. A window that cannot be created ends the
    // start with a message, the single-instance token given back.
    StartOutcome Main();
    // Reads the managed values, then puts the stored settings into the window's controls, each
    // step on its own; a setting a policy fixes shows the policy's value, disabled.
    void LoadSettings();
    // Stores the settings no policy fixes from the controls and, unless a policy fixes
    // AutoRun, rewrites the autorun value.
    void SaveSettings();
    // Reads the managed values again: a setting a policy now fixes shows its value, one
    // whose policy went shows the user's own again; the others keep what the user typed.
    void PolicyChanged();
    // Ends the process at once.
    void EndProgram();

    // Folder of the executable, ending in exactly one backslash; set by Main.
    std::string AppPath;

private:
    using LockedRows = std::array<bool, kManagedRows.size()>;
    // Each setting a policy fixes gets the policy's value; the others the user's own, at the
    // start (no wasLocked) or once their policy went.
    void ApplyManaged(const LockedRows* wasLocked);
    void LoadInterval(const ManagedRow& row);
    void ApplyCheckState(const ManagedRow& row);
    // The user's own setting of row, as LoadSettings puts it in its control.
    void LoadUserSetting(const ManagedRow& row);
    void ApplyPolicy(const ManagedRow& row);
    // The default of a user's setting: the machine's preference when usable, else built in.
    std::string UserDefault(const ManagedRow& row, std::string_view builtIn) const;

    MainWindow& frmMain_;
    Runtime& runtime_;
    SettingsStore& settings_;
    Registry& registry_;
    TimeService& timeService_;
    MachineValues& machine_;
    ManagedSettings& managed_;
};

// The folder with exactly one trailing backslash.
std::string WithTrailingBackslash(std::string folder);
// What the autorun value holds for a program in appPath: quoted when it contains a blank,
// so that Windows cannot run a program planted at the first blank.
std::string AutorunCommand(std::string_view appPath);
// Whether an autorun value starts the program in appPath (in any case, quoted or not) or is
// empty, starting nothing: what an uninstaller of that folder removes, another copy's not.
bool AutorunIsFor(std::string_view value, std::string_view appPath);
