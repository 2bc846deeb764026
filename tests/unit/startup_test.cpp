#include "app/app_core.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "app/reg_api.h"
#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"

namespace {

const std::string kSettingsPrefix = "Zelmora\\General\\";
const std::string kRunValue = "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\OrvaZelmora";

class StartupTest : public ::testing::Test {
protected:
    void Store(const std::string& key, const std::string& value) {
        f.settings.stored[kSettingsPrefix + key] = value;
    }

    // The events of the start-up order, without the detail of the reads.
    std::vector<std::string> StartupEvents() const {
        std::vector<std::string> events;
        for (const std::string& e : f.log) {
            if (e.rfind("read ", 0) != 0) {
                events.push_back(e);
            }
        }
        return events;
    }

    // The events up to the loaded window with the stored check states, then the rest.
    static std::vector<std::string> Loaded(CheckBoxState autoState, std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"instance check", "folder", "load", "show", "yield", "tray add",
                                   "status Ready.", "text txtInterval=30",
                                   "check chkAuto=" + std::to_string(static_cast<int>(autoState)),
                                   "check chkAutoRun=0"});
        return rest;
    }

    FakeProgram f;
};

TEST_F(StartupTest, OrderWithNothingStored) {
    EXPECT_EQ(f.app.Main(), StartOutcome::Running);
    EXPECT_EQ(StartupEvents(), Loaded(kOff, {"show", "timer on"}));
    EXPECT_EQ(f.app.AppPath, "D:\\Tools\\");
    EXPECT_EQ(f.window.state, WindowState::Normal);
    EXPECT_TRUE(f.http.urls.empty());
}

TEST_F(StartupTest, OrderWithAutoOnSynchronisesWhileVisibleThenHidesIntoTheTray) {
    Store("Auto", "1");
    f.http.bodies = {PageWithTime("10:15:40")};
    EXPECT_EQ(f.app.Main(), StartOutcome::Running);
    // The synchronisation at start, with the window visible.
    const auto expected = Loaded(kOn, {"status Getting Time...", "yield", "download", "set clock",
                                       "status Time updated succesfully! (10:15:42 AM)", "show",
                                       "timer on", "minimize", "hide"});
    EXPECT_EQ(StartupEvents(), expected);
    EXPECT_FALSE(f.window.visible);
    EXPECT_EQ(f.window.state, WindowState::Minimized);
}

TEST_F(StartupTest, OrderWithAutoGreyedIsOffAtStart) {
    Store("Auto", "2");
    EXPECT_EQ(f.app.Main(), StartOutcome::Running);
    EXPECT_EQ(StartupEvents(), Loaded(kGreyed, {"show", "timer on"}));
    EXPECT_EQ(f.window.checks[ControlId::chkAuto], kGreyed);
}

TEST_F(StartupTest, FailedSynchronisationAtStartAlsoPausesTheTick) {
    Store("Auto", "1");
    f.app.Main();  // no page: the start-up attempt fails
    for (const uint64_t ms : {50, 59000, 1000}) {
        f.clock.monotonicMs += ms;
        f.form.OnTimer();
        EXPECT_EQ(f.http.urls.size(), ms == 1000 ? 2u : 1u) << "after " << ms << " ms";
    }
}

TEST_F(StartupTest, SecondInstanceEndsBeforeTouchingAnything) {
    f.runtime.anotherInstance = true;
    EXPECT_EQ(f.app.Main(), StartOutcome::AnotherInstance);
    EXPECT_EQ(f.log, (EventLog{"instance check"}));
    EXPECT_FALSE(f.window.loaded);
    EXPECT_TRUE(f.settings.stored.empty());
    EXPECT_EQ(ExitCode(StartOutcome::AnotherInstance), 0);
}

TEST_F(StartupTest, WindowThatCannotBeCreatedEndsTheStartWithAMessageAndTheTokenGiven) {
    f.window.createFailure = "Not enough memory.";
    EXPECT_EQ(f.app.Main(), StartOutcome::NoWindow);
    EXPECT_EQ(f.log, (EventLog{"instance check", "folder", "load failed", "release instance",
                               "error " + std::string(kNoWindowMessage) + "Not enough memory."}));
    EXPECT_NE(ExitCode(StartOutcome::NoWindow), 0);
}

struct FolderCase {
    const char* folder;
    const char* appPath;
};

