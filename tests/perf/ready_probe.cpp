// ready_probe: the footprint benchmark's helper inside a Wine prefix.
//
//   hold <seconds>
//       brings up the prefix's desktop and taskbar, parks the pointer in the screen's top
//       right corner, prints "up" and then waits forever, so the desktop is already running
//       (and stays) when a measured program starts.
//   ready <class> <control id> <text> <timeout ms> <interval ms>
//       prints "polling", then polls every <interval ms> for a visible top-level window of
//       <class> whose child <control id> reads <text>; prints the wall-clock times (Unix
//       microseconds, the host's clock) at which it first saw the window, saw it visible and
//       saw the text, and exits 0; exits 2 on timeout.
//
// Texts are read with GetWindowTextW: for another process's window Wine answers from the
// window manager without sending the window a message, so a busy program cannot stall the
// probe and the probe does not add work to the measured program's thread.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

long long UnixMicroseconds() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    constexpr unsigned long long kEpochDifference = 116444736000000000ULL;  // 1601 to 1970
    return static_cast<long long>((t.QuadPart - kEpochDifference) / 10);
}

int Hold(double seconds) {
    GetDesktopWindow();  // starts the prefix's desktop process if it is not running yet
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    bool tray = false;
    while (!(tray = FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr) &&
           GetTickCount64() < deadline) {
        Sleep(20);
    }
    // Xvfb starts the pointer in the middle of the screen, where a centred window is. Under
    // Wine a pointer resting on a control that tracks hovering is polled every 10 ms, which
    // would be charged to whichever program happens to sit under it.
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, 0);
    std::printf("up tray=%d\n", tray ? 1 : 0);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int Ready(const wchar_t* className, int controlId, const wchar_t* text, int timeoutMs,
          int intervalMs) {
    std::printf("polling\n");
    std::fflush(stdout);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    long long foundUs = 0;
    long long visibleUs = 0;
    long polls = 0;
    HWND hwnd = nullptr;
    wchar_t seen[64];
    for (;;) {
        ++polls;
        if (!hwnd || !IsWindow(hwnd)) {
            hwnd = FindWindowW(className, nullptr);
        }
        if (hwnd) {
            if (!foundUs) {
                foundUs = UnixMicroseconds();
            }
            if (IsWindowVisible(hwnd)) {
                if (!visibleUs) {
                    visibleUs = UnixMicroseconds();
                }
                HWND control = GetDlgItem(hwnd, controlId);
                if (control && GetWindowTextW(control, seen, 64) > 0 &&
                    std::wcscmp(seen, text) == 0) {
                    const long long readyUs = UnixMicroseconds();
                    std::printf("ready ready_us=%lld window_us=%lld visible_us=%lld polls=%ld\n",
                                readyUs, foundUs, visibleUs, polls);
                    std::fflush(stdout);
                    return 0;
                }
            }
        }
        if (GetTickCount64() >= deadline) {
            std::printf("timeout window_us=%lld visible_us=%lld polls=%ld\n", foundUs, visibleUs,
                        polls);
            std::fflush(stdout);
            return 2;
        }
        Sleep(static_cast<DWORD>(intervalMs));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"hold") == 0) {
        return Hold(std::wcstod(argv[2], nullptr));
    }
    if (argc == 7 && std::wcscmp(argv[1], L"ready") == 0) {
        return Ready(argv[2], static_cast<int>(std::wcstol(argv[3], nullptr, 10)), argv[4],
                     static_cast<int>(std::wcstol(argv[5], nullptr, 10)),
                     static_cast<int>(std::wcstol(argv[6], nullptr, 10)));
    }
    std::fprintf(stderr,
                 "usage: ready_probe hold <seconds>\n"
                 "       ready_probe ready <class> <control id> <text> <timeout ms> "
                 "<interval ms>\n");
    return 64;
}
