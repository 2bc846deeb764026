#include "win32/program/win32_platform.h"

#include <shellapi.h>

#include "win32/shared/wide.h"

void Win32Shell::ShellOpen(const std::string& target) {
    const std::wstring wide = Widen(target);
    ShellExecuteW(nullptr, L"Open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
