#pragma once

#include <windows.h>

#include "win32/shared/handles.h"

// The logo from the program's resources as an 8-bit bitmap in its own palette; no bitmap
// when the resource is missing or not a GIF the decoder takes.
unique_hbitmap LoadLogoBitmap(HINSTANCE instance);
