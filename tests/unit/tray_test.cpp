#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"
#include "ui/main_window_layout.h"

namespace {

class TrayTest : public ::testing::Test {
protected:
    TrayTest() {
        f.window.Load();
        f.log.clear();
        f.window.colorChanges.clear();
    }

    void Minimize() {
        f.window.SetState(WindowState::Minimized);
        f.log.clear();
        f.window.colorChanges.clear();
    }

    FakeProgram f;
};

TEST_F(TrayTest, RecordAsTheShellNeedsIt) {
    ASSERT_EQ(f.tray.calls.size(), 1u);
    const auto& [message, record] = f.tray.calls[0];
    EXPECT_EQ(message, NIM_ADD_MESSAGE);
    EXPECT_EQ(record.cbSize, kNotifyIconRecordSize);
    EXPECT_EQ(record.hWnd, 0x1234u);
    EXPECT_EQ(record.uID, 1u);
    EXPECT_EQ(record.uFlags, 7u);
    EXPECT_EQ(record.uCallbackMessage, 0x200u);
    EXPECT_EQ(record.hIcon, 0x5678u);
    // The name, one NUL, then blanks to the end of the 64 characters.
    const std::string expected = std::string("Orva Zelmora") + '\0' + std::string(51, ' ');
    EXPECT_EQ(std::string(record.szTip.begin(), record.szTip.end()), expected);
}

TEST(TrayRecord, OverlongNameStillEndsInNul) {
    FakeProgram f;
    f.runtime.productName = std::string(80, 'x');
    f.window.Load();
    const auto& tip = f.tray.calls.at(0).second.szTip;
    EXPECT_EQ(tip[63], '\0');
    EXPECT_EQ(tip[62], 'x');
}

struct TrayCase {
    uint32_t message;
    bool minimized;
    std::vector<std::string> events;
};

void PrintTo(const TrayCase& c, std::ostream* os) {
    *os << "message " << c.message << (c.minimized ? " hidden" : " shown");
}

class TrayHandlingTest : public TrayTest, public ::testing::WithParamInterface<TrayCase> {};

TEST_P(TrayHandlingTest, ResetsLinksFirstThenActsOnlyWhenHidden) {
    const TrayCase& c = GetParam();
    if (c.minimized) {
        Minimize();
    }
    f.window.SetTextColor(ControlId::lblReadme, kLinkRed);
    f.window.colorChanges.clear();
    f.form.OnBareMouseMove(c.message);  // the message number arrives in lParam's low word
    EXPECT_EQ(f.window.colorChanges,
              (std::vector<std::string>{"lblWebsite=blue", "lblReadme=blue"}))
        << c.message;
    EXPECT_EQ(f.log, c.events) << c.message;
}

const std::vector<std::string> kRestored{"restore", "foreground", "show"};
const std::vector<std::string> kMenu{"foreground", "menu"};

INSTANTIATE_TEST_SUITE_P(
    Table, TrayHandlingTest,
    ::testing::Values(TrayCase{512, false, {}}, TrayCase{513, false, {}}, TrayCase{514, false, {}},
                      TrayCase{515, false, {}}, TrayCase{516, false, {}}, TrayCase{517, false, {}},
                      TrayCase{519, false, {}}, TrayCase{520, false, {}}, TrayCase{512, true, {}},
                      TrayCase{513, true, {}}, TrayCase{514, true, kRestored},
                      TrayCase{515, true, kRestored}, TrayCase{516, true, {}},
                      TrayCase{517, true, kMenu}, TrayCase{519, true, {}}, TrayCase{520, true, {}},
                      // The identifier in the high word is not looked at.
                      TrayCase{0x00010202, true, kRestored}));

TEST_F(TrayTest, MinimisingHidesWithoutSaving) {
    f.window.SetState(WindowState::Minimized);
    EXPECT_EQ(f.log, (EventLog{"minimize", "hide"}));
    EXPECT_FALSE(f.window.visible);
}

TEST_F(TrayTest, DoubleClickRestoresOnTheFirstReleaseOnly) {
    Minimize();
    f.form.OnBareMouseMove(514);
    f.form.OnBareMouseMove(515);
    EXPECT_EQ(f.log, kRestored);
    EXPECT_TRUE(f.window.visible);
}

TEST_F(TrayTest, RestoreEntry) {
    Minimize();
    f.form.OnMenuRestore();
    EXPECT_EQ(f.log, kRestored);
}

TEST_F(TrayTest, CloseBoxSavesAndHides) {
    EXPECT_FALSE(f.form.OnCloseRequest(CloseReason::User));
    const EventLog expected{"save Interval=15",
                            "save Auto=0",
                            "save AutoRun=0",
                            "reg open Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                            "reg set OrvaZelmora",
                            "reg close Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                            "minimize",
                            "hide"};
    EXPECT_EQ(f.log, expected);
}

TEST_F(TrayTest, SessionEndSavesAllowsTheCloseThenUnloadRemovesTheIconAndEnds) {
    EXPECT_TRUE(f.form.OnCloseRequest(CloseReason::SessionEnding));
    EXPECT_EQ(f.log.back(), "reg close Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    f.log.clear();
    EXPECT_THROW(f.form.OnUnload(), ProcessEnded);
    EXPECT_EQ(f.log, (EventLog{"tray delete", "end"}));
    EXPECT_TRUE(f.window.question.empty()) << "no question on this road";
}

TEST_F(TrayTest, ExitCancelChangesNothing) {
    Minimize();
    f.window.answerOk = false;
    f.form.OnMenuExit();
    EXPECT_EQ(f.log, (EventLog{"ask cancel"}));
    EXPECT_EQ(f.window.question, kExitQuestion);
    EXPECT_FALSE(f.window.visible);
}

TEST_F(TrayTest, ExitOkSavesRemovesTheIconThenEnds) {
    Minimize();
    f.window.answerOk = true;
    f.window.texts[ControlId::txtInterval] = "20";
    EXPECT_THROW(f.form.OnMenuExit(), ProcessEnded);
    const EventLog expected{"ask ok",
                            "save Interval=20",
                            "save Auto=0",
                            "save AutoRun=0",
                            "reg open Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                            "reg set OrvaZelmora",
                            "reg close Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                            "tray delete",
                            "end"};
    EXPECT_EQ(f.log, expected);
    // The icon removed is the one that was added.
    ASSERT_EQ(f.tray.calls.size(), 2u);
    EXPECT_TRUE(f.tray.calls[0].second == f.tray.calls[1].second);
}

TEST_F(TrayTest, TaskbarRestartAddsTheSameIconAgain) {
    f.form.OnTaskbarCreated();
    ASSERT_EQ(f.tray.calls.size(), 2u);
    EXPECT_EQ(f.tray.calls[1].first, NIM_ADD_MESSAGE);
    EXPECT_TRUE(f.tray.calls[0].second == f.tray.calls[1].second);
}

TEST(TrayBeforeLoad, TaskbarRestartBeforeTheIconExistsAddsNothing) {
    FakeProgram f;
    f.form.OnTaskbarCreated();
    EXPECT_TRUE(f.tray.calls.empty());
}

}  // namespace
