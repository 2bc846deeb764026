#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"
#include "platform/utf16.h"
#include "ui/main_window_layout.h"
#include "win32/program/tray_mouse.h"
#include "win32/program/tray_tip.h"

namespace {

class TrayTest : public ::testing::Test {
protected:
    TrayTest() {
        std::string failure;
        EXPECT_TRUE(f.window.Load(failure));
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

TEST_F(TrayTest, IconAsTheShellNeedsIt) {
    ASSERT_EQ(f.tray.calls.size(), 1u);
    const auto& [call, icon] = f.tray.calls[0];
    EXPECT_EQ(call, "add");
    EXPECT_EQ(icon.id, 1u);
    EXPECT_EQ(icon.callbackMessage, 0x200u);
    EXPECT_EQ(icon.tip, "Orva Zelmora");
    // In the shell's record: the name, one NUL, then blanks to the end of the 64 characters.
    std::array<char16_t, kTipChars> tip{};
    FillTip<char16_t>(tip, Utf8ToUtf16<char16_t>(icon.tip));
    const std::u16string expected =
        std::u16string(u"Orva Zelmora") + u'\0' + std::u16string(51, u' ');
    EXPECT_EQ(std::u16string(tip.begin(), tip.end()), expected);
}

TEST(TrayRecord, OverlongNameStillEndsInNul) {
    std::array<char16_t, kTipChars> tip{};
    FillTip<char16_t>(tip, std::u16string(80, u'x'));
    EXPECT_EQ(tip[63], u'\0');
    EXPECT_EQ(tip[62], u'x');
    // A pair that would be cut in half goes as a whole.
    FillTip<char16_t>(tip, std::u16string(62, u'x') + u"\U0001f550");
    EXPECT_EQ(tip[61], u'x');
    EXPECT_EQ(tip[62], u'\0');
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
    f.form.OnBareMouseMove(TrayMouseFromLParam(c.message));
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
    f.form.OnBareMouseMove(TrayMouse::LeftButtonUp);
    f.form.OnBareMouseMove(TrayMouse::LeftButtonDoubleClick);
    EXPECT_EQ(f.log, kRestored);
    EXPECT_TRUE(f.window.visible);
}

TEST_F(TrayTest, RestoreEntry) {
    Minimize();
    f.form.OnMenuRestore();
    EXPECT_EQ(f.log, kRestored);
}

// The log before, what saving the settings adds (the boxes off), then what follows.
EventLog Saved(EventLog log, const std::string& interval, const EventLog& then) {
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    log.insert(log.end(), {"save Interval=" + interval, "save Auto=0", "save AutoRun=0",
                           "reg open " + run, "reg set OrvaZelmora", "reg close " + run});
    log.insert(log.end(), then.begin(), then.end());
    return log;
}

TEST_F(TrayTest, CloseBoxSavesAndHides) {
    f.form.OnCloseRequest(CloseReason::User);
    EXPECT_EQ(f.log, Saved({}, "15", {"minimize", "hide"}));
}

TEST_F(TrayTest, SessionEndSavesAllowsTheCloseThenUnloadRemovesTheIconAndEnds) {
    f.form.OnCloseRequest(CloseReason::SessionEnding);
    EXPECT_EQ(f.log, Saved({}, "15", {}));
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
    EXPECT_EQ(f.log, Saved({"ask ok"}, "20", {"tray delete", "end"}));
    // The icon removed is the one that was added.
    ASSERT_EQ(f.tray.calls.size(), 2u);
    EXPECT_TRUE(f.tray.calls[0].second == f.tray.calls[1].second);
}

TEST_F(TrayTest, TaskbarRestartAddsTheSameIconAgain) {
    f.form.OnTaskbarCreated();
    ASSERT_EQ(f.tray.calls.size(), 2u);
    EXPECT_EQ(f.tray.calls[1].first, "add");
    EXPECT_TRUE(f.tray.calls[0].second == f.tray.calls[1].second);
}

TEST(TrayBeforeLoad, TaskbarRestartBeforeTheIconExistsAddsNothing) {
    FakeProgram f;
    f.form.OnTaskbarCreated();
    EXPECT_TRUE(f.tray.calls.empty());
}

}  // namespace
