#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/main_window.h"

// What a control is; the window takes its class, its link behaviour and its wrapping from it.
enum class ControlKind {
    Frame,         // a caption and border around the controls placed in it
    CheckBox,      // a click toggles between off and on; the greyed state is only ever loaded
    TextBox,       // one line; Tab into it and Ctrl+A select all of it
    Label,         // text that wraps at the control's width
    OneLineLabel,  // text that never wraps into a second, cut-off line
    Link,          // underlined text: a hand and a hover colour under the pointer, opens on click
    Button,
    Picture,
};

// What a control's position is relative to.
enum class Parent { OnForm, InFrame2 };

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

struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

struct ControlSpec {
    ControlId id;
    ControlKind kind;
    std::string_view text;
    TwipsRect twips;
    Parent parent;
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
inline constexpr Rgb kTitleBlue{0, 0, 255};
inline constexpr Rgb kVersionRed{64, 0, 0};
inline constexpr unsigned kTimerTimeIntervalMs = 50;
// The maker's web site; a reserved name until the real address is decided.
inline constexpr std::string_view kWebsiteAddress = "https://www.orva.example/zelmora/";

inline constexpr FontSpec kDefaultFont{};
inline constexpr FontSpec kNormal{.points = 8.25};
inline constexpr FontSpec kBold825{.points = 8.25, .bold = true};
inline constexpr FontSpec kBold975{.points = 9.75, .bold = true};
inline constexpr FontSpec kUnderlined975{.points = 9.75, .underline = true};
inline constexpr FontSpec kTitleFont{.points = 15.75, .bold = true, .italic = true};
inline constexpr FontSpec kVersionFont{.points = 12, .bold = true};

// The controls in creation order, one row each; positions in twips. The timer has no
// visible part and is not a control here.
inline constexpr std::array<ControlSpec, 15> kMainWindowControls = [] {
    using enum ControlId;
    using enum ControlKind;
    using enum Parent;
    using enum Background;
    // clang-format off
    return std::array<ControlSpec, 15>{{
    //   id              kind          text                            left  top   width height  parent    font            text colour  background
        {Frame2,         Frame,        "Options",                      {360, 1530, 6825, 1305}, OnForm,   kDefaultFont,   {},          White},
        {chkAutoRun,     CheckBox,     "Autorun at system startup",    {480, 810, 3585, 195},   InFrame2, kNormal,        {},          White},
        {txtInterval,    TextBox,      "15",                           {3420, 330, 645, 315},   InFrame2, kNormal,        {},          Platform},
        {chkAuto,        CheckBox,     "Automatic synchronization at", {480, 360, 3585, 255},   InFrame2, kNormal,        {},          White},
        {lblAuto,        Label,        "minutes time interval",        {4230, 360, 2175, 195},  InFrame2, kNormal,        {},          White},
        {cmdSynchronize, Button,       "Synchronize",                  {3750, 3390, 2025, 405}, OnForm,   kBold975,       {},          ButtonFace},
        {cmdCheckTime,   Button,       "Check",                        {1590, 3390, 2025, 405}, OnForm,   kBold975,       {},          ButtonFace},
        {lblTime,        OneLineLabel, "#",                            {3750, 2940, 1575, 345}, OnForm,   kBold975,       {},          White},
        {Label4,         Label,        "Local Time:",                  {2640, 3000, 1005, 285}, OnForm,   kNormal,        {},          White},
        {Label2,         Label,        "ORVA Zelmora",                 {120, 540, 4365, 375},   OnForm,   kTitleFont,     kTitleBlue,  SystemWindow},
        {Image1,         Picture,      "",                             {4560, 90, 2865, 1380},  OnForm,   kDefaultFont,   {},          White},
        {lblVersion,     Label,        "Version 1.0 Build 22",         {600, 1050, 3315, 375},  OnForm,   kVersionFont,   kVersionRed, SystemWindow},
        {lblWebsite,     Link,         "Website...",                   {6420, 4200, 1365, 285}, OnForm,   kUnderlined975, kLinkBlue,   White},
        {lblReadme,      Link,         "Readme",                       {90, 4200, 1245, 285},   OnForm,   kUnderlined975, kLinkBlue,   White},
        {lblInfo,        OneLineLabel, "",                             {390, 3900, 6885, 285},  OnForm,   kBold825,       {},          White},
    }};
    // clang-format on
}();

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
// The row of a control. An id outside the table is a programming error: it ends the program
// rather than give another control.
const ControlSpec& FindControl(ControlId id);
std::size_t ControlIndex(ControlId id);
// The place in the table of the control with an id the system reported; nothing for a window
// that is not one of the controls.
std::optional<std::size_t> FindControlIndex(int id);
// The next control in keyboard order after current; backwards for Shift+Tab.
ControlId NextInTabOrder(ControlId current, bool backwards);
