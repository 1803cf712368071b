// Start-up: the order of the driver commands, what appears, the gate
// window's timer, and starting without the driver or as a standard user.
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

#include "forms/alert_form.h"
#include "alert_window.h"
#include "app_test_support.h"
#include "config_dialog.h"
#include "forms/gate_form.h"
#include "gate_window.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "forms/radio_group.h"

namespace apptest {
namespace {

using StartUp = SentrelTest;

TEST_F(StartUp, SendsTheStateQueryTheParametersAndOneSensorReadThenShowsOnlyTheMainWindow) {
    const std::vector<Command> commands = live->Commands();
    ASSERT_EQ(Numbers(commands), (std::vector<unsigned>{107, 102, 101}));
    // 102 from SetParameters: threshold 50, delay 0, RecoverWait 1 x 10, on, no sensor bytes.
    const std::vector<unsigned long>& p = commands[1].request;
    ASSERT_EQ(p.size(), 20u);
    EXPECT_EQ(p[4], 50u);
    EXPECT_EQ(p[5] + p[6] + p[7], 0u);
    EXPECT_EQ(p[8], 10u);
    EXPECT_EQ(p[9], 1u);
    EXPECT_EQ(p[16], 0u);
    EXPECT_EQ(main().settings().RecoverWait, 1);

    EXPECT_TRUE(main().isVisible());
    EXPECT_FALSE(gate->isVisible());
    EXPECT_FALSE(main().config()->isVisible());
    EXPECT_FALSE(main().alert()->isVisible());
    EXPECT_EQ(main().form().rgOnOff->itemIndex(), 0);
    EXPECT_TRUE(main().form().Image_L_R->isHidden());
    EXPECT_TRUE(main().trayIconPresent());
    EXPECT_EQ(main().trayIcon()->toolTip(), QStringLiteral("DiskProtectionOFF"));
    EXPECT_EQ(main().CurrentTrayPicture(), Artwork::Image2);
    // The alert window starts with the layout's interval, idle.
    EXPECT_EQ(main().alert()->RecoveryInterval(), 1500u);
    EXPECT_FALSE(main().alert()->RecoveryRunning());
    // The settings dialog has its build number; the gate stays on top.
    EXPECT_TRUE(gate->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(StartUp, TheGateTimerRunsFromTheFirstShowAndClosesTheHiddenGateAfterTwoSeconds) {
    QTimer* timer = gate->form().Timer1;
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 2000);
    ASSERT_TRUE(PumpUntil([timer] { return !timer->isActive(); }, 5000));
    EXPECT_FALSE(gate->isVisible());
    EXPECT_TRUE(main().isVisible());
    // Showing the main window again does not start it again.
    main().hide();
    main().show();
    EXPECT_FALSE(timer->isActive());
}

TEST_F(StartUp, TheCaptionFileRelabelsTheMainWindowAtTheFirstShow) {
    // The notebook's drive C holds the English caption file: entry 1 is the
    // title the layout leaves empty.
    EXPECT_FALSE(main().windowTitle().isEmpty());
    EXPECT_EQ(main().form().bHide->text(), QStringLiteral("&OK"));
    EXPECT_EQ(main().form().rgOnOff->itemText(1), QStringLiteral("Enable"));
    EXPECT_EQ(main().form().mShutdown->text(), QStringLiteral("Exit"));
}

#ifdef NOT_ZHP_MODULE
// Another filter driver sits where ZHP would: there is no control device.
class StartWithoutDriver : public SentrelTest {
    std::vector<std::string> ServeArguments() const override { return {"--driver", NOT_ZHP_MODULE}; }
};

TEST_F(StartWithoutDriver, ShowsTheFailPictureLeavesTheSelectorOnDisableAndWritesTheFailReport) {
    EXPECT_TRUE(live->Commands().empty());
    EXPECT_FALSE(main().form().Image_L_R->isHidden());
    EXPECT_EQ(main().form().rgOnOff->itemIndex(), 0);
    EXPECT_EQ(live->Report(), "G-sensor QC Static Tested Report\r\n================================\r\n-----Fail");
    // The program keeps running: the selector still acts, and fails again.
    std::remove((live->DriveC() + "/Users/Public/G_TEST.txt").c_str());
    main().form().rgOnOff->setItemIndex(1);
    EXPECT_EQ(main().form().rgOnOff->itemIndex(), 0);
    EXPECT_NE(live->Report().find("-----Fail"), std::string::npos);
    EXPECT_TRUE(main().isVisible());
}
#endif

class StartAsStandardUser : public SentrelTest {
    std::vector<std::string> ServeArguments() const override { return {"--user", "standard"}; }
};

TEST_F(StartAsStandardUser, DisablesTheSelectorAndTheSettingsButtonAndIgnoresTrayClicks) {
    EXPECT_TRUE(main().notAdmin());
    EXPECT_FALSE(main().form().rgOnOff->isEnabled());
    EXPECT_FALSE(main().form().bConfig->isEnabled());
    const std::size_t mark = Mark();
    emit main().trayIcon()->activated(QSystemTrayIcon::Trigger);
    Pump(300);
    EXPECT_EQ(Mark(), mark);
    EXPECT_EQ(main().form().rgOnOff->itemIndex(), 0);
    // Shown again, still disabled.
    main().hide();
    main().form().bConfig->setEnabled(true);
    main().show();
    EXPECT_FALSE(main().form().bConfig->isEnabled());
}

}  // namespace
}  // namespace apptest
