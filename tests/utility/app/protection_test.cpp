// Switching protection: the command sequences the driver receives from the
// selector, the tray icon, the Disable button and the track bars, the early
// end of a refused 102, power broadcasts and console connects, and the last
// command of each way of ending the program.
#include <QAction>
#include <QPushButton>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QLabel>

#include "alert_window.h"
#include "app_test_support.h"
#include "config_dialog.h"
#include "forms/config_form.h"
#include <QTextEdit>
#include "gate_window.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "forms/radio_group.h"

namespace apptest {
namespace {

const std::vector<unsigned> kOn = {102, 106, 203, 111, 111};
const std::vector<unsigned> kOff = {102, 106, 204, 111, 111};

std::vector<unsigned> Join(std::vector<unsigned> a, const std::vector<unsigned>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Protection : public SentrelTest {
protected:
    RadioGroup* selector() const { return main().form().rgOnOff; }
    void SwitchOn() {
        const std::size_t mark = Mark();
        selector()->setItemIndex(1);
        ASSERT_EQ(After(mark, 5), kOn);
    }
    void ClickTray() {
        emit main().trayIcon()->activated(QSystemTrayIcon::Trigger);
        Pump(100);
    }
};

TEST_F(Protection, TheSelectorSwitchesOnAndOffWithTheFixedSequences) {
    std::size_t mark = Mark();
    selector()->setItemIndex(1);
    EXPECT_EQ(After(mark, 5), kOn);
    EXPECT_EQ(main().trayIcon()->toolTip(), QStringLiteral("DiskProtectionON"));
    EXPECT_EQ(main().CurrentTrayPicture(), Artwork::Image1);
    EXPECT_FALSE(main().form().bConfig->isEnabled());
    EXPECT_EQ(main().alert()->RecoveryInterval(), 1000u);
    // 106's line in the event log.
    EXPECT_NE(main().config()->form().eHDDstatus->toPlainText().indexOf(QStringLiteral(" Read(s), 0 Write(s) blocked")), -1);
    // Setting the item it already has runs nothing.
    mark = Mark();
    selector()->setItemIndex(1);
    Pump(300);
    EXPECT_EQ(Mark(), mark);

    const std::size_t alerts = main().alertCount();
    TfAlert* before = main().alert();
    selector()->setItemIndex(0);
    EXPECT_EQ(After(mark, 5), kOff);
    EXPECT_EQ(main().trayIcon()->toolTip(), QStringLiteral("DiskProtectionOFF"));
    EXPECT_TRUE(main().form().bConfig->isEnabled());
    // A fresh alert window with a 1 ms recovery; the old one lives on.
    EXPECT_EQ(main().alertCount(), alerts + 1);
    EXPECT_NE(main().alert(), before);
    EXPECT_EQ(main().alert()->RecoveryInterval(), 1u);
    EXPECT_EQ(before->RecoveryInterval(), 1000u);
}

TEST_F(Protection, ATrayLeftClickTogglesUnlessTheSettingsDialogIsOpen) {
    std::size_t mark = Mark();
    ClickTray();
    EXPECT_EQ(After(mark, 5), kOn);
    EXPECT_EQ(selector()->itemIndex(), 1);
    EXPECT_EQ(main().trayIcon()->toolTip(), QStringLiteral("DiskProtectionON"));

    mark = Mark();
    ClickTray();
    EXPECT_EQ(After(mark, 5), kOff);
    EXPECT_EQ(selector()->itemIndex(), 0);

    main().form().bConfig->click();
    ASSERT_TRUE(main().config()->isVisible());
    mark = Mark();
    ClickTray();
    Pump(300);
    EXPECT_EQ(selector()->itemIndex(), 0);
    // Only the readout's 101s went out.
    for (unsigned n : After(mark, 0)) EXPECT_EQ(n, 101u);
    main().config()->close();
}

TEST_F(Protection, TheDisableButtonAndTheTrackBarsSwitchOffFirst) {
    SwitchOn();
    std::size_t mark = Mark();
    main().form().Disable->click();
    EXPECT_EQ(After(mark, 5), kOff);

    SwitchOn();
    mark = Mark();
    main().form().tbSensitivity->setValue(16);
    EXPECT_EQ(After(mark, 5), kOff);
    EXPECT_EQ(main().form().Threshold_mg->text(), QStringLiteral("256"));

    SwitchOn();
    mark = Mark();
    main().form().tbDLTime->setValue(3);
    EXPECT_EQ(After(mark, 5), kOff);
    EXPECT_EQ(main().form().DLTIME_Lab->text(), QStringLiteral("3"));
    EXPECT_EQ(main().form().DLTIME_ms->text(), QStringLiteral("7.5"));
    // While off, a move only relabels.
    mark = Mark();
    main().form().tbSensitivity->setValue(1);
    Pump(300);
    EXPECT_EQ(Mark(), mark);
    EXPECT_EQ(main().form().Threshold_mg->text(), QStringLiteral("16"));
}

TEST_F(Protection, APowerBroadcastWhileOnSwitchesOffAndOnAgainWithOneSecondPauses) {
    std::size_t mark = Mark();
    ASSERT_EQ(live->notebook().Ctl({"suspend"}).exitCode, 0);
    Pump(500);
    EXPECT_EQ(Mark(), mark) << "nothing while off";
    ASSERT_EQ(live->notebook().Ctl({"resume"}).exitCode, 0);
    Pump(500);
    EXPECT_EQ(Mark(), mark);

    SwitchOn();
    mark = Mark();
    ASSERT_EQ(live->notebook().Ctl({"suspend"}).exitCode, 0);
    EXPECT_EQ(After(mark, 6, 15000), (std::vector<unsigned>{204, 111, 111, 203, 111, 111}));
    EXPECT_EQ(selector()->itemIndex(), 1);
    EXPECT_FALSE(main().form().bConfig->isEnabled());
    // 203 goes out a second after the 204: the UI thread waits meanwhile.
    const std::vector<Command> all = live->Commands();
    ASSERT_GE(all.size(), mark + 4);
    EXPECT_GE(all[mark + 3].sentUs - all[mark].sentUs, 1000000u);
    EXPECT_LT(all[mark + 3].sentUs - all[mark].sentUs, 3000000u);
}

TEST_F(Protection, AConsoleConnectRestoresTheDriversStateAndTheDefaultTips) {
    SetSettingsHint(main().settings().OffHint, "edited");
    const std::size_t mark = Mark();
    ASSERT_EQ(live->notebook().Ctl({"connect"}).exitCode, 0);
    // The change 107 asks for runs in full (the selector is not moved), then SetParameters.
    const std::vector<unsigned> sent = After(mark, 7);
    const std::vector<Command> all = live->Commands();
    ASSERT_GT(all.size(), mark);
    ASSERT_EQ(all[mark].reply.size(), 20u);
    const bool wanted = all[mark].reply[9] != 0;
    EXPECT_EQ(sent, Join({107}, Join(wanted ? kOn : kOff, {102})));
    EXPECT_STREQ(main().settings().OffHint, "DiskProtectionOFF");
    EXPECT_EQ(main().trayIcon()->toolTip(), QStringLiteral("DiskProtectionOFF"));
    // Unlocking and locking the session change nothing in the driver.
    ASSERT_EQ(live->notebook().Ctl({"lock"}).exitCode, 0);
    ASSERT_EQ(live->notebook().Ctl({"unlock"}).exitCode, 0);
    Pump(300);
    EXPECT_EQ(Mark(), mark + 7);
}

// The last command of every ending: 102 with word 36 = 0.
void ExpectProtectionOffLast(const std::vector<Command>& commands) {
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().number, 102u);
    ASSERT_EQ(commands.back().request.size(), 20u);
    EXPECT_EQ(commands.back().request[9], 0u);
}

TEST_F(Protection, TheCloseBoxEndsWith102OffAndNo204) {
    SwitchOn();
    const std::size_t mark = Mark();
    EndProgramBy([this] { main().close(); });
    EXPECT_EQ(live->CommandsAfter(mark, 1), (std::vector<unsigned>{102}));
    ExpectProtectionOffLast(live->Commands());
}

TEST_F(Protection, TheCloseButtonSwitchesOffThenEndsWith102Off) {
    SwitchOn();
    const std::size_t mark = Mark();
    EndProgramBy([this] { main().form().bCancel->click(); });
    EXPECT_EQ(live->CommandsAfter(mark, 6), Join(kOff, {102}));
    ExpectProtectionOffLast(live->Commands());
}

TEST_F(Protection, TheTrayMenusExitEndsWith102Off) {
    SwitchOn();
    const std::size_t mark = Mark();
    EndProgramBy([this] { main().form().mShutdown->trigger(); });
    EXPECT_EQ(live->CommandsAfter(mark, 1), (std::vector<unsigned>{102}));
    ExpectProtectionOffLast(live->Commands());
    // The driver's protection is off.
    e2e::ZhpctlReply state = e2e::ParseZhpctlJson(live->notebook().Zhpctl({"--json", "107"}).output);
    ASSERT_TRUE(state.parsed);
    EXPECT_EQ(state.words[2] & 0x02, 0u);  // FLAG_SENSOR_ON
}

}  // namespace
}  // namespace apptest
