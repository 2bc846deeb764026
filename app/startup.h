#pragma once

#include <string>
#include <string_view>

struct Program;

inline constexpr std::string_view kAppName = "Zelmora";
inline constexpr std::string_view kSection = "General";
inline constexpr std::string_view kRunSubkey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::string_view kRunValueName = "OrvaZelmora";
inline constexpr std::string_view kExeName = "Zelmora.exe";

// Brings the program up: single instance, folder, window, settings, optional start-up
// synchronisation, tick, optional minimising. Returns false when another instance runs.
bool Main(Program& p);

// Puts the stored settings into the window's controls; each step on its own.
void LoadSettings(Program& p);
// Stores the three settings from the controls and rewrites the autorun value.
void SaveSettings(Program& p);
// Ends the process at once.
void EndProgram(Program& p);

// The folder with exactly one trailing backslash.
std::string WithTrailingBackslash(std::string folder);
// What the autorun value holds for a program in appPath: quoted when it contains a blank,
// so that Windows cannot run a program planted at the first blank.
std::string AutorunCommand(std::string_view appPath);
