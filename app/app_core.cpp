#include "app/app_core.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "app/reg_api.h"
#include "platform/safe_convert.h"

namespace {

std::string StoredText(CheckBoxState state) {
    return std::to_string(static_cast<int>(state));
}

}  // namespace

std::string WithTrailingBackslash(std::string folder) {
    if (folder.empty() || folder.back() != '\\') {
        folder += '\\';
    }
    return folder;
}

std::string AutorunCommand(std::string_view appPath) {
    std::string command = std::string(appPath) + std::string(kExeName);
    if (command.find(' ') != std::string::npos) {
        command = '"' + command + '"';
    }
    return command;
}

bool AutorunIsFor(std::string_view value, std::string_view appPath) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    const std::string program = std::string(appPath) + std::string(kExeName);
    return value.empty() || std::ranges::equal(value, program, [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

StartOutcome AppCore::Main() {
    if (runtime_.AnotherInstanceRunning()) {
        return StartOutcome::AnotherInstance;
    }
    AppPath = WithTrailingBackslash(runtime_.ProgramFolder());
    if (std::string failure; !frmMain_.Load(failure)) {
        runtime_.ReleaseSingleInstance();
        runtime_.ShowError(std::string(kNoWindowMessage) + failure);
        return StartOutcome::NoWindow;
    }
    LoadSettings();
    if (frmMain_.CheckState(ControlId::chkAuto) == CheckBoxState::Checked) {
        timeService_.SynchronizeAutomatically();
    }
    frmMain_.Show();
    frmMain_.EnableTimer();
    if (frmMain_.CheckState(ControlId::chkAuto) == CheckBoxState::Checked) {
        frmMain_.SetState(WindowState::Minimized);
    }
    return StartOutcome::Running;
}

// Each step stands alone: a read that fails leaves its control as it was.
void AppCore::LoadSettings() {
    managed_.Read(machine_);
    ApplyManaged(nullptr);
}

void AppCore::PolicyChanged() {
    LockedRows wasLocked{};
    for (const ManagedRow& row : kManagedRows) {
        wasLocked[static_cast<std::size_t>(row.id)] = managed_.Locked(row.id);
    }
    managed_.Read(machine_);
    ApplyManaged(&wasLocked);
}

void AppCore::ApplyManaged(const LockedRows* wasLocked) {
    for (const ManagedRow& row : kManagedRows) {
        if (!row.locks) {
            continue;
        }
        if (managed_.Locked(row.id)) {
            ApplyPolicy(row);
        } else if (!wasLocked) {
            LoadUserSetting(row);
        } else if ((*wasLocked)[static_cast<std::size_t>(row.id)]) {
            LoadUserSetting(row);
            frmMain_.SetEnabled(*row.locks, true);
        }
    }
}

void AppCore::ApplyPolicy(const ManagedRow& row) {
    const uint32_t value = managed_.Get(row.id).number;
    if (row.id == Managed::Interval) {
        frmMain_.SetText(*row.locks, std::to_string(value));
    } else {
        frmMain_.SetCheckState(*row.locks, static_cast<CheckBoxState>(value));
    }
    frmMain_.SetEnabled(*row.locks, false);
}

void AppCore::LoadUserSetting(const ManagedRow& row) {
    if (row.id == Managed::Interval) {
        LoadInterval(row);
    } else {
        ApplyCheckState(row);
    }
}

std::string AppCore::UserDefault(const ManagedRow& row, std::string_view builtIn) const {
    const ManagedSetting& setting = managed_.Get(row.id);
    if (setting.source == ManagedSource::Preference && setting.usable) {
        return std::to_string(setting.number);
    }
    return std::string(builtIn);
}

void AppCore::LoadInterval(const ManagedRow& row) {
    if (const auto interval =
            settings_.GetSetting(kAppName, kSection, row.userKey, UserDefault(row, "30"))) {
        frmMain_.SetText(ControlId::txtInterval, *interval);
    }
    std::string interval;
    frmMain_.GetText(ControlId::txtInterval, interval);
    if (SafeLong(interval, runtime_.DecimalSeparator()) < 1) {
        frmMain_.SetText(ControlId::txtInterval, "30");
    }
}

void AppCore::ApplyCheckState(const ManagedRow& row) {
    const auto stored =
        settings_.GetSetting(kAppName, kSection, row.userKey, UserDefault(row, "0"));
    if (!stored) {
        return;
    }
    const int16_t state = SafeInt(*stored, runtime_.DecimalSeparator());
    if (state >= 0 && state <= 2) {
        frmMain_.SetCheckState(*row.locks, static_cast<CheckBoxState>(state));
    }
}

// Each store stands alone: one that fails is skipped, and the next one runs. What a policy
// fixes is not the user's choice, so it is not stored as one.
void AppCore::SaveSettings() {
    if (!managed_.Locked(Managed::Interval)) {
        std::string interval;
        frmMain_.GetText(ControlId::txtInterval, interval);
        settings_.SaveSetting(kAppName, kSection, RowOf(Managed::Interval).userKey, interval);
    }
    if (!managed_.Locked(Managed::AutoSync)) {
        settings_.SaveSetting(kAppName, kSection, RowOf(Managed::AutoSync).userKey,
                              StoredText(frmMain_.CheckState(ControlId::chkAuto)));
    }
    if (managed_.Locked(Managed::AutoRun)) {
        return;
    }
    settings_.SaveSetting(kAppName, kSection, RowOf(Managed::AutoRun).userKey,
                          StoredText(frmMain_.CheckState(ControlId::chkAutoRun)));
    const bool autorun = frmMain_.CheckState(ControlId::chkAutoRun) == CheckBoxState::Checked;
    WriteMachineRegValue(registry_, kRunSubkey, kRunValueName,
                         autorun ? AutorunCommand(AppPath) : std::string(), kRegSz);
}

void AppCore::EndProgram() {
    runtime_.EndProcess();
}
