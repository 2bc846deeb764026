#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether an installer may install into a folder. Only administrators and SYSTEM may change
// the installed programs; a folder someone else owns stays theirs to re-open, so it is never
// taken, nor one whose other files a protected access list would take over.

struct InstallFolderEntry {
    std::string name;
    bool isFolder = false;
    bool isLink = false;  // a junction, symbolic link or other reparse point
};

struct InstallFolderFacts {
    bool exists = false;
    bool isFolder = true;
    bool isLink = false;
    // Owned by Administrators, SYSTEM, or the administrator who runs the installer (who may
    // create it unelevated, and whom it then passes to Administrators).
    bool ownedByAdministrators = false;
    std::vector<InstallFolderEntry> entries;
};

enum class InstallFolderVerdict {
    Create,    // new: created owned by Administrators and locked in one step
    TakeOver,  // Zelmora's own: its owner and locked access list set again
    NotAFolder,
    Link,
    OtherOwner,
    OtherContent,
};

InstallFolderVerdict JudgeInstallFolder(const InstallFolderFacts& facts);

// Why a folder is refused and what to do; empty for the verdicts that install.
std::string_view InstallFolderRefusal(InstallFolderVerdict verdict);

// The files either installer puts into the folder.
bool IsInstalledFileName(std::string_view name);
