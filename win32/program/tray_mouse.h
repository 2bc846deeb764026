#pragma once

#include <cstdint>

#include "platform/tray.h"

// The shell's mouse messages for the icon; free of <windows.h>, so the tests can include it.
inline constexpr uint32_t kLeftButtonUp = 0x0202;
inline constexpr uint32_t kLeftButtonDoubleClick = 0x0203;
inline constexpr uint32_t kRightButtonUp = 0x0205;

// The callback message carries the mouse message number in the low word of lParam; the
// high word is not looked at.
inline TrayMouse TrayMouseFromLParam(uint32_t lParam) {
    switch (lParam & 0xffff) {
        case kLeftButtonUp:
            return TrayMouse::LeftButtonUp;
        case kLeftButtonDoubleClick:
            return TrayMouse::LeftButtonDoubleClick;
        case kRightButtonUp:
            return TrayMouse::RightButtonUp;
        default:
            return TrayMouse::Other;
    }
}
