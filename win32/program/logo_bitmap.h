#pragma once

#include <windows.h>

#include "win32/shared/handles.h"

// The logo from the program's resources at a DPI: at 96 its own pixels, an 8-bit bitmap in
// its own palette; at any other DPI resampled smoothly to its size there. No bitmap when the
// resource is missing or not a GIF the decoder takes.
unique_hbitmap LoadLogoBitmap(HINSTANCE instance, int dpi);
