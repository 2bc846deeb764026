#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ports.h"
#include "win32/shared/clock_win32.h"
#include "win32/shared/handles.h"

class Win32MainWindow;

class Win32Http final : public Http {
public:
    PageDownload DownloadUrlText(const std::string& url) override;

private:
    unique_kernel_handle worker_;  // the last download's thread
};

// The clock service's client: believes only the service's own process.
class Win32ClockService final : public ClockService {
public:
    std::optional<ServiceAnswer> Synchronize() override;
};

class Win32Shell final : public Shell {
public:
    void ShellOpen(const std::string& target) override;
};

class Win32Runtime final : public Runtime {
public:
    explicit Win32Runtime(Win32MainWindow& window);

    bool AnotherInstanceRunning() override;
    void ReleaseSingleInstance() override;
    void ShowError(std::string_view text) override;
    std::string ProgramFolder() override;
    void YieldToPendingMessages() override;
    void EndProcess() override;
    std::string_view DecimalSeparator() override;
    std::string ProductName() override;
    void DebugReport(std::string_view text) override;

private:
    Win32MainWindow& window_;
    unique_kernel_handle instanceMutex_;
    std::string decimalSeparator_;
};

class Win32SettingsStore final : public SettingsStore {
public:
    std::optional<std::string> GetSetting(std::string_view appName, std::string_view section,
                                          std::string_view key,
                                          std::string_view defaultValue) override;
    bool SaveSetting(std::string_view appName, std::string_view section, std::string_view key,
                     std::string_view value) override;
};

class Win32Registry final : public Registry {
public:
    std::unique_ptr<RegistryKey> OpenMachineKeyForSetValue(std::string_view subkey) override;
};

// The icon belongs to the main window: the shell reports its mouse events there.
class Win32Tray final : public Tray {
public:
    explicit Win32Tray(const Win32MainWindow& window) : window_(window) {}

    void AddIcon(const TrayIcon& icon) override;
    void RemoveIcon(const TrayIcon& icon) override;

private:
    const Win32MainWindow& window_;
};
