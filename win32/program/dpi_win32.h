#pragma once

#include <windows.h>

// Scaling to the DPI of the monitor a window is on. The calls for it came with Windows 10;
// they are looked up at run time, and on older Windows every monitor has the screen's DPI.

// The DPI the screen reports to this program (the system DPI).
int ScreenDpi();
// The DPI of the monitor the window is on.
int WindowDpi(HWND window);
// A system metric (an icon size) at a DPI.
int SystemMetricForDpi(int index, int dpi);
// The window rectangle around a client area of the given size at a DPI, at 0, 0.
RECT FrameForClient(int width, int height, DWORD style, int dpi);
// The user's message font, sized for a DPI.
LOGFONTW MessageFontForDpi(int dpi);
