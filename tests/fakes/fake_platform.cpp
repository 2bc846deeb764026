#include "tests/fakes/fake_platform.h"

#include "ui/main_window_layout.h"

namespace {

// The fake's own open key: it counts closes through the registry that opened it.
class FakeKey final : public RegistryKey {
public:
    FakeKey(FakeRegistry& owner, std::string subkey) : owner_(owner), subkey_(std::move(subkey)) {}
    ~FakeKey() override {
        ++owner_.closes;
        owner_.log.push_back("reg close " + subkey_);
    }

    int32_t SetValue(std::string_view name, int32_t type,
                     std::span<const std::byte> data) override {
        owner_.log.push_back("reg set " + std::string(name));
        FakeRegistry::Value value{type, {}};
        for (const std::byte b : data) {
            value.data.push_back(static_cast<uint8_t>(b));
        }
        owner_.values[subkey_ + "\\" + std::string(name)] = value;
        return owner_.status;
    }

private:
    FakeRegistry& owner_;
    std::string subkey_;
};

std::string ColorName(Rgb c) {
    if (c == kLinkBlue) {
        return "blue";
    }
    if (c == kLinkRed) {
        return "red";
    }
    return "other";
}

std::string ControlName(ControlId id) {
    switch (id) {
        case ControlId::lblInfo:
            return "lblInfo";
        case ControlId::lblTime:
            return "lblTime";
        case ControlId::lblReadme:
            return "lblReadme";
        case ControlId::lblWebsite:
            return "lblWebsite";
        case ControlId::txtInterval:
            return "txtInterval";
        case ControlId::chkAuto:
            return "chkAuto";
        case ControlId::chkAutoRun:
            return "chkAutoRun";
        default:
            return std::to_string(static_cast<int>(id));
    }
}

}  // namespace

FakeWindow::FakeWindow(EventLog& eventLog) : log(eventLog) {
    for (const ControlSpec& c : kMainWindowControls) {
        texts[c.id] = std::string(c.text);
        if (c.textColor) {
            colors[c.id] = *c.textColor;
        }
    }
    checks[ControlId::chkAuto] = kOff;
    checks[ControlId::chkAutoRun] = kOff;
}

bool FakeWindow::Load(std::string& failure) {
    if (loaded) {
        return true;
    }
    if (createFailure) {
        failure = *createFailure;
        log.push_back("load failed");
        return false;
    }
    loaded = true;
    log.push_back("load");
    if (events) {
        events->OnLoad();
    }
    return true;
}

void FakeWindow::SetText(ControlId control, std::string_view text) {
    texts[control] = std::string(text);
    if (control == ControlId::lblInfo) {
        statusHistory.emplace_back(text);
        log.push_back("status " + std::string(text));
    } else if (control != ControlId::lblTime) {
        log.push_back("text " + ControlName(control) + "=" + std::string(text));
    }
}

void FakeWindow::SetCheckState(ControlId control, CheckBoxState value) {
    checks[control] = value;
    log.push_back("check " + ControlName(control) + "=" + std::to_string(static_cast<int>(value)));
}

void FakeWindow::SetTextColor(ControlId control, Rgb color) {
    colors[control] = color;
    colorChanges.push_back(ControlName(control) + "=" + ColorName(color));
}

void FakeWindow::SetState(WindowState newState) {
    state = newState;
    log.push_back(newState == WindowState::Minimized ? "minimize" : "restore");
    // As the OS does, a change of state is reported as a resize.
    if (events) {
        events->OnResize();
    }
}

bool FakeWindow::AskOkCancel(std::string_view text) {
    question = std::string(text);
    log.push_back(answerOk ? "ask ok" : "ask cancel");
    return answerOk;
}

void FakeRuntime::YieldToPendingMessages() {
    ++yields;
    log.push_back("yield");
    if (onYield) {
        // Once: what was queued runs now, later yields find the queue empty.
        auto pending = std::move(onYield);
        onYield = nullptr;
        pending();
    }
}

SetClockResult FakeClock::SetSystemTime(const SystemTime& utc) {
    sets.push_back(utc);
    const bool done = setResult == SetClockResult::Done;
    log.push_back(done ? "set clock" : "set clock refused");
    if (done) {
        systemTime = utc;
    }
    return setResult;
}

TimeText FakeClock::LocalTimeText() {
    TimeText text;
    text.size = std::min(clockText.size(), text.chars.size());
    std::copy_n(clockText.begin(), text.size, text.chars.begin());
    return text;
}

ClockReading FakeClock::ReadClocks() {
    return {TicksFromSystemTime(systemTime), monotonicTicks};
}

PageDownload FakeHttp::DownloadUrlText(const std::string& url) {
    urls.push_back(url);
    log.push_back("download");
    if (onDownload) {
        onDownload();
    }
    PageDownload download{{}, {}, sentAt, answeredAt};
    if (!bodies.empty()) {
        download.text = std::move(bodies.front());
        bodies.pop_front();
    }
    if (!clockHeaders.empty()) {
        download.clockHeader = std::move(clockHeaders.front());
        clockHeaders.pop_front();
    }
    return download;
}

namespace {

std::string SettingPath(std::string_view app, std::string_view section, std::string_view key) {
    return std::string(app) + "\\" + std::string(section) + "\\" + std::string(key);
}

}  // namespace

std::optional<std::string> FakeSettings::GetSetting(std::string_view appName,
                                                    std::string_view section, std::string_view key,
                                                    std::string_view defaultValue) {
    const std::string path = SettingPath(appName, section, key);
    log.push_back("read " + std::string(key));
    if (failingKeys.contains(std::string(key))) {
        return std::nullopt;
    }
    const auto found = stored.find(path);
    return found == stored.end() ? std::string(defaultValue) : found->second;
}

bool FakeSettings::SaveSetting(std::string_view appName, std::string_view section,
                               std::string_view key, std::string_view value) {
    log.push_back("save " + std::string(key) + "=" + std::string(value));
    if (failingKeys.contains(std::string(key))) {
        return false;
    }
    stored[SettingPath(appName, section, key)] = std::string(value);
    return true;
}

std::unique_ptr<RegistryKey> FakeRegistry::OpenMachineKeyForSetValue(std::string_view subkey) {
    log.push_back("reg open " + std::string(subkey));
    if (!openableKeys.contains(std::string(subkey))) {
        return nullptr;
    }
    ++opens;
    return std::make_unique<FakeKey>(*this, std::string(subkey));
}

void FakeTimeService::SynchronizeAt(float secondsSinceMidnight) {
    clock.secondsSinceMidnight = secondsSinceMidnight;
    http.bodies.push_front(PageWithTime("10:15:30"));
    service.SynchronizeTime(/*checkOnly=*/false, /*reportDifference=*/false);
}

std::string PageWithTime(std::string_view hhmmss) {
    std::string page = "<html><head><title>Current time</title></head><body><p>";
    page += hhmmss;
    page += " UTC</p><p>2026-12-07</p>";
    while (page.size() < 120) {
        page += ' ';
    }
    return page + "</body></html>";
}
