#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "platform/main_window.h"

enum class ControlKind { Frame, CheckBox, TextBox, Label, Link, Button, Picture };

// Where a control takes its background from.
enum class Background {
    White,         // fixed white, as the window itself
    SystemWindow,  // the system colour for window backgrounds
    ButtonFace,    // the button face colour below
    Platform,      // whatever the control draws by default (the text box)
};

struct FontSpec {
    double points = 0;  // 0: the platform's default user-interface font
    bool bold = false;
    bool italic = false;
    bool underline = false;

    friend bool operator==(const FontSpec&, const FontSpec&) = default;
};

struct ControlSpec {
    ControlId id;
    ControlKind kind;
    std::string_view text;
    int left;  // twips; relative to Frame2 when inFrame
    int top;
    int width;
    int height;
    bool inFrame;
    FontSpec font;
    std::optional<Rgb> textColor;  // none: the platform's text colour
    Background background;
};

inline constexpr std::string_view kFontFace = "Verdana";
inline constexpr int kClientWidthTwips = 7500;
inline constexpr int kClientHeightTwips = 4485;
inline constexpr Rgb kWindowBackground{255, 255, 255};
inline constexpr Rgb kButtonFace{240, 240, 240};
inline constexpr Rgb kLinkBlue{0, 0, 255};
inline constexpr Rgb kLinkRed{255, 0, 0};
inline constexpr unsigned kTimerTimeIntervalMs = 50;
// The maker's web site; a reserved name until the real address is decided.
inline constexpr std::string_view kWebsiteAddress = "https://www.orva.example/zelmora/";

inline constexpr FontSpec kNormal{8.25};
inline constexpr FontSpec kBold975{9.75, true};
inline constexpr FontSpec kUnderlined975{9.75, false, false, true};

// In creation order. The timer has no visible part and is not a control here.
inline constexpr std::array<ControlSpec, 15> kMainWindowControls{{
    {ControlId::Frame2,
     ControlKind::Frame,
     "Options",
     360,
     1530,
     6825,
     1305,
     false,
     {},
     {},
     Background::White},
    {ControlId::chkAutoRun,
     ControlKind::CheckBox,
     "Autorun at system startup",
     480,
     810,
     3585,
     195,
     true,
     kNormal,
     {},
     Background::White},
    {ControlId::txtInterval,
     ControlKind::TextBox,
     "15",
     3420,
     330,
     645,
     315,
     true,
     kNormal,
     {},
     Background::Platform},
    {ControlId::chkAuto,
     ControlKind::CheckBox,
     "Automatic synchronization at",
     480,
     360,
     3585,
     255,
     true,
     kNormal,
     {},
     Background::White},
    {ControlId::lblAuto,
     ControlKind::Label,
     "minutes time interval",
     4230,
     360,
     2175,
     195,
     true,
     kNormal,
     {},
     Background::White},
    {ControlId::cmdSynchronize,
     ControlKind::Button,
     "Synchronize",
     3750,
     3390,
     2025,
     405,
     false,
     kBold975,
     {},
     Background::ButtonFace},
    {ControlId::cmdCheckTime,
     ControlKind::Button,
     "Check",
     1590,
     3390,
     2025,
     405,
     false,
     kBold975,
     {},
     Background::ButtonFace},
    {ControlId::lblTime,
     ControlKind::Label,
     "#",
     3750,
     2940,
     1575,
     345,
     false,
     kBold975,
     {},
     Background::White},
    {ControlId::Label4,
     ControlKind::Label,
     "Local Time:",
     2640,
     3000,
     1005,
     285,
     false,
     kNormal,
     {},
     Background::White},
    {ControlId::Label2,
     ControlKind::Label,
     "ORVA Zelmora",
     120,
     540,
     4365,
     375,
     false,
     {15.75, true, true},
     Rgb{0, 0, 255},
     Background::SystemWindow},
    {ControlId::Image1,
     ControlKind::Picture,
     "",
     4560,
     90,
     2865,
     1380,
     false,
     {},
     {},
     Background::White},
    {ControlId::lblVersion,
     ControlKind::Label,
     "Version 1.0 Build 22",
     600,
     1050,
     3315,
     375,
     false,
     {12, true},
     Rgb{64, 0, 0},
     Background::SystemWindow},
    {ControlId::lblWebsite, ControlKind::Link, "Website...", 6420, 4200, 1365, 285, false,
     kUnderlined975, kLinkBlue, Background::White},
    {ControlId::lblReadme, ControlKind::Link, "Readme", 90, 4200, 1245, 285, false, kUnderlined975,
     kLinkBlue, Background::White},
    {ControlId::lblInfo,
     ControlKind::Label,
     "",
     390,
     3900,
     6885,
     285,
     false,
     {8.25, true},
     {},
     Background::White},
}};

// Keyboard focus order; the first one has the focus when the window is first shown.
inline constexpr std::array<ControlId, 5> kTabOrder{ControlId::cmdCheckTime,
                                                    ControlId::cmdSynchronize, ControlId::chkAuto,
                                                    ControlId::txtInterval, ControlId::chkAutoRun};

struct PixelRect {
    int left;
    int top;
    int width;
    int height;

    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Twips to pixels at the screen's dots per inch, rounded to the nearest pixel.
int TwipsToPixels(int twips, int dpi);
// Rectangle relative to the client area.
PixelRect ControlRect(const ControlSpec& control, int dpi);
// Character height in pixels (the negative LOGFONT height) for a size in points.
int FontHeightPixels(double points, int dpi);
const ControlSpec& FindControl(ControlId id);
// The next control in keyboard order after current; backwards for Shift+Tab.
ControlId NextInTabOrder(ControlId current, bool backwards);
