#pragma once

#include <cstdint>
#include <string>

// Mouse messages as the shell reports them for the icon: the callback message carries the
// message number in the low word of lParam.
inline constexpr uint32_t kMouseMove = 0x0200;
inline constexpr uint32_t kLeftButtonUp = 0x0202;
inline constexpr uint32_t kLeftButtonDoubleClick = 0x0203;
inline constexpr uint32_t kRightButtonUp = 0x0205;

// The program's icon in the notification area, shown with the main window's icon picture.
struct TrayIcon {
    uint32_t id = 0;
    // What the shell sends the main window for each mouse event on the icon.
    uint32_t callbackMessage = 0;
    std::string tip;

    friend bool operator==(const TrayIcon&, const TrayIcon&) = default;
};

class Tray {
public:
    // The shell's answers are of no use to the program, so none is returned.
    virtual void AddIcon(const TrayIcon& icon) = 0;
    virtual void RemoveIcon(const TrayIcon& icon) = 0;

protected:
    ~Tray() = default;
};
