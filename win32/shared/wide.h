#pragma once

#include <string>
#include <string_view>

#include "platform/utf16.h"

// The Win32 layer speaks UTF-16 to Windows and UTF-8 to the rest of the program.
inline std::wstring Widen(std::string_view text) {
    return Utf8ToUtf16<wchar_t>(text);
}

inline std::string Narrow(std::wstring_view text) {
    return Utf16ToUtf8(text);
}
