#include "platform/install_folder.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

bool IsInstalledFileName(std::string_view name) {
    static constexpr std::array<std::string_view, 4> kInstalled = {
        "Zelmora.exe", "ZelmoraService.exe", "readme.txt", "uninstall.exe"};
    return std::ranges::any_of(
        kInstalled, [name](std::string_view n) { return SameNameIgnoringCase(n, name); });
}

InstallFolderVerdict JudgeInstallFolder(const InstallFolderFacts& facts) {
    if (!facts.exists) {
        return InstallFolderVerdict::Create;
    }
    if (facts.isLink) {
        return InstallFolderVerdict::Link;
    }
    if (!facts.isFolder) {
        return InstallFolderVerdict::NotAFolder;
    }
    if (!facts.ownedByAdministrators) {
        return InstallFolderVerdict::OtherOwner;
    }
    const bool onlyOurs = std::ranges::all_of(facts.entries, [](const InstallFolderEntry& e) {
        return !e.isFolder && !e.isLink && IsInstalledFileName(e.name);
    });
    return onlyOurs ? InstallFolderVerdict::TakeOver : InstallFolderVerdict::OtherContent;
}

std::string_view InstallFolderRefusal(InstallFolderVerdict verdict) {
    switch (verdict) {
        case InstallFolderVerdict::Create:
        case InstallFolderVerdict::TakeOver:
            return {};
        case InstallFolderVerdict::NotAFolder:
            return "It is a file, not a folder. Choose another folder.";
        case InstallFolderVerdict::Link:
            return "It is a junction or link to another place, which could be pointed elsewhere. "
                   "Choose a folder that is none.";
        case InstallFolderVerdict::OtherOwner:
            return "It belongs to another user, who could change its programs after installation. "
                   "Delete it, or choose another folder.";
        case InstallFolderVerdict::OtherContent:
            return "It holds other files than Zelmora's, which only administrators could then "
                   "change. Choose an empty or new folder.";
    }
    return {};
}
