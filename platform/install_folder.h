#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Whether an installer may install into a folder. Only administrators and SYSTEM may change
// the installed programs, nor remove, rename or re-point the folder or any folder above it;
// a folder someone else owns or could write to stays theirs, so it is never taken.

// The file rights, as Windows numbers them, that let a holder change an object or its place.
namespace file_rights {
constexpr std::uint32_t kWriteData = 0x0002;   // also: add a file to a folder
constexpr std::uint32_t kAppendData = 0x0004;  // also: add a folder to a folder
constexpr std::uint32_t kWriteExtendedAttributes = 0x0010;
constexpr std::uint32_t kDeleteChild = 0x0040;
constexpr std::uint32_t kWriteAttributes = 0x0100;
constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kAnyChange = kDelete | kWriteDac | kWriteOwner;
constexpr std::uint32_t kAnyWrite = kWriteData | kAppendData | kWriteExtendedAttributes |
                                    kDeleteChild | kWriteAttributes | kAnyChange;
}  // namespace file_rights

// One entry of an object's access list, its generic rights already mapped to file rights.
struct AccessEntry {
    bool allows = true;
    bool appliesToObject = true;     // not inherit-only
    bool forAdministrators = false;  // Administrators, SYSTEM, TrustedInstaller, the installer
    std::uint32_t rights = 0;
};

struct AccessFacts {
    bool ownerIsAdministrator = false;
    bool hasList = true;  // no list at all lets everyone do everything
    std::vector<AccessEntry> entries;
};

// What the access list lets anyone but administrators do to the object. Denials are not
// subtracted: a grant that a denial might cancel is still counted.
std::uint32_t RightsOfOthers(const AccessFacts& access);

struct InstallFolderEntry {
    std::string name;
    bool isFolder = false;
    bool isLink = false;      // a junction, symbolic link or other reparse point
    std::uint32_t links = 1;  // names the file has; more are places it can be changed from
};

// A folder above the install folder that exists, from the volume's root down.
struct InstallFolderParent {
    bool isLink = false;
    AccessFacts access;
};

enum class DriveKind { LocalFixed, Removable, Remote, Other };

struct InstallFolderFacts {
    DriveKind drive = DriveKind::LocalFixed;
    bool keepsAccessLists = true;  // FAT32 and exFAT keep none, whatever is set
    std::vector<InstallFolderParent> parents;
    bool exists = false;
    bool isFolder = true;
    bool isLink = false;
    // Opened, it (or, while it is missing, the lowest folder above it) is another folder than
    // the path names.
    bool resolvesElsewhere = false;
    // Owned by Administrators, SYSTEM, or the administrator who runs the installer (who may
    // create it unelevated, and whom it then passes to Administrators).
    bool ownedByAdministrators = false;
    AccessFacts access;
    std::vector<InstallFolderEntry> entries;
};

enum class InstallFolderVerdict {
    Create,    // new: created owned by Administrators and locked in one step
    TakeOver,  // Zelmora's own: its files removed, its owner and locked access list set again
    NotAFolder,
    Link,
    OtherOwner,
    OtherContent,
    NotLocalDrive,
    NoAccessLists,
    ParentLink,
    ParentOpen,
    Redirected,
    OpenToOthers,
};

InstallFolderVerdict JudgeInstallFolder(const InstallFolderFacts& facts);

// Why a folder is refused and what to do; empty for the verdicts that install.
std::string_view InstallFolderRefusal(InstallFolderVerdict verdict);

// The files either installer puts into the folder.
bool IsInstalledFileName(std::string_view name);
