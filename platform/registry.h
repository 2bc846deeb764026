#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

// The value types the program writes.
inline constexpr int32_t kRegSz = 1;
inline constexpr int32_t kRegDword = 4;

// An open registry key, closed when the object goes.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;

    // Returns the system's status, 0 for success.
    virtual int32_t SetValue(std::string_view name, int32_t type,
                             std::span<const std::byte> data) = 0;
};

class Registry {
public:
    // Opens an existing key under HKEY_LOCAL_MACHINE for setting values only; never creates.
    // No key when it cannot be opened.
    virtual std::unique_ptr<RegistryKey> OpenMachineKeyForSetValue(std::string_view subkey) = 0;

protected:
    ~Registry() = default;
};
