#include "platform/install_folder.h"

#include <gtest/gtest.h>

#include <utility>

#include "tests/unit/named_case.h"

namespace {

using Verdict = InstallFolderVerdict;
using namespace file_rights;

// What Windows gives a folder under Program Files: users read and run.
constexpr AccessEntry kUsersRead{true, true, false, 0x1200a9};

AccessFacts Locked(std::vector<AccessEntry> more = {}) {
    AccessFacts access{true, true, {{true, true, true, 0x1f01ff}, kUsersRead}};
    access.entries.insert(access.entries.end(), more.begin(), more.end());
    return access;
}

AccessFacts Granting(std::uint32_t rights) {
    return Locked({{true, true, false, rights}});
}

InstallFolderFacts Under(std::vector<InstallFolderParent> parents) {
    InstallFolderFacts facts;
    facts.parents = std::move(parents);
    return facts;
}

InstallFolderFacts Folder(bool administrators, std::vector<InstallFolderEntry> entries = {}) {
    InstallFolderFacts facts;
    facts.exists = true;
    facts.ownedByAdministrators = administrators;
    facts.access = Locked();
    facts.entries = std::move(entries);
    return facts;
}

template <typename Facts, typename Change>
Facts With(Facts facts, Change change) {
    change(facts);
    return facts;
}

struct FolderCase : NamedCase {
    FolderCase(const char* caseName, InstallFolderFacts folderFacts, Verdict expected,
               const char* saying = "")
        : NamedCase(caseName), facts(std::move(folderFacts)), verdict(expected), says(saying) {}
    InstallFolderFacts facts;
    Verdict verdict;
    const char* says;  // a phrase of the refusal that tells it from the others
};

class JudgeInstallFolderTable : public ::testing::TestWithParam<FolderCase> {};

TEST_P(JudgeInstallFolderTable, Verdict) {
    const FolderCase& c = GetParam();
    const Verdict verdict = JudgeInstallFolder(c.facts);
    EXPECT_EQ(verdict, c.verdict);
    // Every refusal says why in its own words; what installs has nothing to say.
    const std::string_view refusal = InstallFolderRefusal(verdict);
    const bool installs = verdict == Verdict::Create || verdict == Verdict::TakeOver;
    EXPECT_EQ(refusal.empty(), installs);
    EXPECT_NE(refusal.find(c.says), std::string_view::npos) << refusal;
}

const InstallFolderParent kRoot{false, Locked()};

INSTANTIATE_TEST_SUITE_P(
    Table, JudgeInstallFolderTable,
    ::testing::Values(
        FolderCase{"Absent", InstallFolderFacts{}, Verdict::Create},
        FolderCase{"AbsentUnderLockedParents", Under({kRoot, kRoot}), Verdict::Create},
        FolderCase{"EmptyAndAdministrators", Folder(true), Verdict::TakeOver},
        FolderCase{
            "OurFilesInAnyCase",
            Folder(true,
                   {{"ZELMORA.EXE"}, {"ZelmoraService.exe"}, {"readme.txt"}, {"Uninstall.exe"}}),
            Verdict::TakeOver},
        FolderCase{"AnotherUsers", Folder(false), Verdict::OtherOwner, "another user"},
        FolderCase{"AnotherUsersWithOurFiles", Folder(false, {{"Zelmora.exe"}}),
                   Verdict::OtherOwner, "another user"},
        FolderCase{"AJunctionEvenOfAdministrators",
                   With(Folder(true), [](auto& f) { f.isLink = true; }), Verdict::Link,
                   "It is a junction"},
        FolderCase{"AJunctionOfAnotherUser", With(Folder(false), [](auto& f) { f.isLink = true; }),
                   Verdict::Link, "It is a junction"},
        FolderCase{"AFile", With(Folder(true), [](auto& f) { f.isFolder = false; }),
                   Verdict::NotAFolder, "not a folder"},
        FolderCase{"OtherFiles", Folder(true, {{"Zelmora.exe"}, {"notes.txt"}}),
                   Verdict::OtherContent, "other files"},
        FolderCase{"AFolderWithOurName", Folder(true, {{"readme.txt", true}}),
                   Verdict::OtherContent, "other files"},
        FolderCase{"ALinkWithOurName", Folder(true, {{"Zelmora.exe", false, true}}),
                   Verdict::OtherContent, "other files"},
        FolderCase{"AHardLinkWithOurName", Folder(true, {{"ZelmoraService.exe", false, false, 2}}),
                   Verdict::OtherContent, "linked to other places"},
        FolderCase{"ANameThatOnlyStartsLikeOurs", Folder(true, {{"Zelmora.exe.bak"}}),
                   Verdict::OtherContent, "other files"},
        // The drive.
        FolderCase{"OnARemovableDrive",
                   With(InstallFolderFacts{}, [](auto& f) { f.drive = DriveKind::Removable; }),
                   Verdict::NotLocalDrive, "fixed drive"},
        FolderCase{"OnAFileServer",
                   With(Folder(true), [](auto& f) { f.drive = DriveKind::Remote; }),
                   Verdict::NotLocalDrive, "fixed drive"},
        FolderCase{"OnFat32OrExFat",
                   With(InstallFolderFacts{}, [](auto& f) { f.keepsAccessLists = false; }),
                   Verdict::NoAccessLists, "FAT32"},
        // Each folder above it.
        FolderCase{"UnderAJunction", Under({kRoot, {true, Locked()}}), Verdict::ParentLink,
                   "above it is a junction"},
        FolderCase{"UnderAFolderUsersMayDelete", Under({kRoot, {false, Granting(kDelete)}}),
                   Verdict::ParentOpen, "renamed, deleted"},
        FolderCase{"UnderAFolderUsersMayReSecure", Under({kRoot, {false, Granting(kWriteDac)}}),
                   Verdict::ParentOpen, "renamed, deleted"},
        FolderCase{"UnderAFolderUsersMayTakeOwnership",
                   Under({kRoot, {false, Granting(kWriteOwner)}}), Verdict::ParentOpen,
                   "renamed, deleted"},
        FolderCase{"UnderAFolderWhoseChildrenUsersMayDelete",
                   With(Folder(true),
                        [](auto& f) {
                            f.parents = {{false, Granting(kDeleteChild)}};
                        }),
                   Verdict::ParentOpen, "renamed, deleted"},
        FolderCase{
            "UnderAFolderAUserOwns",
            Under({kRoot,
                   {false, With(Locked(), [](auto& a) { a.ownerIsAdministrator = false; })}}),
            Verdict::ParentOpen, "renamed, deleted"},
        FolderCase{"UnderAFolderWithoutAList",
                   Under({{false, With(Locked(), [](auto& a) { a.hasList = false; })}}),
                   Verdict::ParentOpen, "renamed, deleted"},
        FolderCase{"UnderAFolderUsersMayOnlyAddTo",
                   Under({{false, Granting(kWriteData | kAppendData)}}), Verdict::Create},
        FolderCase{"UnderAFolderWhoseGrantOnlyItsChildrenInherit",
                   Under({{false, Locked({{true, false, false, 0x1301bf}})}}), Verdict::Create},
        FolderCase{"UnderAFolderThatDeniesUsers",
                   Under({{false, Locked({{false, true, false, kDelete}})}}), Verdict::Create},
        // The folder itself, once there.
        FolderCase{"OpenedItIsAnotherFolder",
                   With(Folder(true), [](auto& f) { f.resolvesElsewhere = true; }),
                   Verdict::Redirected, "another folder than the one named"},
        FolderCase{"AbsentUnderAFolderThatOpenedIsAnother",
                   With(InstallFolderFacts{}, [](auto& f) { f.resolvesElsewhere = true; }),
                   Verdict::Redirected, "another folder than the one named"},
        FolderCase{"UsersMayAddFiles",
                   With(Folder(true), [](auto& f) { f.access = Granting(kWriteData); }),
                   Verdict::OpenToOthers, "Other users may write"},
        FolderCase{"UsersMayChangeItsList",
                   With(Folder(true), [](auto& f) { f.access = Granting(kWriteDac); }),
                   Verdict::OpenToOthers, "Other users may write"},
        FolderCase{"WithoutAList", With(Folder(true), [](auto& f) { f.access.hasList = false; }),
                   Verdict::OpenToOthers, "Other users may write"}));

}  // namespace
