#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Text-to-number conversion in the user's number format: blanks around the number, an
// optional sign, digits and an optional fraction after the user's decimal separator. A
// fraction is rounded to the nearest integer, an exact half to the even neighbour.
// Returns nothing for anything else, or when the rounded value does not fit 32 bits.
std::optional<int32_t> ParseRoundedInteger(std::string_view text,
                                           std::string_view decimalSeparator);

// 0 for every failure, as callers rely on: they cannot tell it from a true 0.
int16_t SafeInt(std::string_view text, std::string_view decimalSeparator);
int32_t SafeLong(std::string_view text, std::string_view decimalSeparator);
