// The floor the footprint benchmark compares Zelmora.exe with: the least a Win32 program
// needs to show a window with a "Ready." label and keep a 50 ms timer running. Built with
// the same compiler and flags as Zelmora.exe; keep it minimal and honest, never tuned.

#include <windows.h>

namespace {

constexpr char kClassName[] = "BareMainWindow";
constexpr int kStatusId = 115;  // the same control id as Zelmora's status label
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerIntervalMs = 50;

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_TIMER:
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    if (!RegisterClassExA(&wc)) {
        return 1;
    }
    HWND hwnd = CreateWindowExA(
        0, kClassName, "", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
        CW_USEDEFAULT, 400, 300, nullptr, nullptr, instance, nullptr);
    if (!hwnd) {
        return 1;
    }
    CreateWindowExA(0, "STATIC", "Ready.", WS_CHILD | WS_VISIBLE | SS_LEFT, 8, 8, 300, 20, hwnd,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusId)), instance, nullptr);
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);
    SetTimer(hwnd, kTimerId, kTimerIntervalMs, nullptr);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
