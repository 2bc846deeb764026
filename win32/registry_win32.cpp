#include "win32/win32_platform.h"

#include <utility>
#include <vector>

#include "win32/names.h"

namespace {

std::string SettingsPath(std::string_view appName, std::string_view section) {
    return std::string(kSettingsRoot) + std::string(appName) + "\\" + std::string(section);
}

class Win32RegistryKey final : public RegistryKey {
public:
    explicit Win32RegistryKey(unique_hkey key) : key_(std::move(key)) {}

    int32_t SetValue(std::string_view name, int32_t type,
                     std::span<const std::byte> data) override {
        const std::string valueName(name);
        return RegSetValueExA(key_.get(), valueName.c_str(), 0, static_cast<DWORD>(type),
                              reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }

private:
    unique_hkey key_;
};

static_assert(kRegSz == REG_SZ && kRegDword == REG_DWORD);

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenMachineKeyForSetValue(std::string_view subkey) {
    HKEY key = nullptr;
    const std::string path(subkey);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return std::make_unique<Win32RegistryKey>(unique_hkey(key));
}

std::optional<std::string> Win32SettingsStore::GetSetting(std::string_view appName,
                                                          std::string_view section,
                                                          std::string_view key,
                                                          std::string_view defaultValue) {
    const std::string path = SettingsPath(appName, section);
    const std::string valueName(key);
    unique_hkey hkey;
    const LONG opened =
        RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, hkey.put());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return std::string(defaultValue);
    }
    if (opened != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExA(hkey.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::string(defaultValue);
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    std::vector<char> buffer(size + 1, '\0');  // the stored text may lack its NUL
    status = RegQueryValueExA(hkey.get(), valueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    return std::string(buffer.data());
}

bool Win32SettingsStore::SaveSetting(std::string_view appName, std::string_view section,
                                     std::string_view key, std::string_view value) {
    const std::string path = SettingsPath(appName, section);
    const std::string valueName(key);
    const std::string text(value);
    unique_hkey hkey;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, hkey.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExA(hkey.get(), valueName.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size()) + 1) == ERROR_SUCCESS;
}
