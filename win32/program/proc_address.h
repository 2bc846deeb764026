#pragma once

#include <windows.h>

// Looks a function of a loaded library up by name; false when this Windows lacks it.
template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
    // Through void (*)() because a cast between two other function types draws a warning.
    function =
        reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return function != nullptr;
}
