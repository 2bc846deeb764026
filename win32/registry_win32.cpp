#include "win32/win32_platform.h"

#include <vector>

namespace {

constexpr char kSettingsRoot[] = "Software\\VB and VBA Program Settings\\";

HKEY AsHkey(RegKeyObject* key) {
    return reinterpret_cast<HKEY>(key);
}

std::string SettingsPath(std::string_view appName, std::string_view section) {
    return std::string(kSettingsRoot) + std::string(appName) + "\\" + std::string(section);
}

}  // namespace

void RegKeyTraits::close(pointer key) {
    RegCloseKey(AsHkey(key));
}

unique_hkey Win32Registry::OpenMachineKeyForSetValue(std::string_view subkey) {
    HKEY key = nullptr;
    const std::string path(subkey);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return unique_hkey();
    }
    return unique_hkey(reinterpret_cast<RegKeyObject*>(key));
}

int32_t Win32Registry::SetValue(RegKeyObject* key, std::string_view name, int32_t type,
                                std::span<const std::byte> data) {
    const std::string valueName(name);
    return RegSetValueExA(AsHkey(key), valueName.c_str(), 0, static_cast<DWORD>(type),
                          reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
}

std::optional<std::string> Win32SettingsStore::GetSetting(std::string_view appName,
                                                          std::string_view section,
                                                          std::string_view key,
                                                          std::string_view defaultValue) {
    const std::string path = SettingsPath(appName, section);
    const std::string valueName(key);
    unique_win32_hkey hkey;
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
    unique_win32_hkey hkey;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, hkey.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExA(hkey.get(), valueName.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}
