#include "win32/program/win32_platform.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "win32/program/names.h"
#include "win32/shared/wide.h"

namespace {

std::wstring SettingsPath(std::string_view appName, std::string_view section) {
    return Widen(std::string(kSettingsRoot) + std::string(appName) + "\\" + std::string(section));
}

// A text value's data as the wide call takes it: the text in UTF-16 and one NUL.
LONG SetTextValue(HKEY key, const std::wstring& name, std::string_view text) {
    const std::wstring wide = Widen(text);
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                          (static_cast<DWORD>(wide.size()) + 1) * DWORD{sizeof(wchar_t)});
}

class Win32RegistryKey final : public RegistryKey {
public:
    explicit Win32RegistryKey(unique_hkey key) : key_(std::move(key)) {}

    int32_t SetValue(std::string_view name, int32_t type,
                     std::span<const std::byte> data) override {
        const std::wstring valueName = Widen(name);
        if (type == kRegSz) {
            // The portable side hands over UTF-8 and its NUL.
            std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
            if (!text.empty() && text.back() == '\0') {
                text.remove_suffix(1);
            }
            return SetTextValue(key_.get(), valueName, text);
        }
        return RegSetValueExW(key_.get(), valueName.c_str(), 0, static_cast<DWORD>(type),
                              reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }

private:
    unique_hkey key_;
};

static_assert(kRegSz == REG_SZ && kRegDword == REG_DWORD);

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenMachineKeyForSetValue(std::string_view subkey) {
    unique_hkey key;
    const std::wstring path = Widen(subkey);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return std::make_unique<Win32RegistryKey>(std::move(key));
}

std::optional<std::string> Win32SettingsStore::GetSetting(std::string_view appName,
                                                          std::string_view section,
                                                          std::string_view key,
                                                          std::string_view defaultValue) {
    const std::wstring path = SettingsPath(appName, section);
    const std::wstring valueName = Widen(key);
    unique_hkey hkey;
    const LONG opened =
        RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, hkey.put());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return std::string(defaultValue);
    }
    if (opened != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(hkey.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::string(defaultValue);
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    // The stored text may lack its NUL, or end in half a character.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    status = RegQueryValueExW(hkey.get(), valueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    buffer[std::min<std::size_t>(size / sizeof(wchar_t), buffer.size() - 1)] = L'\0';
    return Narrow(buffer.data());
}

bool Win32SettingsStore::SaveSetting(std::string_view appName, std::string_view section,
                                     std::string_view key, std::string_view value) {
    const std::wstring path = SettingsPath(appName, section);
    const std::wstring valueName = Widen(key);
    unique_hkey hkey;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, hkey.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return SetTextValue(hkey.get(), valueName, value) == ERROR_SUCCESS;
}
