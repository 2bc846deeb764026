#include "platform/install_folder.h"

#include <gtest/gtest.h>

#include <utility>

#include "tests/unit/named_case.h"

namespace {

using Verdict = InstallFolderVerdict;

InstallFolderFacts Folder(bool administrators, std::vector<InstallFolderEntry> entries = {}) {
    InstallFolderFacts facts;
    facts.exists = true;
    facts.ownedByAdministrators = administrators;
    facts.entries = std::move(entries);
    return facts;
}

InstallFolderFacts Link(bool administrators) {
    InstallFolderFacts facts = Folder(administrators);
    facts.isLink = true;
    return facts;
}

struct FolderCase : NamedCase {
    FolderCase(const char* caseName, InstallFolderFacts folderFacts, Verdict expected)
        : NamedCase(caseName), facts(std::move(folderFacts)), verdict(expected) {}
    InstallFolderFacts facts;
    Verdict verdict;
};

class JudgeInstallFolderTable : public ::testing::TestWithParam<FolderCase> {};

TEST_P(JudgeInstallFolderTable, Verdict) {
    const FolderCase& c = GetParam();
    const Verdict verdict = JudgeInstallFolder(c.facts);
    EXPECT_EQ(verdict, c.verdict);
    // Every refusal says why; what installs has nothing to say.
    const bool installs = verdict == Verdict::Create || verdict == Verdict::TakeOver;
    EXPECT_EQ(InstallFolderRefusal(verdict).empty(), installs);
}

InstallFolderFacts File() {
    InstallFolderFacts facts = Folder(true);
    facts.isFolder = false;
    return facts;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JudgeInstallFolderTable,
    ::testing::Values(FolderCase{"Absent", InstallFolderFacts{}, Verdict::Create},
                      FolderCase{"EmptyAndAdministrators", Folder(true), Verdict::TakeOver},
                      FolderCase{"OurFilesInAnyCase",
                                 Folder(true, {{"ZELMORA.EXE"},
                                               {"ZelmoraService.exe"},
                                               {"readme.txt"},
                                               {"Uninstall.exe"}}),
                                 Verdict::TakeOver},
                      FolderCase{"AnotherUsers", Folder(false), Verdict::OtherOwner},
                      FolderCase{"AnotherUsersWithOurFiles", Folder(false, {{"Zelmora.exe"}}),
                                 Verdict::OtherOwner},
                      FolderCase{"AJunctionEvenOfAdministrators", Link(true), Verdict::Link},
                      FolderCase{"AJunctionOfAnotherUser", Link(false), Verdict::Link},
                      FolderCase{"AFile", File(), Verdict::NotAFolder},
                      FolderCase{"OtherFiles", Folder(true, {{"Zelmora.exe"}, {"notes.txt"}}),
                                 Verdict::OtherContent},
                      FolderCase{"AFolderWithOurName", Folder(true, {{"readme.txt", true}}),
                                 Verdict::OtherContent},
                      FolderCase{"ALinkWithOurName", Folder(true, {{"Zelmora.exe", false, true}}),
                                 Verdict::OtherContent},
                      FolderCase{"ANameThatOnlyStartsLikeOurs", Folder(true, {{"Zelmora.exe.bak"}}),
                                 Verdict::OtherContent}));

}  // namespace
