#include "win32/win32_platform.h"

#include <shellapi.h>

void Win32Shell::ShellOpen(const std::string& target) {
    ShellExecuteA(nullptr, "Open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
