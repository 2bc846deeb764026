#pragma once

// Names the Win32 layer gives to what it makes; tools outside the program look for them.
// Free of <windows.h>, so that such tools can include it.

inline constexpr char kMainWindowClass[] = "ZelmoraMainWindow";
// The caption of the program's message box.
inline constexpr char kTitle[] = "Zelmora";
// The settings live in HKEY_CURRENT_USER\<kSettingsRoot><application>\<section>.
inline constexpr char kSettingsRoot[] = "Software\\VB and VBA Program Settings\\";
