#include "platform/safe_convert.h"

#include <limits>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::optional<int32_t> ParseRoundedInteger(std::string_view text,
                                           std::string_view decimalSeparator) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }

    // Magnitude limit: one more than INT32_MAX so that INT32_MIN still fits.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t whole = 0;
    std::size_t digits = 0;
    while (!text.empty() && IsDigit(text.front())) {
        whole = whole * 10 + (text.front() - '0');
        if (whole > kLimit) {
            return std::nullopt;
        }
        text.remove_prefix(1);
        ++digits;
    }

    // Fraction: 1 below a half, 2 an exact half, 3 above a half; 0 none at all.
    int fraction = 0;
    if (!decimalSeparator.empty() && text.starts_with(decimalSeparator)) {
        text.remove_prefix(decimalSeparator.size());
        bool first = true;
        while (!text.empty() && IsDigit(text.front())) {
            const char c = text.front();
            if (first) {
                fraction = c > '5' ? 3 : (c == '5' ? 2 : (c == '0' ? 0 : 1));
                first = false;
            } else if (c != '0' && fraction == 2) {
                fraction = 3;
            } else if (c != '0' && fraction == 0) {
                fraction = 1;
            }
            text.remove_prefix(1);
            ++digits;
        }
    }
    if (digits == 0 || !text.empty()) {
        return std::nullopt;
    }

    if (fraction == 3 || (fraction == 2 && whole % 2 != 0)) {
        ++whole;
    }
    const int64_t value = negative ? -whole : whole;
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

int32_t SafeLong(std::string_view text, std::string_view decimalSeparator) {
    return ParseRoundedInteger(text, decimalSeparator).value_or(0);
}

int16_t SafeInt(std::string_view text, std::string_view decimalSeparator) {
    const int32_t value = SafeLong(text, decimalSeparator);
    if (value < std::numeric_limits<int16_t>::min() ||
        value > std::numeric_limits<int16_t>::max()) {
        return 0;
    }
    return static_cast<int16_t>(value);
}
