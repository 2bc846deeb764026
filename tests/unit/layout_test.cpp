#include "ui/main_window_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>

namespace {

TEST(Layout, ClientAreaAt96DpiIs500By299) {
    EXPECT_EQ(TwipsToPixels(kClientWidthTwips, 96), 500);
    EXPECT_EQ(TwipsToPixels(kClientHeightTwips, 96), 299);
}

struct RectCase {
    ControlId id;
    int dpi;
    PixelRect expected;
};

void PrintTo(const RectCase& c, std::ostream* os) {
    *os << static_cast<int>(c.id) << " at " << c.dpi << " dpi";
}

class LayoutRectTest : public ::testing::TestWithParam<RectCase> {};

TEST_P(LayoutRectTest, ControlRectInClientPixels) {
    const RectCase& c = GetParam();
    EXPECT_EQ(ControlRect(FindControl(c.id), c.dpi), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LayoutRectTest,
                         ::testing::Values(RectCase{ControlId::Frame2, 96, {24, 102, 455, 87}},
                                           // Inside the frame: offset by the frame's corner.
                                           RectCase{ControlId::chkAuto, 96, {56, 126, 239, 17}},
                                           RectCase{ControlId::txtInterval, 96, {252, 124, 43, 21}},
                                           RectCase{ControlId::chkAutoRun, 96, {56, 156, 239, 13}},
                                           RectCase{ControlId::lblInfo, 96, {26, 260, 459, 19}},
                                           // Partly outside the client area, clipped there.
                                           RectCase{ControlId::lblWebsite, 96, {428, 280, 91, 19}},
                                           RectCase{ControlId::Image1, 96, {304, 6, 191, 92}},
                                           // Other screens: rounded to the nearest pixel.
                                           RectCase{ControlId::Frame2, 120, {30, 128, 569, 109}},
                                           RectCase{ControlId::chkAuto, 144, {84, 189, 359, 26}},
                                           RectCase{ControlId::Frame2, 144, {36, 153, 683, 131}},
                                           RectCase{ControlId::Image1, 192, {608, 12, 382, 184}}));

// Every row at every scale the window meets: each edge on the form, to the nearest pixel.
TEST(Layout, EveryControlAtEveryDpi) {
    const TwipsRect& frame = FindControl(ControlId::Frame2).twips;
    for (const int dpi : {96, 120, 144, 192}) {
        const auto pixels = [dpi](int twips) { return int(std::lround(twips * dpi / 1440.0)); };
        for (const ControlSpec& c : kMainWindowControls) {
            const bool inFrame = c.parent == Parent::InFrame2;
            const PixelRect expected{pixels(c.twips.left + (inFrame ? frame.left : 0)),
                                     pixels(c.twips.top + (inFrame ? frame.top : 0)),
                                     pixels(c.twips.width), pixels(c.twips.height)};
            EXPECT_EQ(ControlRect(c, dpi), expected) << static_cast<int>(c.id) << " at " << dpi;
        }
    }
}

TEST(Layout, AnIdOutsideTheTableEndsTheProgram) {
    EXPECT_DEATH(FindControl(static_cast<ControlId>(999)), "");
    EXPECT_FALSE(FindControlIndex(999));
}

TEST(Layout, FontHeightsInPixels) {
    // Every size of the table at 96, 120, 144 and 192 DPI; halves round up.
    const struct {
        double points;
        int heights[4];
    } cases[] = {{8.25, {11, 14, 17, 22}},
                 {9.75, {13, 16, 20, 26}},
                 {12, {16, 20, 24, 32}},
                 {15.75, {21, 26, 32, 42}}};
    for (const ControlSpec& c : kMainWindowControls) {
        EXPECT_TRUE(
            c.font.points == 0 ||
            std::ranges::any_of(cases, [&c](const auto& k) { return k.points == c.font.points; }))
            << "no case for " << c.font.points << " points";
    }
    for (const auto& [points, heights] : cases) {
        for (std::size_t i = 0; const int dpi : {96, 120, 144, 192}) {
            EXPECT_EQ(FontHeightPixels(points, dpi), heights[i++]) << points << " pt at " << dpi;
        }
    }
}

TEST(Layout, TabOrderCyclesBothWays) {
    ControlId id = ControlId::cmdCheckTime;
    const ControlId forward[] = {ControlId::cmdSynchronize, ControlId::chkAuto,
                                 ControlId::txtInterval, ControlId::chkAutoRun,
                                 ControlId::cmdCheckTime};
    for (const ControlId expected : forward) {
        id = NextInTabOrder(id, false);
        EXPECT_EQ(id, expected);
    }
    EXPECT_EQ(NextInTabOrder(ControlId::cmdCheckTime, true), ControlId::chkAutoRun);
    // From a control outside the order (a label), focus goes to the first one.
    EXPECT_EQ(NextInTabOrder(ControlId::lblInfo, false), ControlId::cmdCheckTime);
}

}  // namespace
