#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/unique_handle.h"

struct RegKeyObject;

// An open registry key; the platform defines how it is closed.
struct RegKeyTraits {
    using pointer = RegKeyObject*;
    static pointer invalid() { return nullptr; }
    static void close(pointer key);
};
using unique_hkey = unique_handle<RegKeyTraits>;

inline constexpr int32_t REG_SZ_TYPE = 1;
inline constexpr int32_t REG_DWORD_TYPE = 4;

class Registry {
public:
    // Opens an existing key under HKEY_LOCAL_MACHINE for setting values only; never creates.
    virtual unique_hkey OpenMachineKeyForSetValue(std::string_view subkey) = 0;
    // Returns the OS status, 0 for success.
    virtual int32_t SetValue(RegKeyObject* key, std::string_view name, int32_t type,
                             std::span<const std::byte> data) = 0;

protected:
    ~Registry() = default;
};
