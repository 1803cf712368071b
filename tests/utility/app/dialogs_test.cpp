// The settings dialog (its tabs, values, the event log, Done and Cancel, the
// readout while it is open) and the alert window (texts, recovery timer),
// with the wait thread's fall and release messages.
#include <QCheckBox>
#include <QRegularExpression>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>

#include <windows.h>

#include "forms/alert_form.h"
#include "alert_window.h"
#include "app_test_support.h"
#include "config_dialog.h"
#include "forms/config_form.h"
#include "gate_window.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "forms/radio_group.h"

namespace apptest {
namespace {

using SettingsDialog = SentrelTest;

TEST_F(SettingsDialog, OpensOnTheSystemTabWithoutTheSetupTabAndLoadsTheStoredValues) {
    TfConfig* dialog = main().config();
    ConfigForm& f = dialog->form();
    EXPECT_EQ(f.APVersion->text(), QStringLiteral("Build:061202"));
    main().form().bConfig->click();
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->isModal());
    EXPECT_TRUE(main().form().ReadXYZ->isActive());
    EXPECT_EQ(f.pcSetup->count(), 2);
    EXPECT_EQ(f.pcSetup->indexOf(f.tsAdmin), -1);
    EXPECT_EQ(f.pcSetup->currentWidget(), f.stSystem);
    EXPECT_EQ(f.eOnHint->text(), QStringLiteral("DiskProtectionON"));
    EXPECT_EQ(f.eOffHint->text(), QStringLiteral("DiskProtectionOFF"));
    EXPECT_TRUE(f.cbOnTray->isChecked());
    EXPECT_TRUE(f.cbAutoRecover->isChecked());
    EXPECT_EQ(f.eRecoverWait->text(), QStringLiteral("1"));

    // The readout writes the status tab every 50 ms.
    ASSERT_TRUE(PumpUntil([&f] { return f.Angle_x->text().startsWith(QStringLiteral("Andle_X= ")); }));
    EXPECT_TRUE(f.Angle_z->text().endsWith(QStringLiteral("  Deg")));
    for (QProgressBar* bar : {f.AccelBar_X, f.AccelBar_Y, f.AccelBar_Z}) {
        EXPECT_GE(bar->value(), 0);
        EXPECT_LE(bar->value(), 409);
    }
    EXPECT_FALSE(f.eGvalue->text().isEmpty());
    EXPECT_EQ(main().form().DebugTemp1->text(), f.eGvalue->text());