void PrintTo(const FolderCase& c, std::ostream* os) {
    *os << c.folder;
}

class AppPathTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(AppPathTest, EndsInExactlyOneBackslash) {
    EXPECT_EQ(WithTrailingBackslash(GetParam().folder), GetParam().appPath);
}

INSTANTIATE_TEST_SUITE_P(Table, AppPathTest,
                         ::testing::Values(FolderCase{"D:\\Tools", "D:\\Tools\\"},
                                           FolderCase{"D:\\Tools\\", "D:\\Tools\\"},
                                           FolderCase{"D:\\", "D:\\"}, FolderCase{"D:", "D:\\"},
                                           FolderCase{"\\\\server\\share", "\\\\server\\share\\"},
                                           FolderCase{"C:\\My Tools", "C:\\My Tools\\"}));

struct AutorunCase {
    const char* value;
    bool forThisFolder;
};

void PrintTo(const AutorunCase& c, std::ostream* os) {
    *os << c.value;
}

class AutorunIsForTest : public ::testing::TestWithParam<AutorunCase> {};

TEST_P(AutorunIsForTest, ThisInstallationsOrNothing) {
    EXPECT_EQ(AutorunIsFor(GetParam().value, "C:\\My Tools\\"), GetParam().forThisFolder);
}

INSTANTIATE_TEST_SUITE_P(Table, AutorunIsForTest,
                         ::testing::Values(AutorunCase{"\"C:\\My Tools\\Zelmora.exe\"", true},
                                           AutorunCase{"C:\\MY TOOLS\\zelmora.EXE", true},
                                           AutorunCase{"", true},
                                           AutorunCase{"C:\\Tools\\Zelmora.exe", false},
                                           AutorunCase{"\"C:\\My Tools\\Zelmora.exe\" /x", false},
                                           AutorunCase{"\"C:\\My Tools\\Zelmora.exe", false}));

struct LoadCase {
    const char* stored;  // nullptr: absent
    const char* interval;
    CheckBoxState autoState;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << (c.stored ? c.stored : "(absent)");
}

class LoadSettingsTest : public StartupTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadSettingsTest, AppliesUsableValuesOnly) {
    const LoadCase& c = GetParam();
    if (c.stored) {
        Store("Interval", c.stored);
        Store("Auto", c.stored);
        Store("AutoRun", c.stored);
    }
    f.app.LoadSettings();
    EXPECT_EQ(f.window.texts[ControlId::txtInterval], c.interval) << c.stored;
    EXPECT_EQ(f.window.checks[ControlId::chkAuto], c.autoState) << c.stored;
    EXPECT_EQ(f.window.checks[ControlId::chkAutoRun], c.autoState) << c.stored;
}

INSTANTIATE_TEST_SUITE_P(Table, LoadSettingsTest,
                         ::testing::Values(LoadCase{nullptr, "30", kOff}, LoadCase{"", "30", kOff},
                                           LoadCase{"0", "30", kOff}, LoadCase{"-5", "30", kOff},
                                           LoadCase{"abc", "30", kOff},
                                           LoadCase{"99999999999", "30", kOff},
                                           LoadCase{"45", "45", kOff},
                                           // Kept as stored, blanks and all.
                                           LoadCase{" 45 ", " 45 ", kOff}, LoadCase{"1", "1", kOn},
                                           LoadCase{"2", "2", kGreyed}, LoadCase{"7", "7", kOff}));

TEST_F(StartupTest, LoadSettingsSkipsAFailedStepAndGoesOn) {
    Store("Auto", "1");
    Store("AutoRun", "1");
    f.settings.failingKeys = {"Interval"};
    f.app.LoadSettings();
    // The failed read leaves the design value; the check still replaces nothing usable.
    EXPECT_EQ(f.window.texts[ControlId::txtInterval], "15");
    EXPECT_EQ(f.window.checks[ControlId::chkAuto], kOn);
    EXPECT_EQ(f.window.checks[ControlId::chkAutoRun], kOn);

    FakeProgram g;
    g.settings.stored[kSettingsPrefix + "AutoRun"] = "1";
    g.settings.failingKeys = {"Auto"};
    g.app.LoadSettings();
    EXPECT_EQ(g.window.checks[ControlId::chkAuto], kOff);
    EXPECT_EQ(g.window.checks[ControlId::chkAutoRun], kOn);
}

