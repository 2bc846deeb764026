#include "win32/win32_platform.h"

#include <shellapi.h>

#include "win32/wide.h"

void Win32Shell::ShellOpen(const std::string& target) {
    const std::wstring wide = Widen(target);
    ShellExecuteW(nullptr, L"Open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
