#pragma once

#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/app_core.h"
#include "platform/ports.h"
#include "timeservice/time_service.h"
#include "ui/main_form.h"

// Short names for the tests' tables.
inline constexpr CheckBoxState kOff = CheckBoxState::Unchecked;
inline constexpr CheckBoxState kOn = CheckBoxState::Checked;
inline constexpr CheckBoxState kGreyed = CheckBoxState::Greyed;

// Thrown by the fake EndProcess so a test can see that nothing runs after it.
struct ProcessEnded {};

// One log that every fake writes to, so a test can check the order of events across them.
using EventLog = std::vector<std::string>;

class FakeWindow final : public MainWindow {
public:
    explicit FakeWindow(EventLog& log);

    bool Load(std::string& failure) override;
    void SetText(ControlId control, std::string_view text) override;
    void GetText(ControlId control, std::string& text) override { text = texts[control]; }
    CheckBoxState CheckState(ControlId control) override { return checks[control]; }
    void SetCheckState(ControlId control, CheckBoxState value) override;
    void SetTextColor(ControlId control, Rgb color) override;
    void SetEnabled(ControlId control, bool enabled) override { disabled[control] = !enabled; }
    void Show() override {
        visible = true;
        log.push_back("show");
    }
    void Hide() override {
        visible = false;
        log.push_back("hide");
    }
    WindowState State() override { return state; }
    void SetState(WindowState newState) override;
    void SetForeground() override { log.push_back("foreground"); }
    void EnableTimer() override {
        timerEnabled = true;
        log.push_back("timer on");
    }
    void PopupTrayMenu() override { log.push_back("menu"); }
    bool AskOkCancel(std::string_view text) override;

    EventLog& log;
    MainWindowEvents* events = nullptr;
    std::map<ControlId, std::string> texts;
    std::map<ControlId, CheckBoxState> checks;
    std::map<ControlId, Rgb> colors;
    std::map<ControlId, bool> disabled;
    std::vector<std::string> statusHistory;  // every text written to the status line
    std::vector<std::string> colorChanges;   // "lblReadme=red" ...
    bool loaded = false;
    std::optional<std::string> createFailure;  // the reason the window cannot be created
    bool visible = false;
    bool timerEnabled = false;
    WindowState state = WindowState::Normal;
    bool answerOk = false;
    std::string question;
};

class FakeRuntime final : public Runtime {
public:
    explicit FakeRuntime(EventLog& eventLog) : log(eventLog) {}

    bool AnotherInstanceRunning() override {
        log.push_back("instance check");
        return anotherInstance;
    }
    void ReleaseSingleInstance() override { log.push_back("release instance"); }
    void ShowError(std::string_view text) override { log.push_back("error " + std::string(text)); }
    std::string ProgramFolder() override {
        log.push_back("folder");
        return programFolder;
    }
    void YieldToPendingMessages() override;
    void EndProcess() override {
        log.push_back("end");
        throw ProcessEnded{};
    }
    std::string_view DecimalSeparator() override { return decimalSeparator; }
    std::string ProductName() override { return productName; }
    void DebugReport(std::string_view text) override { reports.emplace_back(text); }

    EventLog& log;
    bool anotherInstance = false;
    std::string programFolder = "D:\\Tools";
    std::string decimalSeparator = ".";
    std::string productName = "Orva Zelmora";
    // Runs inside the yield, as a message dispatched there would.
    std::function<void()> onYield;
    int yields = 0;
    std::vector<std::string> reports;  // DebugReport's lines
};

class FakeClock final : public Clock {
public:
    explicit FakeClock(EventLog& eventLog) : log(eventLog) {}

    SystemTime GetSystemTime() override { return systemTime; }
    SetClockResult SetSystemTime(const SystemTime& utc) override;
    void Sleep(uint32_t milliseconds) override {
        sleeps.push_back(milliseconds);
        log.push_back("sleep " + std::to_string(milliseconds));
    }
    TimeText LocalTimeText() override;
    std::string LocalTimeAmPm() override { return amPmText; }
    float SecondsSinceMidnight() override { return secondsSinceMidnight; }
    uint64_t MonotonicMilliseconds() override { return monotonicMs; }
    // The system time as it stands, on a monotonic clock that stands still unless told.
    ClockReading ReadClocks() override;

    EventLog& log;
    SystemTime systemTime{2026, 12, 1, 7, 10, 15, 30, 250};
    SetClockResult setResult = SetClockResult::Done;
    std::vector<SystemTime> sets;
    std::vector<uint32_t> sleeps;
    std::string clockText = "10:15:30";
    std::string amPmText = "10:15:42 AM";
    float secondsSinceMidnight = 36930.0f;
    uint64_t monotonicMs = 1000000;
    int64_t monotonicTicks = 0;
};

class FakeHttp final : public Http {
public:
    explicit FakeHttp(EventLog& eventLog) : log(eventLog) {}

    PageDownload DownloadUrlText(const std::string& url) override;

    EventLog& log;
    std::deque<std::string> bodies;        // one per download; empty text when none is left
    std::deque<std::string> clockHeaders;  // one per download; none when none is left
    int64_t sentAt = 0;                    // every download's T1 and T4
    int64_t answeredAt = 0;
    std::vector<std::string> urls;
    std::function<void()> onDownload;
};

