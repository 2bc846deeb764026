#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

// The tip field of the shell's first icon record: 64 characters.
inline constexpr std::size_t kTipChars = 64;

// The name, one NUL, then blanks to the end of the field; a longer name is cut to fit.
inline void FillTip(std::span<char, kTipChars> tip, std::string_view name) {
    std::fill(tip.begin(), tip.end(), ' ');
    const std::size_t n = std::min(name.size(), tip.size() - 1);
    std::copy_n(name.begin(), n, tip.begin());
    tip[n] = '\0';
}
