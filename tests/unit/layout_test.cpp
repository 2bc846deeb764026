#include "ui/main_window_layout.h"

#include <gtest/gtest.h>

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
                                           RectCase{ControlId::chkAuto, 144, {84, 189, 359, 26}}));

TEST(Layout, AnIdOutsideTheTableEndsTheProgram) {
    EXPECT_DEATH(FindControl(static_cast<ControlId>(999)), "");
    EXPECT_FALSE(FindControlIndex(999));
}

TEST(Layout, FontHeightsInPixels) {
    EXPECT_EQ(FontHeightPixels(8.25, 96), 11);
    EXPECT_EQ(FontHeightPixels(9.75, 96), 13);
    EXPECT_EQ(FontHeightPixels(12, 96), 16);
    EXPECT_EQ(FontHeightPixels(15.75, 96), 21);
    EXPECT_EQ(FontHeightPixels(8.25, 144), 17);
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
