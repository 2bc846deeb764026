#include "app/startup.h"

#include <exception>
#include <string>

#include "app/program.h"
#include "app/reg_api.h"
#include "platform/safe_convert.h"
#include "timeservice/tick.h"

namespace {

// A step that fails is skipped and the next one runs.
template <typename Step>
void SkipOnFailure(Step step) {
    try {
        step();
    } catch (const std::exception&) {
    }
}

void ApplyCheckState(Program& p, ControlId box, std::string_view key) {
    const auto stored = p.settings.GetSetting(kAppName, kSection, key, "0");
    if (!stored) {
        return;
    }
    const int16_t state = SafeInt(*stored, p.runtime.DecimalSeparator());
    if (state >= 0 && state <= 2) {
        p.frmMain.SetCheckState(box, state);
    }
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

bool Main(Program& p) {
    if (p.runtime.AnotherInstanceRunning()) {
        return false;
    }
    p.AppPath = WithTrailingBackslash(p.runtime.ProgramFolder());
    p.frmMain.Load();
    LoadSettings(p);
    if (p.frmMain.CheckState(ControlId::chkAuto) == 1) {
        SynchronizeAutomatically(p);
    }
    p.frmMain.Show();
    p.frmMain.EnableTimer();
    if (p.frmMain.CheckState(ControlId::chkAuto) == 1) {
        p.frmMain.SetState(WindowState::Minimized);
    }
    return true;
}

void LoadSettings(Program& p) {
    SkipOnFailure([&] {
        if (const auto interval = p.settings.GetSetting(kAppName, kSection, "Interval", "30")) {
            p.frmMain.SetText(ControlId::txtInterval, *interval);
        }
    });
    SkipOnFailure([&] {
        std::string interval;
        p.frmMain.GetText(ControlId::txtInterval, interval);
        if (SafeLong(interval, p.runtime.DecimalSeparator()) < 1) {
            p.frmMain.SetText(ControlId::txtInterval, "30");
        }
    });
    SkipOnFailure([&] { ApplyCheckState(p, ControlId::chkAuto, "Auto"); });
    SkipOnFailure([&] { ApplyCheckState(p, ControlId::chkAutoRun, "AutoRun"); });
}

void SaveSettings(Program& p) {
    SkipOnFailure([&] {
        std::string interval;
        p.frmMain.GetText(ControlId::txtInterval, interval);
        p.settings.SaveSetting(kAppName, kSection, "Interval", interval);
    });
    SkipOnFailure([&] {
        p.settings.SaveSetting(kAppName, kSection, "Auto",
                               std::to_string(p.frmMain.CheckState(ControlId::chkAuto)));
    });
    SkipOnFailure([&] {
        p.settings.SaveSetting(kAppName, kSection, "AutoRun",
                               std::to_string(p.frmMain.CheckState(ControlId::chkAutoRun)));
    });
    SkipOnFailure([&] {
        const bool autorun = p.frmMain.CheckState(ControlId::chkAutoRun) == 1;
        WriteMachineRegValue(p.registry, kRunSubkey, kRunValueName,
                             autorun ? AutorunCommand(p.AppPath) : std::string(), kRegSz);
    });
}

void EndProgram(Program& p) {
    p.runtime.EndProcess();
}
