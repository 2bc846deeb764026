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

std::uint32_t RightsOfOthers(const AccessFacts& access) {
    using namespace file_rights;
    if (!access.hasList) {
        return kAnyWrite;
    }
    // An owner may always change the list, and through it everything else.
    std::uint32_t rights = access.ownerIsAdministrator ? 0 : kWriteDac;
    for (const AccessEntry& entry : access.entries) {
        if (entry.allows && entry.appliesToObject && !entry.forAdministrators) {
            rights |= entry.rights;
        }
    }
    return rights;
}

InstallFolderVerdict JudgeInstallFolder(const InstallFolderFacts& facts) {
    using namespace file_rights;
    if (facts.drive != DriveKind::LocalFixed) {
        return InstallFolderVerdict::NotLocalDrive;
    }
    if (!facts.keepsAccessLists) {
        return InstallFolderVerdict::NoAccessLists;
    }
    // Each parent must stay where it is: neither it nor, through the folder above it, its
    // place may be changed; the lowest one's delete-child would remove what is made in it.
    for (const InstallFolderParent& parent : facts.parents) {
        if (parent.isLink) {
            return InstallFolderVerdict::ParentLink;
        }
        if ((RightsOfOthers(parent.access) & (kAnyChange | kDeleteChild)) != 0) {
            return InstallFolderVerdict::ParentOpen;
        }
    }
    if (facts.exists && facts.isLink) {
        return InstallFolderVerdict::Link;
    }
    if (facts.resolvesElsewhere) {
        return InstallFolderVerdict::Redirected;
    }
    if (!facts.exists) {
        return InstallFolderVerdict::Create;
    }
    if (!facts.isFolder) {
        return InstallFolderVerdict::NotAFolder;
    }
    if (!facts.ownedByAdministrators) {
        return InstallFolderVerdict::OtherOwner;
    }
    if ((RightsOfOthers(facts.access) & kAnyWrite) != 0) {
        return InstallFolderVerdict::OpenToOthers;
    }
    const bool onlyOurs = std::ranges::all_of(facts.entries, [](const InstallFolderEntry& e) {
        return !e.isFolder && !e.isLink && e.links == 1 && IsInstalledFileName(e.name);
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
            return "It holds other files than Zelmora's, or files linked to other places, which "
                   "only administrators could then change. Choose an empty or new folder.";
        case InstallFolderVerdict::NotLocalDrive:
            return "It is not on a fixed drive of this computer, where only its administrators "
                   "decide who may change it. Choose a folder on a local fixed drive.";
        case InstallFolderVerdict::NoAccessLists:
            return "Its drive keeps no access lists (FAT32 or exFAT), so anyone could change its "
                   "programs. Choose a folder on an NTFS drive.";
        case InstallFolderVerdict::ParentLink:
            return "A folder above it is a junction or link, which could be pointed elsewhere. "
                   "Choose a folder with none above it.";
        case InstallFolderVerdict::ParentOpen:
            return "A folder above it may be renamed, deleted or re-secured by other users, who "
                   "could then put their own programs in its place. Choose a folder under one "
                   "only administrators may change, such as Program Files.";
        case InstallFolderVerdict::Redirected:
            return "Opened, it is another folder than the one named, so its name could be pointed "
                   "elsewhere. Choose the folder by its own name.";
        case InstallFolderVerdict::OpenToOthers:
            return "Other users may write to it, so its files may not be Zelmora's. Delete it, or "
                   "choose another folder.";
    }
    return {};
}
