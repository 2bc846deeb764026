#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The one pair of conversions between the program's UTF-8 texts and the system's UTF-16.
// Char16 is the system's 16-bit character (wchar_t on Windows, char16_t in the tests).
// Anything that is not well-formed (a stray byte, an overlong form, a surrogate encoded in
// UTF-8, a lone surrogate in UTF-16) becomes one U+FFFD per bad unit, never a fault.

inline constexpr char32_t kReplacementCharacter = 0xfffd;

namespace utf16_detail {

// One code point from the front of text, which it consumes; U+FFFD for a bad sequence, of
// which only the first byte is consumed.
inline char32_t DecodeUtf8(std::string_view& text) {
    const auto lead = static_cast<unsigned char>(text.front());
    text.remove_prefix(1);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 1;
        code = lead & 0x1fu;
        minimum = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 2;
        code = lead & 0x0fu;
        minimum = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 3;
        code = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return kReplacementCharacter;
    }
    if (text.size() < length) {
        return kReplacementCharacter;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0u) != 0x80) {
            return kReplacementCharacter;
        }
        code = (code << 6) | (next & 0x3fu);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return kReplacementCharacter;
    }
    text.remove_prefix(length);
    return code;
}

inline void AppendUtf8(char32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

}  // namespace utf16_detail

template <typename Char16>
std::basic_string<Char16> Utf8ToUtf16(std::string_view text) {
    static_assert(sizeof(Char16) == 2);
    std::basic_string<Char16> out;
    out.reserve(text.size());
    while (!text.empty()) {
        const char32_t code = utf16_detail::DecodeUtf8(text);
        if (code >= 0x10000) {
            out += static_cast<Char16>(0xd800 + ((code - 0x10000) >> 10));
            out += static_cast<Char16>(0xdc00 + ((code - 0x10000) & 0x3ff));
        } else {
            out += static_cast<Char16>(code);
        }
    }
    return out;
}

// Into out, whose storage is reused, so that repeated conversions need not allocate.
template <typename Char16>
void Utf16ToUtf8(std::basic_string_view<Char16> text, std::string& out) {
    static_assert(sizeof(Char16) == 2);
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<char32_t>(static_cast<std::uint16_t>(text[i]));
        char32_t code = unit;
        if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < text.size()) {
            const auto low = static_cast<char32_t>(static_cast<std::uint16_t>(text[i + 1]));
            if (low >= 0xdc00 && low <= 0xdfff) {
                code = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
                ++i;
            }
        }
        if (code >= 0xd800 && code <= 0xdfff) {
            code = kReplacementCharacter;
        }
        utf16_detail::AppendUtf8(code, out);
    }
}

template <typename Char16>
std::string Utf16ToUtf8(std::basic_string_view<Char16> text) {
    std::string out;
    Utf16ToUtf8(text, out);
    return out;
}