class FakeClockService final : public ClockService {
public:
    explicit FakeClockService(EventLog& eventLog) : log(eventLog) {}

    std::optional<ServiceAnswer> Synchronize() override {
        log.push_back("ask service");
        return answer;
    }

    EventLog& log;
    std::optional<ServiceAnswer> answer;  // nothing: not installed, stopped or silent
};

class FakeShell final : public Shell {
public:
    void ShellOpen(const std::string& target) override { opened.push_back(target); }
    std::vector<std::string> opened;
};

class FakeSettings final : public SettingsStore {
public:
    explicit FakeSettings(EventLog& eventLog) : log(eventLog) {}

    std::optional<std::string> GetSetting(std::string_view appName, std::string_view section,
                                          std::string_view key,
                                          std::string_view defaultValue) override;
    bool SaveSetting(std::string_view appName, std::string_view section, std::string_view key,
                     std::string_view value) override;

    EventLog& log;
    std::map<std::string, std::string> stored;  // "Zelmora\General\Interval" -> text
    std::set<std::string> failingKeys;          // reads and saves of these fail
};

class FakeRegistry final : public Registry {
public:
    explicit FakeRegistry(EventLog& eventLog) : log(eventLog) {}

    std::unique_ptr<RegistryKey> OpenMachineKeyForSetValue(std::string_view subkey) override;

    struct Value {
        int32_t type;
        std::vector<uint8_t> data;
    };
    EventLog& log;
    std::set<std::string> openableKeys{"Software\\Microsoft\\Windows\\CurrentVersion\\Run"};
    std::map<std::string, Value> values;  // "subkey\name"
    int opens = 0;
    int closes = 0;
    int32_t status = 0;  // what every SetValue answers
};

// The policy and preference keys: "Software\\Policies\\Orva\\Zelmora\\Interval" -> value.
class FakeMachineValues final : public MachineValues {
public:
    MachineValue ReadMachineValue(std::string_view subkey, std::string_view name) override {
        return values[std::string(subkey) + "\\" + std::string(name)];
    }
    void Set(std::string_view subkey, std::string_view name, MachineValue value) {
        values[std::string(subkey) + "\\" + std::string(name)] = std::move(value);
    }
    void SetNumber(std::string_view subkey, std::string_view name, uint32_t number) {
        Set(subkey, name, {MachineValue::Kind::Number, {}, number});
    }

    std::map<std::string, MachineValue> values;
};

class FakeTray final : public Tray {
public:
    explicit FakeTray(EventLog& eventLog) : log(eventLog) {}

    void AddIcon(const TrayIcon& icon) override {
        log.push_back("tray add");
        calls.emplace_back("add", icon);
    }
    void RemoveIcon(const TrayIcon& icon) override {
        log.push_back("tray delete");
        calls.emplace_back("delete", icon);
    }

    EventLog& log;
    std::vector<std::pair<std::string, TrayIcon>> calls;  // "add" or "delete", and the icon
};

class FakeTimeControls final : public TimeControls {
public:
    explicit FakeTimeControls(EventLog& eventLog) : log(eventLog) {}

    void SetStatus(std::string_view text) override {
        statusHistory.emplace_back(text);
        log.push_back("status " + std::string(text));
    }
    void SetClock(std::string_view text) override {
        clock = text;
        ++clockWrites;
    }
    CheckBoxState AutoState() override { return autoState; }
    void IntervalText(std::string& text) override { text = interval; }

    EventLog& log;
    std::vector<std::string> statusHistory;  // every text written to the status line
    std::string clock;
    int clockWrites = 0;
    CheckBoxState autoState = kOff;
    std::string interval = "15";
};

// The time service on the fakes it uses.
struct FakeTimeService {
    // A successful set at that local time, so that the last set lies there.
    void SynchronizeAt(float secondsSinceMidnight);

    EventLog log;
    FakeRuntime runtime{log};
    FakeClock clock{log};
    FakeHttp http{log};
    FakeClockService clockService{log};
    FakeTimeControls controls{log};
    FakeMachineValues machine;
    ManagedSettings managed;
    TimeService service{http, clock, clockService, runtime, controls, managed};
};

// A whole program on fakes, wired as WinMain wires the real one.
struct FakeProgram {
    FakeProgram() { window.events = &form; }

    EventLog log;
    FakeWindow window{log};
    FakeRuntime runtime{log};
    FakeClock clock{log};
    FakeHttp http{log};
    FakeClockService clockService{log};
    FakeShell shell;
    FakeSettings settings{log};
    FakeRegistry registry{log};
    FakeTray tray{log};
    MainWindowTimeControls timeControls{window};
    FakeMachineValues machine;
    ManagedSettings managed;
    TimeService timeService{http, clock, clockService, runtime, timeControls, managed};
    AppCore app{window, runtime, settings, registry, timeService, machine, managed};
    MainForm form{window, runtime, tray, shell, timeService, app};
};

// A failure shows a system time as a date and time rather than as bytes.
inline void PrintTo(const SystemTime& t, std::ostream* os) {
    *os << t.wYear << '-' << t.wMonth << '-' << t.wDay << " (weekday " << t.wDayOfWeek << ") "
        << t.wHour << ':' << t.wMinute << ':' << t.wSecond << '.' << t.wMilliseconds;
}

// A page of at least 100 characters that shows the given time before " UTC".
std::string PageWithTime(std::string_view hhmmss);