    // The close box stops the readout like Done and Cancel.
    f.pcSetup->setCurrentWidget(f.stStatus);
    dialog->close();
    EXPECT_FALSE(main().form().ReadXYZ->isActive());
    // The next opening keeps the tab the user left, still without Setup.
    main().form().bConfig->click();
    EXPECT_EQ(f.pcSetup->count(), 2);
    EXPECT_EQ(f.pcSetup->currentWidget(), f.stStatus);
    f.bDone->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(main().form().ReadXYZ->isActive());
}

TEST_F(SettingsDialog, DoneStoresTheTipsSavesTheDriverSettingsAndRefreshesTheTray) {
    main().form().rgOnOff->setItemIndex(1);
    Pump(200);
    main().form().bConfig->setEnabled(true);  // locked while on
    main().form().bConfig->click();
    ConfigForm& f = main().config()->form();
    f.eOnHint->setText(QStringLiteral("Guarded"));
    const std::size_t mark = Mark();
    f.bDone->click();
    std::vector<unsigned> sent = After(mark, 2);
    sent.erase(std::remove(sent.begin(), sent.end(), 101u), sent.end());
    EXPECT_EQ(sent, (std::vector<unsigned>{111, 111}));
    EXPECT_STREQ(main().settings().OnHint, "Guarded");
    EXPECT_EQ(main().trayIcon()->toolTip(), QStringLiteral("Guarded"));
}

TEST_F(SettingsDialog, CancelDiscardsTheEditsAndGivesItsFontToTheMainAndAlertWindows) {
    TfConfig* dialog = main().config();
    ConfigForm& f = dialog->form();
    EXPECT_NE(main().font(), dialog->font());
    main().form().bConfig->click();
    f.eOffHint->setText(QStringLiteral("changed"));
    f.bCancel->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(main().form().ReadXYZ->isActive());
    EXPECT_STREQ(main().settings().OffHint, "DiskProtectionOFF");
    EXPECT_EQ(f.eOffHint->text(), QStringLiteral("DiskProtectionOFF"));
    EXPECT_EQ(main().font(), dialog->font());
    EXPECT_EQ(main().alert()->font(), dialog->font());
}

TEST_F(SettingsDialog, TheEventLogKeepsTheLatest300Lines) {
    TfConfig* dialog = main().config();
    ASSERT_EQ(dialog->EventCount(), 0);
    for (int i = 1; i <= 300; ++i) dialog->AddEvent(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(dialog->EventCount(), 300);
    dialog->AddEvent(QStringLiteral("line 301"));
    EXPECT_EQ(dialog->EventCount(), 300);
    const QStringList lines = dialog->form().eHDDstatus->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 300);
    EXPECT_EQ(lines.front(), QStringLiteral("line 2"));
    EXPECT_EQ(lines.back(), QStringLiteral("line 301"));
}

TEST_F(SettingsDialog, ASessionLockClosesTheOpenDialog) {
    main().form().bConfig->click();
    ASSERT_TRUE(main().config()->isVisible());
    ASSERT_EQ(live->notebook().Ctl({"lock"}).exitCode, 0);
    ASSERT_TRUE(PumpUntil([this] { return !main().config()->isVisible(); }));
    EXPECT_FALSE(main().form().ReadXYZ->isActive());
}

// The wait thread's events, set as the driver sets them.
class Falls : public SentrelTest {
protected:
    static void Signal(const char* name) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
        ASSERT_NE(event, nullptr);
        ASSERT_TRUE(SetEvent(event));
        CloseHandle(event);
    }
    void Fall() {
        const int before = main().fallCount();
        Signal("Global\\VrFFEvent01");
        ASSERT_TRUE(PumpUntil([&] { return main().fallCount() > before; }));
    }
    void Release() { Signal("Global\\VrFFEvent02"); }
    QString Log() const { return main().config()->form().eHDDstatus->toPlainText(); }
    int LogCount(const QString& what) const { return Log().count(what); }
};

TEST_F(Falls, AFallShowsTheFallPictureCountsAndLocksTheTestButtons) {
    Fall();
    MainForm& f = main().form();
    EXPECT_EQ(main().fallCount(), 1);
    EXPECT_EQ(f.DLTIME_ms->text(), QStringLiteral("1"));
    EXPECT_FALSE(f.Image_L_O->isHidden());
    EXPECT_EQ(main().CurrentTrayPicture(), Artwork::Image3);
    EXPECT_FALSE(f.Button1->isEnabled());
    EXPECT_TRUE(f.Button2->isEnabled());
    EXPECT_FALSE(f.bCancel->isEnabled());
    EXPECT_EQ(main().alert()->RecoveryInterval(), 2000u);
    ASSERT_TRUE(PumpUntil([this] { return LogCount(QStringLiteral("Free Fall @")) == 1; }));
    // "Free Fall @" + short date + blank + HH:MM:SS.
    const QString line = Log().split(QLatin1Char('\n')).back();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Free Fall @\\S.* \\d\\d:\\d\\d:\\d\\d$")).match(line).hasMatch()) << line.toStdString();
}

