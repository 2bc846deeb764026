#include "app/app_core.h"

#include <algorithm>
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
    if (const auto interval = settings_.GetSetting(kAppName, kSection, "Interval", "30")) {
        frmMain_.SetText(ControlId::txtInterval, *interval);
    }
    std::string interval;
    frmMain_.GetText(ControlId::txtInterval, interval);
    if (SafeLong(interval, runtime_.DecimalSeparator()) < 1) {
        frmMain_.SetText(ControlId::txtInterval, "30");
    }
    ApplyCheckState(ControlId::chkAuto, "Auto");
    ApplyCheckState(ControlId::chkAutoRun, "AutoRun");
}

void AppCore::ApplyCheckState(ControlId box, std::string_view key) {
    const auto stored = settings_.GetSetting(kAppName, kSection, key, "0");
    if (!stored) {
        return;
    }
    const int16_t state = SafeInt(*stored, runtime_.DecimalSeparator());
    if (state >= 0 && state <= 2) {
        frmMain_.SetCheckState(box, static_cast<CheckBoxState>(state));
    }
}

// Each store stands alone: one that fails is skipped, and the next one runs.
void AppCore::SaveSettings() {
    std::string interval;
    frmMain_.GetText(ControlId::txtInterval, interval);
    settings_.SaveSetting(kAppName, kSection, "Interval", interval);
    settings_.SaveSetting(kAppName, kSection, "Auto",
                          StoredText(frmMain_.CheckState(ControlId::chkAuto)));
    settings_.SaveSetting(kAppName, kSection, "AutoRun",
                          StoredText(frmMain_.CheckState(ControlId::chkAutoRun)));
    const bool autorun = frmMain_.CheckState(ControlId::chkAutoRun) == CheckBoxState::Checked;
    WriteMachineRegValue(registry_, kRunSubkey, kRunValueName,
                         autorun ? AutorunCommand(AppPath) : std::string(), kRegSz);
}

void AppCore::EndProgram() {
    runtime_.EndProcess();
}
