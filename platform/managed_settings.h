#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/main_window.h"

// What an organisation may set for every PC. Both keys are under HKEY_LOCAL_MACHINE, which
// only administrators may write. A 32-bit program reads them in the 64-bit view
// (KEY_WOW64_64KEY): Group Policy and Intune write there on 64-bit Windows, and while
// Software\Policies is shared by both views, Software\Orva would otherwise be redirected to
// Software\WOW6432Node\Orva.
inline constexpr std::string_view kPolicyKey = "Software\\Policies\\Orva\\Zelmora";
inline constexpr std::string_view kPreferenceKey = "Software\\Orva\\Zelmora";

// In the order of kManagedRows, which is the order LoadSettings applies them in.
enum class Managed { TimePage, Interval, AutoSync, AutoRun, MaxStepSeconds };
enum class ManagedType { Text, Number };

// One managed value: its name under both keys, its type (REG_SZ text or REG_DWORD number),
// its bounds (a number's values, a text's length), whether only a policy may set it, the
// control a policy fixes and the user's own setting it stands above.
struct ManagedRow {
    Managed id;
    std::string_view name;
    ManagedType type;
    uint32_t min;
    uint32_t max;
    bool policyOnly;
    std::optional<ControlId> locks;
    std::string_view userKey;
};

// The page's address wins over the build's; numbers over the user's settings. A policy wins
// over the machine's preference, which stands in for the built-in default only.
inline constexpr std::array<ManagedRow, 5> kManagedRows{{
    {Managed::TimePage, "TimePage", ManagedType::Text, 1, 2048, false, std::nullopt, ""},
    {Managed::Interval, "Interval", ManagedType::Number, 1, 1439, false, ControlId::txtInterval,
     "Interval"},
    {Managed::AutoSync, "AutoSync", ManagedType::Number, 0, 1, false, ControlId::chkAuto, "Auto"},
    {Managed::AutoRun, "AutoRun", ManagedType::Number, 0, 1, false, ControlId::chkAutoRun,
     "AutoRun"},
    {Managed::MaxStepSeconds, "MaxStepSeconds", ManagedType::Number, 1, 43200, true, std::nullopt,
     ""},
}};

constexpr bool RowsInOrder() {
    for (std::size_t i = 0; i < kManagedRows.size(); ++i) {
        if (static_cast<std::size_t>(kManagedRows[i].id) != i) {
            return false;
        }
    }
    return true;
}
static_assert(RowsInOrder(), "kManagedRows is indexed by Managed");

const ManagedRow& RowOf(Managed id);

// One value as the registry holds it: absent, text, number, or there but not readable as
// either (another type, too long, access denied).
struct MachineValue {
    enum class Kind { Absent, Text, Number, Unreadable };
    Kind kind = Kind::Absent;
    std::string text;
    uint32_t number = 0;
};

// The machine's registry as an administrator left it.
class MachineValues {
public:
    virtual MachineValue ReadMachineValue(std::string_view subkey, std::string_view name) = 0;

protected:
    ~MachineValues() = default;
};

enum class ManagedSource { Default, Preference, Policy };

// Where a value came from and what it holds; not usable when its type or bounds are wrong.
struct ManagedSetting {
    ManagedSource source = ManagedSource::Default;
    bool usable = true;
    std::string text;
    uint32_t number = 0;
};

// The policy's value when one is there, else the preference's, else the default's.
ManagedSetting ResolveManaged(MachineValues& machine, const ManagedRow& row);

// The address the program or the service fetches, or why none: an address an administrator
// set that breaks the build-time address's rules is not used, and nothing else is.
struct PageChoice {
    std::string url;
    std::string refusal;  // empty when url may be fetched
};

// True for http:// or https:// (only https:// when httpsOnly) with a host and no blank, quote,
// backslash or control character.
bool PageAddressAcceptable(std::string_view url, bool httpsOnly);

// The value of a switch such as "/TIMEPAGE=" (any case) on a command line: up to the next blank,
// or within the quotes it starts with. Nothing when the switch is absent.
std::optional<std::string> SwitchValue(std::string_view commandLine, std::string_view name);

// The managed values as last read, for the program's start and each policy change.
class ManagedSettings {
public:
    void Read(MachineValues& machine);
    const ManagedSetting& Get(Managed id) const { return values_[static_cast<std::size_t>(id)]; }
    // A usable policy fixes the row's control.
    bool Locked(Managed id) const;
    PageChoice TimePage(std::string_view builtIn, bool httpsOnly) const;
    // The largest step allowed, in seconds; 0 when an unusable policy allows none.
    std::optional<uint32_t> MaxStepSeconds() const;

private:
    std::array<ManagedSetting, kManagedRows.size()> values_{};
};
