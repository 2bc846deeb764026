#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "platform/registry.h"

// A value for the registry: text, or a number.
using RegValue = std::variant<std::string, int32_t>;

// The status for a REG_DWORD value that is not a number (the system's ERROR_INVALID_DATA).
inline constexpr int32_t kInvalidData = 13;

// Writes one value under an existing key of HKEY_LOCAL_MACHINE; does nothing when the key
// cannot be opened for setting values.
void WriteMachineRegValue(Registry& registry, std::string_view subkey, std::string_view name,
                          const RegValue& value, int32_t type);

// REG_SZ: the UTF-8 text and its NUL; REG_DWORD: 4 bytes, least significant first. Returns the
// registry's status, kInvalidData for a REG_DWORD value that is not a number (nothing is
// written then), and 0 for any other type, which writes nothing.
int32_t SetRegValueOfType(RegistryKey& key, std::string_view name, int32_t type,
                          const RegValue& value);