std::string Bytes(const FakeRegistry::Value& v) {
    return {v.data.begin(), v.data.end()};
}

struct SaveCase : NamedCase {
    const char* appPath;
    CheckBoxState autoRun;
    const char* runData;  // without the NUL
};

class SaveSettingsTest : public StartupTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveSettingsTest, StoresTextsAndRewritesTheAutorunValue) {
    const SaveCase& c = GetParam();
    f.app.AppPath = c.appPath;
    f.window.texts[ControlId::txtInterval] = "";
    f.window.checks[ControlId::chkAuto] = kGreyed;
    f.window.checks[ControlId::chkAutoRun] = c.autoRun;
    f.app.SaveSettings();

    EXPECT_EQ(f.settings.stored[kSettingsPrefix + "Interval"], "") << c.name;
    EXPECT_EQ(f.settings.stored[kSettingsPrefix + "Auto"], "2") << c.name;
    EXPECT_EQ(f.settings.stored[kSettingsPrefix + "AutoRun"],
              std::to_string(static_cast<int>(c.autoRun)));
    ASSERT_EQ(f.registry.values.count(kRunValue), 1u) << c.name;
    const FakeRegistry::Value& value = f.registry.values[kRunValue];
    EXPECT_EQ(value.type, 1);
    EXPECT_EQ(Bytes(value), std::string(c.runData) + '\0') << c.name;
    EXPECT_EQ(f.registry.opens, f.registry.closes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SaveSettingsTest,
    ::testing::Values(SaveCase{"on", "D:\\Tools\\", kOn, "D:\\Tools\\Zelmora.exe"},
                      SaveCase{"off", "D:\\Tools\\", kOff, ""},
                      SaveCase{"greyed", "D:\\Tools\\", kGreyed, ""},
                      // Unquoted, Windows could run D:\My.exe at every log-on.
                      SaveCase{"on, blank in folder", "D:\\My Tools\\", kOn,
                               "\"D:\\My Tools\\Zelmora.exe\""},
                      SaveCase{"off, blank in folder", "D:\\My Tools\\", kOff, ""},
                      SaveCase{"on, drive root", "D:\\", kOn, "D:\\Zelmora.exe"}));

TEST_F(StartupTest, SaveSettingsOrderAndUnwritableRunKey) {
    f.registry.openableKeys.clear();
    f.window.checks[ControlId::chkAutoRun] = kOn;
    f.app.AppPath = "D:\\Tools\\";
    f.app.SaveSettings();
    const EventLog expected{"save Interval=15", "save Auto=0", "save AutoRun=1",
                            "reg open Software\\Microsoft\\Windows\\CurrentVersion\\Run"};
    EXPECT_EQ(f.log, expected);
    EXPECT_TRUE(f.registry.values.empty());
    EXPECT_EQ(f.window.statusHistory.size(), 0u) << "nothing is reported";
}

TEST_F(StartupTest, SaveSettingsGoesOnAfterAFailedStore) {
    f.settings.failingKeys = {"Interval", "Auto"};
    f.window.checks[ControlId::chkAutoRun] = kOn;
    f.app.SaveSettings();
    EXPECT_EQ(f.settings.stored[kSettingsPrefix + "AutoRun"], "1");
    EXPECT_EQ(f.registry.values.count(kRunValue), 1u);
}

TEST_F(StartupTest, EndProgramEndsTheProcess) {
    EXPECT_THROW(f.app.EndProgram(), ProcessEnded);
    EXPECT_EQ(f.log, (EventLog{"end"}));
}

struct RegTypeCase : NamedCase {
    int32_t type;
    RegValue value;
    std::vector<uint8_t> data;  // empty and absent: nothing written
    bool written;
};

class SetRegValueOfTypeTest : public ::testing::TestWithParam<RegTypeCase> {};

TEST_P(SetRegValueOfTypeTest, WritesTheEncodedData) {
    const RegTypeCase& c = GetParam();
    FakeProgram f;
    f.registry.status = 5;  // the registry's status is passed back
    const auto key = f.registry.OpenMachineKeyForSetValue(kRunSubkey);
    const int32_t result = SetRegValueOfType(*key, "V", c.type, c.value);
    const std::string path = "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\V";
    if (!c.written) {
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(f.registry.values.count(path), 0u) << c.name;
        return;
    }
    EXPECT_EQ(result, 5) << c.name;
    ASSERT_EQ(f.registry.values.count(path), 1u) << c.name;
    EXPECT_EQ(f.registry.values[path].type, c.type) << c.name;
    EXPECT_EQ(f.registry.values[path].data, c.data) << c.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SetRegValueOfTypeTest, ::testing::Values(
    RegTypeCase{"text", 1, std::string("D:\\Z.exe"), {'D', ':', '\\', 'Z', '.', 'e', 'x', 'e', 0}, true},
    RegTypeCase{"empty text is one NUL", 1, std::string(), {0}, true},
    RegTypeCase{"number as text", 1, int32_t{42}, {'4', '2', 0}, true},
    RegTypeCase{"dword, least significant byte first", 4, int32_t{0x01020304}, {4, 3, 2, 1}, true},
    RegTypeCase{"negative dword", 4, int32_t{-2}, {0xfe, 0xff, 0xff, 0xff}, true},
    RegTypeCase{"dword from text", 4, std::string("258"), {2, 1, 0, 0}, true},
    RegTypeCase{"other type writes nothing", 3, std::string("x"), {}, false}));
// clang-format on

TEST(SetRegValueOfType, DwordThatIsNotANumberFails) {
    FakeProgram f;
    const auto key = f.registry.OpenMachineKeyForSetValue(kRunSubkey);
    EXPECT_EQ(SetRegValueOfType(*key, "V", 4, std::string("abc")), kInvalidData);
    EXPECT_TRUE(f.registry.values.empty());
}

}  // namespace

