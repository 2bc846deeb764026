// Texts from controls, stored settings and the page all go through these conversions: no
// input may crash them, and a converted value must be the text's number rounded.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/safe_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string_view separator = (data[0] & 1) ? "," : ".";
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const int32_t asLong = SafeLong(text, separator);
    const int16_t asInt = SafeInt(text, separator);
    if (asInt != 0 && asInt != asLong) {
        std::abort();
    }
    const auto parsed = ParseRoundedInteger(text, separator);
    if (!parsed) {
        if (asLong != 0) {
            std::abort();
        }
        return 0;
    }
    // Cross-check with the C library on the same text in its own notation.
    std::string plain(text);
    if (separator == ",") {
        for (char& c : plain) {
            c = c == ',' ? '.' : c;
        }
    }
    char* end = nullptr;
    const long double reference = std::strtold(plain.c_str(), &end);
    if (std::fabs(reference - static_cast<long double>(*parsed)) > 0.5L + 1e-9L) {
        std::abort();
    }
    return 0;
}
