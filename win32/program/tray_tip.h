#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

// The tip field of the shell's first icon record: 64 UTF-16 characters.
inline constexpr std::size_t kTipChars = 64;

// The name, one NUL, then blanks to the end of the field; a longer name is cut to fit, never
// between the two halves of a surrogate pair.
template <typename Char16>
void FillTip(std::span<Char16, kTipChars> tip,
             std::basic_string_view<std::type_identity_t<Char16>> name) {
    std::fill(tip.begin(), tip.end(), Char16{' '});
    std::size_t n = std::min(name.size(), tip.size() - 1);
    if (n < name.size() && n > 0 && name[n - 1] >= 0xd800 && name[n - 1] <= 0xdbff) {
        --n;
    }
    std::copy_n(name.begin(), n, tip.begin());
    tip[n] = Char16{0};
}
