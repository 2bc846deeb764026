#include "app/reg_api.h"

#include <cstddef>
#include <stdexcept>
#include <vector>

#include "platform/safe_convert.h"

namespace {

std::string AsText(const RegValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return std::to_string(std::get<int32_t>(value));
}

int32_t AsNumber(const RegValue& value) {
    if (const auto* number = std::get_if<int32_t>(&value)) {
        return *number;
    }
    const auto parsed = ParseRoundedInteger(std::get<std::string>(value), ".");
    if (!parsed) {
        throw std::invalid_argument("registry value is not a number");
    }
    return *parsed;
}

}  // namespace

void WriteMachineRegValue(Registry& registry, std::string_view subkey, std::string_view name,
                          const RegValue& value, int32_t type) {
    const unique_hkey key = registry.OpenMachineKeyForSetValue(subkey);
    if (!key) {
        return;
    }
    SetRegValueOfType(registry, key.get(), name, type, value);
}

int32_t SetRegValueOfType(Registry& registry, RegKeyObject* key, std::string_view name,
                          int32_t type, const RegValue& value) {
    if (type == REG_SZ_TYPE) {
        const std::string text = AsText(value);
        std::vector<std::byte> data(text.size() + 1);  // the NUL is part of the data
        for (std::size_t i = 0; i < text.size(); ++i) {
            data[i] = static_cast<std::byte>(text[i]);
        }
        return registry.SetValue(key, name, type, data);
    }
    if (type == REG_DWORD_TYPE) {
        const auto number = static_cast<uint32_t>(AsNumber(value));
        const std::byte data[4] = {static_cast<std::byte>(number & 0xff),
                                   static_cast<std::byte>((number >> 8) & 0xff),
                                   static_cast<std::byte>((number >> 16) & 0xff),
                                   static_cast<std::byte>((number >> 24) & 0xff)};
        return registry.SetValue(key, name, type, data);
    }
    return 0;
}
