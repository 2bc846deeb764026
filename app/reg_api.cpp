#include "app/reg_api.h"

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/safe_convert.h"

namespace {

std::string AsText(const RegValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return std::to_string(std::get<int32_t>(value));
}

std::optional<int32_t> AsNumber(const RegValue& value) {
    if (const auto* number = std::get_if<int32_t>(&value)) {
        return *number;
    }
    return ParseRoundedInteger(std::get<std::string>(value), ".");
}

}  // namespace

void WriteMachineRegValue(Registry& registry, std::string_view subkey, std::string_view name,
                          const RegValue& value, int32_t type) {
    const auto key = registry.OpenMachineKeyForSetValue(subkey);
    if (!key) {
        return;
    }
    SetRegValueOfType(*key, name, type, value);
}

int32_t SetRegValueOfType(RegistryKey& key, std::string_view name, int32_t type,
                          const RegValue& value) {
    if (type == kRegSz) {
        const std::string text = AsText(value);
        std::vector<std::byte> data(text.size() + 1);  // the NUL is part of the data
        for (std::size_t i = 0; i < text.size(); ++i) {
            data[i] = static_cast<std::byte>(text[i]);
        }
        return key.SetValue(name, type, data);
    }
    if (type == kRegDword) {
        const auto converted = AsNumber(value);
        if (!converted) {
            return kInvalidData;
        }
        const auto number = static_cast<uint32_t>(*converted);
        const std::byte data[4] = {static_cast<std::byte>(number & 0xff),
                                   static_cast<std::byte>((number >> 8) & 0xff),
                                   static_cast<std::byte>((number >> 16) & 0xff),
                                   static_cast<std::byte>((number >> 24) & 0xff)};
        return key.SetValue(name, type, data);
    }
    return 0;
}
