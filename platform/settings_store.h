#pragma once

#include <optional>
#include <string>
#include <string_view>

// Per-user store of text settings, addressed by application, section and key.
class SettingsStore {
public:
    // The stored text, defaultValue when the key is absent, nothing when reading failed.
    virtual std::optional<std::string> GetSetting(std::string_view appName,
                                                  std::string_view section, std::string_view key,
                                                  std::string_view defaultValue) = 0;
    virtual bool SaveSetting(std::string_view appName, std::string_view section,
                             std::string_view key, std::string_view value) = 0;

protected:
    ~SettingsStore() = default;
};
