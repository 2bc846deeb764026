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
    int left = control.twips.left;
    int top = control.twips.top;
    if (control.parent == Parent::InFrame2) {
        const ControlSpec& frame = FindControl(ControlId::Frame2);
        left += frame.twips.left;
        top += frame.twips.top;
    }
    return {TwipsToPixels(left, dpi), TwipsToPixels(top, dpi),
            TwipsToPixels(control.twips.width, dpi), TwipsToPixels(control.twips.height, dpi)};
}

int FontHeightPixels(double points, int dpi) {
    return static_cast<int>(std::lround(points * dpi / 72.0));
}

std::optional<std::size_t> FindControlIndex(int id) {
    const auto found =
        std::find_if(kMainWindowControls.begin(), kMainWindowControls.end(),
                     [id](const ControlSpec& c) { return static_cast<int>(c.id) == id; });
    if (found == kMainWindowControls.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - kMainWindowControls.begin());
}

std::size_t ControlIndex(ControlId id) {
    const auto index = FindControlIndex(static_cast<int>(id));
    if (!index) {
        std::abort();
    }
    return *index;
}

const ControlSpec& FindControl(ControlId id) {
    return kMainWindowControls[ControlIndex(id)];
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