TEST_F(Falls, TheReleaseArmsTheRecoveryWhoseExpiryEndsTheFallIndication) {
    Fall();
    Release();
    ASSERT_TRUE(PumpUntil([this] { return main().alert()->RecoveryRunning(); }));
    EXPECT_EQ(LogCount(QStringLiteral("Release @")), 1);
    // A second release while the timer runs: no line, no restart.
    Release();
    Pump(300);
    EXPECT_EQ(LogCount(QStringLiteral("Release @")), 1);
    // A fall while it runs counts but is not logged.
    Fall();
    Pump(100);
    EXPECT_EQ(main().fallCount(), 2);
    EXPECT_EQ(LogCount(QStringLiteral("Free Fall @")), 1);
    ASSERT_TRUE(PumpUntil([this] { return !main().alert()->RecoveryRunning(); }, 5000));
    EXPECT_TRUE(main().form().Image_L_O->isHidden());
    EXPECT_EQ(main().CurrentTrayPicture(), Artwork::Image2);
    EXPECT_TRUE(main().form().rgOnOff->isEnabled());
    EXPECT_EQ(main().alert()->RecoveryInterval(), 2000u);
}

TEST_F(Falls, WithoutAutoRecoverTheFallPictureStays) {
    main().settings().AutoRecover = 0;
    Fall();
    Release();
    ASSERT_TRUE(PumpUntil([this] { return LogCount(QStringLiteral("Release @")) == 1; }));
    Pump(2500);
    EXPECT_FALSE(main().alert()->RecoveryRunning());
    EXPECT_FALSE(main().form().Image_L_O->isHidden());
    EXPECT_EQ(main().CurrentTrayPicture(), Artwork::Image3);
}

TEST_F(Falls, AFloodOfWakesKeepsTheQueueBoundedAndTheWindowResponsive) {
    // The UI thread is busy meanwhile: nothing is handled until the flood ends.
    HANDLE detected = CreateEventA(nullptr, TRUE, FALSE, "Global\\VrFFEvent01");
    HANDLE cleared = CreateEventA(nullptr, TRUE, FALSE, "Global\\VrFFEvent02");
    for (int i = 0; i < 2000; ++i) {
        SetEvent(detected);
        SetEvent(cleared);
    }
    CloseHandle(detected);
    CloseHandle(cleared);
    ASSERT_TRUE(PumpUntil([this] { return main().fallCount() > 0; }));
    Pump(500);
    EXPECT_LE(main().fallCount(), 2000);
    EXPECT_LE(main().config()->EventCount(), 300);
    // Still responsive: a post is handled at once.
    const int before = main().config()->EventCount();
    ASSERT_TRUE(main().PostWindowMessage(app_message::kFallCleared));
    Pump(50);
    EXPECT_LE(main().config()->EventCount(), before + 1);
}

TEST_F(Falls, TheAlertWindowCarriesItsTextsCentredAndIsNeverShown) {
    TfAlert* alert = main().alert();
    AlertForm& f = alert->form();
    EXPECT_EQ(alert->windowTitle(), QStringLiteral("Free Fall Detected"));
    EXPECT_EQ(f.lParked->text(), QStringLiteral("HDD PROTECTED"));
    EXPECT_EQ(f.lParked->font().pointSize(), 24);
    const int outer = alert->frameGeometry().width();
    EXPECT_EQ(f.lParked->x(), (outer - f.lParked->width()) / 2);
    EXPECT_EQ(f.lPressbutton->x(), (outer - f.lPressbutton->width()) / 2);
    EXPECT_TRUE(alert->windowFlags() & Qt::WindowStaysOnTopHint);
    Fall();
    Release();
    Pump(300);
    EXPECT_FALSE(alert->isVisible());
}

TEST_F(Falls, SettingTheIntervalItAlreadyHasDoesNotRestartTheCountdown) {
    TfAlert* alert = main().alert();
    alert->SetRecoveryInterval(2000);
    alert->ArmRecovery();
    Pump(600);
    const int left = alert->form().Timer1->remainingTime();
    alert->SetRecoveryInterval(2000);
    EXPECT_LE(alert->form().Timer1->remainingTime(), left);
    alert->SetRecoveryInterval(1000);  // a new value restarts it
    EXPECT_GT(alert->form().Timer1->remainingTime(), 900);
    alert->StopRecovery();
    EXPECT_FALSE(alert->RecoveryRunning());
    EXPECT_EQ(alert->RecoveryInterval(), 2000u);
}

}  // namespace
}  // namespace apptest
