#include "ui/main_window_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iterator>

namespace {

TEST(Layout, ClientAreaAt96DpiIs500By299) {
    EXPECT_EQ(TwipsToPixels(kClientWidthTwips, 96), 500);
    EXPECT_EQ(TwipsToPixels(kClientHeightTwips, 96), 299);
}

// Every control at every scale the window meets, in client pixels: left, top, width, height.
// At 96 DPI a pixel is 15 twips; other scales round to the nearest pixel, halves away from zero.
TEST(Layout, EveryControlAtEveryDpi) {
    constexpr int kDpis[] = {96, 120, 144, 192};
    using Rect = std::array<int, 4>;
    struct Row {
        ControlId id;
        Rect rects[4];
    };
    using enum ControlId;
    // clang-format off
    const Row rows[] = {
        // 127.5 px down at 120 DPI, 682.5 px wide at 144 DPI: rounded up.
        {Frame2,         {{24, 102, 455, 87}, {30, 128, 569, 109}, {36, 153, 683, 131}, {48, 204, 910, 174}}},
        // Inside the frame: offset by the frame's corner.
        {chkAutoRun,     {{56, 156, 239, 13}, {70, 195, 299, 16}, {84, 234, 359, 20}, {112, 312, 478, 26}}},
        {txtInterval,    {{252, 124, 43, 21}, {315, 155, 54, 26}, {378, 186, 65, 32}, {504, 248, 86, 42}}},
        {chkAuto,        {{56, 126, 239, 17}, {70, 158, 299, 21}, {84, 189, 359, 26}, {112, 252, 478, 34}}},
        {lblAuto,        {{306, 126, 145, 13}, {383, 158, 181, 16}, {459, 189, 218, 20}, {612, 252, 290, 26}}},
        {cmdSynchronize, {{250, 226, 135, 27}, {313, 283, 169, 34}, {375, 339, 203, 41}, {500, 452, 270, 54}}},
        {cmdCheckTime,   {{106, 226, 135, 27}, {133, 283, 169, 34}, {159, 339, 203, 41}, {212, 452, 270, 54}}},
        {lblTime,        {{250, 196, 105, 23}, {313, 245, 131, 29}, {375, 294, 158, 35}, {500, 392, 210, 46}}},
        {Label4,         {{176, 200, 67, 19}, {220, 250, 84, 24}, {264, 300, 101, 29}, {352, 400, 134, 38}}},
        {Label2,         {{8, 36, 291, 25}, {10, 45, 364, 31}, {12, 54, 437, 38}, {16, 72, 582, 50}}},
        {Image1,         {{304, 6, 191, 92}, {380, 8, 239, 115}, {456, 9, 287, 138}, {608, 12, 382, 184}}},
        {lblVersion,     {{40, 70, 221, 25}, {50, 88, 276, 31}, {60, 105, 332, 38}, {80, 140, 442, 50}}},
        // Partly outside the client area (500 px wide at 96 DPI), clipped there.
        {lblWebsite,     {{428, 280, 91, 19}, {535, 350, 114, 24}, {642, 420, 137, 29}, {856, 560, 182, 38}}},
        {lblReadme,      {{6, 280, 83, 19}, {8, 350, 104, 24}, {9, 420, 125, 29}, {12, 560, 166, 38}}},
        {lblInfo,        {{26, 260, 459, 19}, {33, 325, 574, 24}, {39, 390, 689, 29}, {52, 520, 918, 38}}},
    };
    // clang-format on
    const auto rectAt = [](const ControlSpec& c, int dpi) {
        const PixelRect r = ControlRect(c, dpi);
        return Rect{r.left, r.top, r.width, r.height};
    };
    for (const ControlSpec& c : kMainWindowControls) {
        const auto row = std::ranges::find(rows, c.id, &Row::id);
        if (row == std::end(rows)) {
            ADD_FAILURE() << "no row for control " << static_cast<int>(c.id);
            continue;
        }
        for (std::size_t i = 0; i < std::size(kDpis); ++i) {
            EXPECT_EQ(rectAt(c, kDpis[i]), row->rects[i])
                << static_cast<int>(c.id) << " at " << kDpis[i];
        }
        // 144 DPI is 1.5 times 96 DPI, each edge within one pixel (counted in half pixels).
        const Rect a = rectAt(c, 96);
        const Rect b = rectAt(c, 144);
        const Rect scaledEdges{2 * b[0] - 3 * a[0], 2 * b[1] - 3 * a[1],
                               2 * (b[0] + b[2]) - 3 * (a[0] + a[2]),
                               2 * (b[1] + b[3]) - 3 * (a[1] + a[3])};
        EXPECT_TRUE(std::ranges::all_of(scaledEdges, [](int d) { return std::abs(d) <= 2; }))
            << static_cast<int>(c.id);
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
