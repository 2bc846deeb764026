#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "platform/registry.h"

// A value for the registry: text, or a number.
using RegValue = std::variant<std::string, int32_t>;

// Writes one value under an existing key of HKEY_LOCAL_MACHINE; does nothing when the key
// cannot be opened for setting values.
void WriteMachineRegValue(Registry& registry, std::string_view subkey, std::string_view name,
                          const RegValue& value, int32_t type);

// REG_SZ: the ANSI text and its NUL; REG_DWORD: 4 bytes, least significant first; any other
// type writes nothing and gives 0. Throws std::invalid_argument for a REG_DWORD value that
// is not a number.
int32_t SetRegValueOfType(Registry& registry, RegKeyObject* key, std::string_view name,
                          int32_t type, const RegValue& value);
