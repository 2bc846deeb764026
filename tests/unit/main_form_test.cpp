#include "ui/main_form.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_platform.h"
#include "timeservice/time_service.h"
#include "ui/main_window_layout.h"
#include "win32/program/tray_mouse.h"

namespace {

class MainFormTest : public ::testing::Test {
protected:
    MainFormTest() { f.app.AppPath = "D:\\My Tools\\"; }

    FakeProgram f;
};

TEST_F(MainFormTest, LoadShowsTheWindowAddsTheIconThenSaysReady) {
    std::string failure;
    ASSERT_TRUE(f.window.Load(failure));
    const EventLog expected{"load", "show", "yield", "tray add", "status Ready."};
    EXPECT_EQ(f.log, expected);
}

TEST_F(MainFormTest, ButtonsRunTheirOperation) {
    f.http.bodies = {PageWithTime("10:15:30")};
    f.form.OnCheckTimeClick();
    EXPECT_TRUE(f.clock.sets.empty());
    EXPECT_EQ(f.window.texts[ControlId::lblInfo], kTimeOk);

    f.http.bodies = {PageWithTime("10:15:33")};
    f.form.OnSynchronizeClick();
    ASSERT_EQ(f.clock.sets.size(), 1u);
    EXPECT_EQ(f.clock.sets[0].wSecond, 33);
}

TEST_F(MainFormTest, LinksOpenThroughTheShell) {
    f.form.OnReadmeClick();
    f.form.OnWebsiteClick();
    ASSERT_EQ(f.shell.opened.size(), 2u);
    // A folder with blanks is passed as it is; the shell takes the whole text as the file.
    EXPECT_EQ(f.shell.opened[0], "D:\\My Tools\\readme.txt");
    EXPECT_EQ(f.shell.opened[1], kWebsiteAddress);
}

TEST_F(MainFormTest, LinkColours) {
    // Each link turns red under the pointer and stays red until the bare area is reached.
    f.form.OnLinkMouseMove(ControlId::lblReadme);
    EXPECT_EQ(f.window.colors[ControlId::lblReadme], kLinkRed);
    EXPECT_EQ(f.window.colors[ControlId::lblWebsite], kLinkBlue);
    f.form.OnLinkMouseMove(ControlId::lblWebsite);
    EXPECT_EQ(f.window.colors[ControlId::lblReadme], kLinkRed);
    EXPECT_EQ(f.window.colors[ControlId::lblWebsite], kLinkRed);

    f.window.colorChanges.clear();
    f.form.OnBareMouseMove(TrayMouseFromLParam(0x00400020));
    EXPECT_EQ(f.window.colorChanges,
              (std::vector<std::string>{"lblWebsite=blue", "lblReadme=blue"}));
}

}  // namespace
