#include "platform/managed_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"

namespace {

const MachineValue kAbsent{};
const MachineValue kUnreadable{MachineValue::Kind::Unreadable, {}, 0};
MachineValue Number(uint32_t n) {
    return {MachineValue::Kind::Number, {}, n};
}
MachineValue Text(std::string text) {
    return {MachineValue::Kind::Text, std::move(text), 0};
}

// A row's policy and preference; the page's address as the program takes it (none: refused).
struct ManagedCase : NamedCase {
    Managed id;
    MachineValue policy;
    MachineValue preference;
    ManagedSource source;
    bool usable;
    const char* page = nullptr;
};

class ManagedSettingsTest : public ::testing::TestWithParam<ManagedCase> {};

constexpr char kBuiltIn[] = "https://built.in/cgi-bin/timer.pl";

TEST_P(ManagedSettingsTest, PolicyThenPreferenceWithinBounds) {
    const ManagedCase& c = GetParam();
    FakeMachineValues machine;
    machine.Set(kPolicyKey, RowOf(c.id).name, c.policy);
    machine.Set(kPreferenceKey, RowOf(c.id).name, c.preference);
    ManagedSettings managed;
    managed.Read(machine);
    const ManagedSetting& s = managed.Get(c.id);
    EXPECT_EQ(std::tie(s.source, s.usable), std::tie(c.source, c.usable)) << c.name;
    if (c.id == Managed::TimePage) {
        const PageChoice choice = managed.TimePage(kBuiltIn, /*httpsOnly=*/true);
        EXPECT_EQ(choice.refusal.empty() ? choice.url : "(refused)", c.page ? c.page : "(refused)")
            << c.name;
    }
}

using enum Managed;
using enum ManagedSource;
const std::string kPage = "https://t.example:81/cgi-bin/timer.pl";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ManagedSettingsTest, ::testing::Values(
    ManagedCase{"nothing set", Interval, kAbsent, kAbsent, Default, true},
    ManagedCase{"preference", Interval, kAbsent, Number(20), Preference, true},
    ManagedCase{"policy wins", Interval, Number(45), Number(20), Policy, true},
    ManagedCase{"highest", Interval, Number(1439), kAbsent, Policy, true},
    ManagedCase{"a day never triggers", Interval, Number(1440), kAbsent, Policy, false},
    ManagedCase{"below", AutoSync, Number(2), Number(1), Policy, false},
    ManagedCase{"text for a number", AutoRun, Text("1"), kAbsent, Policy, false},
    ManagedCase{"not readable", AutoRun, kUnreadable, Number(1), Policy, false},
    ManagedCase{"step limit: policy only", MaxStepSeconds, kAbsent, Number(60), Default, true},
    ManagedCase{"step limit 0", MaxStepSeconds, Number(0), kAbsent, Policy, false},
    ManagedCase{"no page set: built in", TimePage, kAbsent, kAbsent, Default, true, kBuiltIn},
    ManagedCase{"page: preference", TimePage, kAbsent, Text(kPage), Preference, true, kPage.c_str()},
    ManagedCase{"page: policy over preference", TimePage, Text(kPage), Text("https://x/"), Policy, true, kPage.c_str()},
    ManagedCase{"page: no fall back from a bad one", TimePage, Text("ftp://x/"), Text(kPage), Policy, true},
    ManagedCase{"page: http where only https", TimePage, Text("http://x/"), kAbsent, Policy, true},
    ManagedCase{"page: blank", TimePage, Text("https://x/a b"), kAbsent, Policy, true},
    ManagedCase{"page: quote", TimePage, Text("https://x/\""), kAbsent, Policy, true},
    ManagedCase{"page: backslash", TimePage, Text("https://x\\y"), kAbsent, Policy, true},
    ManagedCase{"page: no host", TimePage, Text("https:///cgi-bin/timer.pl"), kAbsent, Policy, true},
    ManagedCase{"page: a number", TimePage, Number(1), kAbsent, Policy, false},
    ManagedCase{"page: too long", TimePage, Text("https://a/" + std::string(2039, 'x')), kAbsent, Policy, false}));
// clang-format on

}  // namespace

TEST(SwitchValueTest, UpToTheNextBlankOrWithinQuotes) {
    EXPECT_EQ(SwitchValue("/S /TIMEPAGE=https://x/a /D=C:\\Z", "/TIMEPAGE="), "https://x/a");
    EXPECT_EQ(SwitchValue("/timepage=\"https://x/a b\" /S", "/TIMEPAGE="), "https://x/a b");
    EXPECT_EQ(SwitchValue("/S /XTIMEPAGE=https://x/", "/TIMEPAGE="), std::nullopt);
    EXPECT_EQ(SwitchValue("/TIMEPAGE=", "/TIMEPAGE="), "");
}