namespace {

// A policy over the user's own stored 20, 0 and 0.
struct LockCase : NamedCase {
    Managed id;
    uint32_t policy;
};

class PolicyLockTest : public StartupTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(PolicyLockTest, ShowsThePolicyDisabledAndNeverStoresIt) {
    const LockCase& c = GetParam();
    const ManagedRow& row = RowOf(c.id);
    const auto shown = [&] {
        return row.id == Managed::Interval
                   ? f.window.texts[*row.locks]
                   : std::to_string(static_cast<int>(f.window.checks[*row.locks]));
    };
    const std::string own = c.id == Managed::Interval ? "20" : "0";
    Store("Interval", "20");
    Store("Auto", "0");
    Store("AutoRun", "0");
    f.machine.SetNumber(kPolicyKey, row.name, c.policy);
    f.app.Main();
    EXPECT_EQ(std::pair(shown(), f.window.disabled[*row.locks]),
              std::pair(std::to_string(c.policy), true))
        << c.name;
    f.app.SaveSettings();
    EXPECT_EQ(f.settings.stored[kSettingsPrefix + std::string(row.userKey)], own) << c.name;
    EXPECT_EQ(f.registry.values.count(kRunValue), c.id == Managed::AutoRun ? 0u : 1u) << c.name;
    f.machine.values.clear();
    f.app.PolicyChanged();
    EXPECT_EQ(std::pair(shown(), f.window.disabled[*row.locks]), std::pair(own, false)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Table, PolicyLockTest,
                         ::testing::Values(LockCase{"interval", Managed::Interval, 45},
                                           LockCase{"automatic", Managed::AutoSync, 1},
                                           LockCase{"autorun", Managed::AutoRun, 1}));

TEST_F(StartupTest, APreferenceIsOnlyADefaultAndALaterOrUnusablePolicyFixesOnlyItsControl) {
    f.machine.SetNumber(kPreferenceKey, "Interval", 45);
    f.machine.SetNumber(kPreferenceKey, "AutoRun", 1);
    f.machine.SetNumber(kPolicyKey, "AutoSync", 7);
    Store("AutoRun", "0");
    f.app.LoadSettings();
    EXPECT_EQ(f.window.texts[ControlId::txtInterval], "45");
    EXPECT_EQ(f.window.checks[ControlId::chkAutoRun], kOff) << "the user's own choice";
    EXPECT_FALSE(f.window.disabled[ControlId::chkAuto]) << "an unusable policy";
    f.window.texts[ControlId::txtInterval] = "7";  // typed, not saved
    f.machine.SetNumber(kPolicyKey, "AutoSync", 1);
    f.app.PolicyChanged();
    EXPECT_EQ(std::tie(f.window.checks[ControlId::chkAuto], f.window.disabled[ControlId::chkAuto]),
              std::tuple(kOn, true));
    EXPECT_EQ(f.window.texts[ControlId::txtInterval], "7");
}

}  // namespace
