#pragma once

#include <array>
#include <cstdint>

// The first, ANSI version of the shell's notification-icon record: a 64-character tip.
// Handles are carried as integers so the record is the same on every platform.
struct NotifyIconRecord {
    uint32_t cbSize = 0;
    uintptr_t hWnd = 0;
    uint32_t uID = 0;
    uint32_t uFlags = 0;
    uint32_t uCallbackMessage = 0;
    uintptr_t hIcon = 0;
    std::array<char, 64> szTip{};

    friend bool operator==(const NotifyIconRecord&, const NotifyIconRecord&) = default;
};

// Size of that record on this platform: 88 bytes with 32-bit pointers, 104 with 64-bit.
inline constexpr uint32_t kNotifyIconRecordSize = sizeof(void*) == 4 ? 88 : 104;

inline constexpr uint32_t NIM_ADD_MESSAGE = 0;
inline constexpr uint32_t NIM_DELETE_MESSAGE = 2;

class Tray {
public:
    // The shell's result is of no use to the program, so none is returned.
    virtual void ShellNotifyIcon(uint32_t message, const NotifyIconRecord& record) = 0;

protected:
    ~Tray() = default;
};
