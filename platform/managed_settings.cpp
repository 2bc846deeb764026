#include "platform/managed_settings.h"

#include <algorithm>
#include <cctype>

namespace {

ManagedSetting Judged(const MachineValue& value, const ManagedRow& row, ManagedSource source) {
    ManagedSetting setting{source, false, value.text, value.number};
    if (row.type == ManagedType::Text) {
        setting.usable = value.kind == MachineValue::Kind::Text && value.text.size() >= row.min &&
                         value.text.size() <= row.max;
    } else {
        setting.usable = value.kind == MachineValue::Kind::Number && value.number >= row.min &&
                         value.number <= row.max;
    }
    return setting;
}

}  // namespace

const ManagedRow& RowOf(Managed id) {
    return kManagedRows[static_cast<std::size_t>(id)];
}

ManagedSetting ResolveManaged(MachineValues& machine, const ManagedRow& row) {
    if (const MachineValue policy = machine.ReadMachineValue(kPolicyKey, row.name);
        policy.kind != MachineValue::Kind::Absent) {
        return Judged(policy, row, ManagedSource::Policy);
    }
    if (!row.policyOnly) {
        if (const MachineValue preference = machine.ReadMachineValue(kPreferenceKey, row.name);
            preference.kind != MachineValue::Kind::Absent) {
            return Judged(preference, row, ManagedSource::Preference);
        }
    }
    return {};
}

bool PageAddressAcceptable(std::string_view url, bool httpsOnly) {
    std::string_view rest = url;
    if (rest.starts_with("https://")) {
        rest.remove_prefix(8);
    } else if (!httpsOnly && rest.starts_with("http://")) {
        rest.remove_prefix(7);
    } else {
        return false;
    }
    const bool clean = std::ranges::all_of(url, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f && c != '"' && c != '\'' && c != '\\';
    });
    return clean && !rest.empty() && rest.front() != '/';
}

std::optional<std::string> SwitchValue(std::string_view commandLine, std::string_view name) {
    const auto lower = [](std::string_view text) {
        std::string out(text);
        std::ranges::transform(out, out.begin(), [](char c) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
        return out;
    };
    const std::string line = lower(commandLine);
    const std::string wanted = lower(name);
    for (std::size_t at = line.find(wanted); at != std::string::npos;
         at = line.find(wanted, at + 1)) {
        if (at != 0 && line[at - 1] != ' ') {
            continue;
        }
        std::string_view value = commandLine.substr(at + wanted.size());
        if (value.starts_with('"')) {
            value.remove_prefix(1);
            return std::string(value.substr(0, value.find('"')));
        }
        return std::string(value.substr(0, value.find(' ')));
    }
    return std::nullopt;
}

void ManagedSettings::Read(MachineValues& machine) {
    for (const ManagedRow& row : kManagedRows) {
        values_[static_cast<std::size_t>(row.id)] = ResolveManaged(machine, row);
    }
}

bool ManagedSettings::Locked(Managed id) const {
    const ManagedSetting& setting = Get(id);
    return setting.source == ManagedSource::Policy && setting.usable;
}

PageChoice ManagedSettings::TimePage(std::string_view builtIn, bool httpsOnly) const {
    const ManagedSetting& page = Get(Managed::TimePage);
    if (page.source == ManagedSource::Default) {
        return {std::string(builtIn), {}};
    }
    const std::string where(page.source == ManagedSource::Policy ? kPolicyKey : kPreferenceKey);
    if (!page.usable) {
        return {page.text, "the TimePage value under HKLM\\" + where + " is not a text of " +
                               std::to_string(RowOf(Managed::TimePage).min) + " to " +
                               std::to_string(RowOf(Managed::TimePage).max) + " characters"};
    }
    if (!PageAddressAcceptable(page.text, httpsOnly)) {
        return {page.text, "the TimePage value under HKLM\\" + where + " is not " +
                               (httpsOnly ? "an https://" : "an http:// or https://") +
                               " address without blanks or quotes"};
    }
    return {page.text, {}};
}

std::optional<uint32_t> ManagedSettings::MaxStepSeconds() const {
    const ManagedSetting& max = Get(Managed::MaxStepSeconds);
    if (max.source == ManagedSource::Default) {
        return std::nullopt;
    }
    return max.usable ? max.number : 0;
}
