#include "platform/managed_settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/fakes/fake_platform.h"
#include "tests/unit/named_case.h"

namespace {

const MachineValue kAbsent{};
MachineValue Number(uint32_t n) {
    return {MachineValue::Kind::Number, {}, n};
}
MachineValue Text(std::string text) {
    return {MachineValue::Kind::Text, std::move(text), 0};
}
const MachineValue kUnreadable{MachineValue::Kind::Unreadable, {}, 0};

struct ResolveCase : NamedCase {
    Managed id;
    MachineValue policy;
    MachineValue preference;
    ManagedSource source;
    bool usable;
    uint32_t number;
};

class ResolveManagedTest : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveManagedTest, PolicyThenPreferenceWithinBounds) {
    const ResolveCase& c = GetParam();
    FakeMachineValues machine;
    const std::string name(RowOf(c.id).name);
    for (const auto& [key, value] :
         {std::pair{kPolicyKey, c.policy}, {kPreferenceKey, c.preference}}) {
        if (value.kind != MachineValue::Kind::Absent) {
            machine.values[std::string(key) + "\\" + name] = value;
        }
    }
    const ManagedSetting s = ResolveManaged(machine, RowOf(c.id));
    EXPECT_EQ(s.source, c.source) << c.name;
    EXPECT_EQ(s.usable, c.usable) << c.name;
    if (c.usable && c.source != ManagedSource::Default) {
        EXPECT_EQ(s.number, c.number) << c.name;
    }
}

using enum Managed;
using enum ManagedSource;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ResolveManagedTest, ::testing::Values(
    ResolveCase{"nothing set", Interval, kAbsent, kAbsent, Default, true, 0},
    ResolveCase{"preference", Interval, kAbsent, Number(20), Preference, true, 20},
    ResolveCase{"policy wins", Interval, Number(45), Number(20), Policy, true, 45},
    ResolveCase{"lowest", Interval, Number(1), kAbsent, Policy, true, 1},
    ResolveCase{"highest", Interval, Number(1439), kAbsent, Policy, true, 1439},
    ResolveCase{"below", Interval, Number(0), Number(20), Policy, false, 0},
    ResolveCase{"a day never triggers", Interval, Number(1440), kAbsent, Policy, false, 0},
    ResolveCase{"text for a number", AutoSync, Text("1"), kAbsent, Policy, false, 0},
    ResolveCase{"not readable", AutoRun, kUnreadable, Number(1), Policy, false, 0},
    ResolveCase{"a check box is 0 or 1", AutoRun, Number(2), kAbsent, Policy, false, 0},
    ResolveCase{"step limit: policy only", MaxStepSeconds, kAbsent, Number(60), Default, true, 0},
    ResolveCase{"step limit of 12 hours", MaxStepSeconds, Number(43200), kAbsent, Policy, true, 43200},
    ResolveCase{"step limit 0", MaxStepSeconds, Number(0), kAbsent, Policy, false, 0},
    ResolveCase{"number for the page", TimePage, Number(1), kAbsent, Policy, false, 0},
    ResolveCase{"page too long", TimePage, Text("https://a/" + std::string(2039, 'x')), kAbsent, Policy, false, 0}));
// clang-format on

struct PageCase : NamedCase {
    MachineValue policy;
    MachineValue preference;
    bool httpsOnly;
    const char* url;  // nothing: refused
};

class PageChoiceTest : public ::testing::TestWithParam<PageCase> {};

constexpr char kBuiltIn[] = "http://127.0.0.1:8123/cgi-bin/timer.pl";

TEST_P(PageChoiceTest, TheAdministratorsAddressUnderTheBuildsRulesOrNone) {
    const PageCase& c = GetParam();
    FakeMachineValues machine;
    if (c.policy.kind != MachineValue::Kind::Absent) {
        machine.values[std::string(kPolicyKey) + "\\TimePage"] = c.policy;
    }
    if (c.preference.kind != MachineValue::Kind::Absent) {
        machine.values[std::string(kPreferenceKey) + "\\TimePage"] = c.preference;
    }
    ManagedSettings managed;
    managed.Read(machine);
    const PageChoice choice = managed.TimePage(kBuiltIn, c.httpsOnly);
    if (c.url) {
        EXPECT_EQ(choice.url, c.url) << c.name;
        EXPECT_EQ(choice.refusal, "") << c.name;
    } else {
        EXPECT_NE(choice.refusal.find("TimePage"), std::string::npos) << c.name;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, PageChoiceTest, ::testing::Values(
    PageCase{"none set: built in", kAbsent, kAbsent, false, kBuiltIn},
    PageCase{"preference", kAbsent, Text("http://10.1.1.1:81/cgi-bin/timer.pl"), false, "http://10.1.1.1:81/cgi-bin/timer.pl"},
    PageCase{"policy over preference", Text("https://t.example/cgi-bin/timer.pl"), Text("http://10.1.1.1/cgi-bin/timer.pl"), true, "https://t.example/cgi-bin/timer.pl"},
    PageCase{"http where only https", kAbsent, Text("http://10.1.1.1/cgi-bin/timer.pl"), true, nullptr},
    PageCase{"bad policy: no fall back to the preference", Text("ftp://t.example/"), Text("http://10.1.1.1/"), false, nullptr},
    PageCase{"blank", Text("http://t.example/cgi bin"), kAbsent, false, nullptr},
    PageCase{"quote", Text("http://t.example/\"x"), kAbsent, false, nullptr},
    PageCase{"backslash", Text("http://t.example\\x"), kAbsent, false, nullptr},
    PageCase{"no host", Text("https:///cgi-bin/timer.pl"), kAbsent, false, nullptr},
    PageCase{"empty", Text(""), kAbsent, false, nullptr},
    PageCase{"not text", Number(1), kAbsent, false, nullptr}));
// clang-format on

}  // namespace
