#include "ui/main_window_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

int TwipsToPixels(int twips, int dpi) {
    // Integer rounding, halves away from zero, so the result never depends on float error.
    const long long scaled = static_cast<long long>(twips) * dpi;
    const long long rounded = (std::llabs(scaled) + 720) / 1440;
    return static_cast<int>(scaled < 0 ? -rounded : rounded);
}

PixelRect ControlRect(const ControlSpec& control, int dpi) {
    int left = control.left;
    int top = control.top;
    if (control.inFrame) {
        const ControlSpec& frame = FindControl(ControlId::Frame2);
        left += frame.left;
        top += frame.top;
    }
    return {TwipsToPixels(left, dpi), TwipsToPixels(top, dpi), TwipsToPixels(control.width, dpi),
            TwipsToPixels(control.height, dpi)};
}

int FontHeightPixels(double points, int dpi) {
    return static_cast<int>(std::lround(points * dpi / 72.0));
}

const ControlSpec& FindControl(ControlId id) {
    const auto found = std::find_if(kMainWindowControls.begin(), kMainWindowControls.end(),
                                    [id](const ControlSpec& c) { return c.id == id; });
    return found != kMainWindowControls.end() ? *found : kMainWindowControls.front();
}

ControlId NextInTabOrder(ControlId current, bool backwards) {
    const auto n = static_cast<int>(kTabOrder.size());
    const auto found = std::find(kTabOrder.begin(), kTabOrder.end(), current);
    if (found == kTabOrder.end()) {
        return kTabOrder.front();
    }
    const int index = static_cast<int>(found - kTabOrder.begin());
    return kTabOrder[static_cast<std::size_t>((index + (backwards ? n - 1 : 1)) % n)];
}
