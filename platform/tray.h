#pragma once

#include <cstdint>
#include <string>

// The callback message the program asks the shell for: the window's own mouse-move message,
// so that tray reports arrive as mouse moves over the window.
inline constexpr uint32_t kMouseMove = 0x0200;

// A mouse event on the icon as the shell reports it; Other for every event the program
// does not act on (and for a real mouse move over the window).
enum class TrayMouse { Other, LeftButtonUp, LeftButtonDoubleClick, RightButtonUp };

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
