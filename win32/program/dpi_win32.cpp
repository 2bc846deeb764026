#include "win32/program/dpi_win32.h"

#include "win32/shared/system_dll.h"
#include "win32/shared/handles.h"

namespace {

struct DpiCalls {
    UINT(WINAPI* GetDpiForWindow)(HWND) = nullptr;
    int(WINAPI* GetSystemMetricsForDpi)(int, UINT) = nullptr;
    BOOL(WINAPI* AdjustWindowRectExForDpi)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
    BOOL(WINAPI* SystemParametersInfoForDpi)(UINT, UINT, void*, UINT, UINT) = nullptr;
};

// Each call on its own: a Windows may have some of them and not the others.
const DpiCalls& Calls() {
    static const DpiCalls calls = [] {
        DpiCalls found;
        if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
            Resolve(user32, "GetDpiForWindow", found.GetDpiForWindow);
            Resolve(user32, "GetSystemMetricsForDpi", found.GetSystemMetricsForDpi);
            Resolve(user32, "AdjustWindowRectExForDpi", found.AdjustWindowRectExForDpi);
            Resolve(user32, "SystemParametersInfoForDpi", found.SystemParametersInfoForDpi);
        }
        return found;
    }();
    return calls;
}

}  // namespace

int ScreenDpi() {
    const unique_screen_dc screen(GetDC(nullptr));
    const int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
    return dpi > 0 ? dpi : 96;
}

int WindowDpi(HWND window) {
    const UINT dpi = Calls().GetDpiForWindow ? Calls().GetDpiForWindow(window) : 0;
    return dpi > 0 ? static_cast<int>(dpi) : ScreenDpi();
}

int SystemMetricForDpi(int index, int dpi) {
    if (Calls().GetSystemMetricsForDpi) {
        return Calls().GetSystemMetricsForDpi(index, static_cast<UINT>(dpi));
    }
    return MulDiv(GetSystemMetrics(index), dpi, ScreenDpi());
}

RECT FrameForClient(int width, int height, DWORD style, int dpi) {
    RECT frame{0, 0, width, height};
    if (!Calls().AdjustWindowRectExForDpi ||
        !Calls().AdjustWindowRectExForDpi(&frame, style, FALSE, 0, static_cast<UINT>(dpi))) {
        AdjustWindowRectEx(&frame, style, FALSE, 0);
    }
    OffsetRect(&frame, -frame.left, -frame.top);
    return frame;
}

LOGFONTW MessageFontForDpi(int dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (Calls().SystemParametersInfoForDpi &&
        Calls().SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                           static_cast<UINT>(dpi))) {
        return metrics.lfMessageFont;
    }
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, ScreenDpi());
    return metrics.lfMessageFont;
}
