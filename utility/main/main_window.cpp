#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDate>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTime>
#include <QTimer>

#include <windows.h>

#include "administrator.h"
#include "alert_window.h"
#include "forms/artwork.h"
#include "caption_tables.h"
#include "captions.h"
#include "config_dialog.h"
#include "gate_window.h"
#include "forms/main_form.h"
#include "forms/radio_group.h"
#include "system_events.h"
#include "test_report.h"

namespace {

// Program-wide: the first show applies the caption file and starts the gate
// window's timer.
bool gFirstShow = true;

// The busy cursor for the length of a command exchange, restored whatever happens.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString Text(const std::string& s) { return QString::fromLocal8Bit(s.c_str()); }

}  // namespace

TFormMain::TFormMain(TFormGate* gate, DWORD waitTimeoutMs)
    : QWidget(nullptr), form_(std::make_unique<MainForm>(this)), gate_(gate), driver_(this) {
    // The tray icon and its menu belong to this window; the layout's menu
    // is the tray menu and, after "&OK", the window's context menu.
    tray_ = new QSystemTrayIcon(this);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The shell's callback message: the mouse message in lParam.
        if (reason == QSystemTrayIcon::Trigger) PostWindowMessage(app_message::kTrayNotify, 1006, app_message::kLeftButtonUp);
        if (reason == QSystemTrayIcon::Context) PostWindowMessage(app_message::kTrayNotify, 1006, app_message::kRightButtonUp);
    });

    MainForm& f = *form_;
    connect(f.rgOnOff, &RadioGroup::itemIndexChanged, this, &TFormMain::rgOnOffClick);
    connect(f.Disable, &QPushButton::clicked, this, &TFormMain::DisableClick);
    connect(f.bConfig, &QPushButton::clicked, this, &TFormMain::bConfigClick);
    connect(f.bHide, &QPushButton::clicked, this, &TFormMain::bHideClick);
    connect(f.bCancel, &QPushButton::clicked, this, &TFormMain::bCancelClick);
    connect(f.Button1, &QPushButton::clicked, this, &TFormMain::Button1Click);
    connect(f.Button2, &QPushButton::clicked, this, &TFormMain::Button2Click);
    connect(f.mShow, &QAction::triggered, this, &TFormMain::mShowClick);
    connect(f.mToggle, &QAction::triggered, this, &TFormMain::mToggleClick);
    connect(f.mShutdown, &QAction::triggered, this, &TFormMain::mShutdownClick);
    for (QAction* item : {f.mShow, f.mToggle, f.mShutdown}) connect(item, &QAction::changed, this, &TFormMain::PopupMenu1Change);
    connect(f.tbSensitivity, &QSlider::valueChanged, this, &TFormMain::tbSensitivityChange);
    connect(f.tbDLTime, &QSlider::valueChanged, this, &TFormMain::tbDLTimeChange);
    connect(f.ReadXYZ, &QTimer::timeout, this, &TFormMain::ReadXYZTimer);
    f.Image_L_G->installEventFilter(this);

    // 1. Creating; the application-wide hook for session changes (and the
    //    power broadcasts every top-level window receives).
    creating_ = true;
    systemEvents_ = std::make_unique<SystemEvents>(this);
    // 2. The Administrators test.
    NotAdmin = !IsAdministrator();
    // 3. The control device; a failure shows at the first command.
    driver_.Open();
    // 4. Session change notifications for this session.
    systemEvents_->RegisterSession();
    // 5. The named waitable timer, held until destruction (never set or waited on).
    GTWaitTimer = CreateWaitableTimerA(nullptr, FALSE, "GTWaitTimer");
    // 6. Locale, data directory, caption file.
    LocaleNumber = ReadLocaleNumber();
    DataDirectory = ReadDataDirectory();
    CaptionFilePath = ChooseCaptionFile(DataDirectory, LocaleNumber);
    // 7. Every time stamp of the event log uses this long time format.
    longTimeFormat_ = QStringLiteral("HH:mm:ss");
    // 8. Defaults and the driver's protection state (the change it asks for
    //    is dropped: we are still creating).
    LoadDefaults();
    // 9. The selector on "Disable".
    f.rgOnOff->setItemIndex(0);
    // 10. The wait thread.
    waitThread_ = std::make_unique<TWaitThread>(*static_cast<WaitThreadSink*>(this), waitTimeoutMs);
    // 11.
    trayPresent_ = false;
    creating_ = false;
    initialising_ = true;
    // 12. The settings dialog, then the alert window; neither is shown.
    config_ = std::make_unique<TfConfig>(*this, CaptionFilePath);
    alerts_.push_back(std::make_unique<TfAlert>(*this, CaptionFilePath));
    // 13.
    driver_.SetParameters(settings_);
    // 14. One sensor read; its reply is not used.
    driver_.SendCommand(101);
}

TFormMain::~TFormMain() {
    // 1. Tray icon away, wait thread told to quit (it is not waited for here).
    if (!creating_) {
        UpdateTrayIcon(TrayOperation::Delete);
        if (waitThread_) waitThread_->RequestTerminate();
        TWaitThread::SetQuitEvent();
    }
    // 2.
    if (GTWaitTimer != nullptr) CloseHandle(GTWaitTimer);
    // 3.
    if (systemEvents_) systemEvents_->UnregisterSession();
    // 4. Protection off in the driver, however the program ends.
    driver_.SetWord(command_word::kProtection, 0);
    driver_.SendCommand(102);
    systemEvents_.reset();
}

// ---- Protection ------------------------------------------------------------

void TFormMain::SetProtection(bool on) {
    if (creating_ || initialising_) return;
    DWORD bytes = 0;
    {
        BusyCursor busy;
        bytes = driver_.SetParameters(settings_);
    }
    // A failed call has already shown itself; a refused 102 shows nothing.
    if (bytes == 0) return;
    std::string line;
    if (driver_.ReportBlockedIo(&line) != 0) AddEvent(Text(line));
    if (on) {
        LockSettingsControls();
        alert()->SetRecoveryInterval(1000);
        form_->ReadXYZ->stop();
        driver_.SendCommand(203);
    } else {
        UnlockSettingsControls();
        ReplaceAlert();
        alert()->SetRecoveryInterval(1);
        driver_.SendCommand(204);
    }
    CommitSettings();
    UpdateTrayIcon(TrayOperation::Modify);
}

void TFormMain::ToggleProtection() {
    RadioGroup* selector = form_->rgOnOff;
    if (!selector->isEnabled()) return;
    selector->setItemIndex(selector->itemIndex() == 1 ? 0 : 1);
    UpdateTrayIcon(TrayOperation::Modify);
}

QIcon TFormMain::CurrentTrayIcon() const {
    // "Visible" as the layout means it: shown unless hidden, whether or not
    // the main window itself is on screen.
    return TrayIcon(CurrentTrayPicture());
}

Artwork TFormMain::CurrentTrayPicture() const {
    if (!form_->Image_L_O->isHidden()) return Artwork::Image3;
    return form_->rgOnOff->itemIndex() == 1 ? Artwork::Image1 : Artwork::Image2;
}

QIcon TFormMain::TrayIcon(Artwork picture) const {
    auto found = trayIcons_.find(picture);
    if (found == trayIcons_.end()) found = trayIcons_.emplace(picture, ArtworkIcon(picture)).first;
    return found->second;
}

void TFormMain::UpdateTrayIcon(TrayOperation operation) {
    switch (operation) {
    case TrayOperation::Add:
        // Added with the current picture (an icon without one is refused by
        // the tray); the modify that follows fills the tip.
        tray_->setIcon(CurrentTrayIcon());
        tray_->setToolTip(QString());
        tray_->show();
        break;
    case TrayOperation::Modify: {
        const char* hint = form_->rgOnOff->itemIndex() == 1 ? settings_.OnHint : settings_.OffHint;
        // The shell's tip field holds 63 characters and a terminator.
        tray_->setIcon(CurrentTrayIcon());
        tray_->setToolTip(QString::fromLocal8Bit(hint).left(63));
        break;
    }
    case TrayOperation::Delete:
        tray_->hide();
        break;
    }
}

void TFormMain::SyncTrayPresence() {
    if (trayPresent_ || settings_.OnTray == 0) return;
    UpdateTrayIcon(TrayOperation::Add);
    UpdateTrayIcon(TrayOperation::Modify);
    trayPresent_ = true;
}

void TFormMain::CommitSettings() {
    driver_.SaveDriverSettings();
    UpdateTrayIcon(TrayOperation::Modify);
}

void TFormMain::LockSettingsControls() { form_->bConfig->setEnabled(false); }

void TFormMain::UnlockSettingsControls() {
    form_->tbSensitivity->setEnabled(true);
    form_->bConfig->setEnabled(true);
}

void TFormMain::LoadDefaults() {
    LoadSettingsDefaults(settings_);
    readout_.SetCountsPerG(kDefaultCountsPerG);
    RestoreProtectionState();
}

void TFormMain::RestoreProtectionState() {
    SetProtection(driver_.RestoreProtectionState());
    form_->tbSensitivity->setValue(30);
    form_->tbDLTime->setValue(0);
}

void TFormMain::ReplaceAlert() {
    alerts_.push_back(std::make_unique<TfAlert>(*this, CaptionFilePath));
}

void TFormMain::WaitMilliseconds(int milliseconds) {
    // The UI thread does nothing else meanwhile: messages queue up.
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

void TFormMain::AddEvent(const QString& line) { config_->AddEvent(line); }

QString TFormMain::DecimalSeparator() const { return QLocale::system().decimalPoint(); }

QString TFormMain::TimeStamp() const {
    const QDateTime now = QDateTime::currentDateTime();
    return QLocale::system().toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           now.time().toString(longTimeFormat_);
}

// ---- Failed commands -------------------------------------------------------

void TFormMain::OnCommandFailed(DWORD) {
    form_->Image_L_R->show();
    // Moving the selector off "Enable" starts a protection change, whose
    // first command fails the same way.
    form_->rgOnOff->setItemIndex(0);
    WriteTestReport(false);
}

// ---- Control handlers ------------------------------------------------------

void TFormMain::rgOnOffClick(int item) { SetProtection(item == 1); }

void TFormMain::DisableClick() { form_->rgOnOff->setItemIndex(0); }

void TFormMain::bConfigClick() {
    form_->ReadXYZ->start();
    config_->setModal(true);
    config_->show();
}

void TFormMain::bHideClick() {
    if (!creating_) CommitSettings();
    popupOnRightClick_ = true;
    SyncTrayPresence();
    hide();
}

void TFormMain::bCancelClick() {
    SetProtection(false);
    close();
}

void TFormMain::Button1Click() {
    FallCount = 0;
    form_->Image_L_G->hide();
    form_->Image_L_R->hide();
    SetProtection(true);  // the selector is not moved
}

void TFormMain::Button2Click() {
    form_->Image_L_G->hide();
    form_->Image_L_R->show();
    form_->Button1->setEnabled(true);
    form_->Button2->setEnabled(false);
    form_->bCancel->setEnabled(true);
    SetProtection(false);
    FallCount = 0;
    WriteTestReport(false);
}

void TFormMain::Image_L_GClick() { driver_.SendCommand(203); }

void TFormMain::mShowClick() {
    show();
    raise();
    activateWindow();
}

void TFormMain::mToggleClick() { gate_->show(); }

void TFormMain::mShutdownClick() { close(); }

void TFormMain::PopupMenu1Change() { UpdateTrayIcon(TrayOperation::Modify); }

void TFormMain::tbSensitivityChange(int position) {
    form_->rgOnOff->setItemIndex(0);
    form_->Threshold_mg->setText(Text(SensitivityText(position)));
}

void TFormMain::tbDLTimeChange(int position) {
    form_->rgOnOff->setItemIndex(0);
    form_->DLTIME_Lab->setText(Text(DelayPositionText(position)));
    form_->DLTIME_ms->setText(Text(DelayMillisecondsText(position, DecimalSeparator().toStdString())));
}

void TFormMain::ReadXYZTimer() {
    if (!driver_.ReadSensor()) return;
    readout_.Update(driver_.Block());
    const std::string separator = DecimalSeparator().toStdString();
    config_->ShowReadout(readout_, separator);
    form_->DebugTemp1->setText(Text(readout_.MagnitudeText(separator)));
}

// ---- Messages --------------------------------------------------------------

bool TFormMain::PostWindowMessage(int message, quintptr wParam, qintptr lParam) {
    if (postedMessages_.fetch_add(1) >= app_message::kPostedMessageLimit) {
        postedMessages_.fetch_sub(1);
        return false;
    }
    QCoreApplication::postEvent(this, new MessageEvent(message, wParam, lParam));
    return true;
}

void TFormMain::PostFallDetected() { PostWindowMessage(app_message::kFallDetected); }

void TFormMain::PostFallCleared() { PostWindowMessage(app_message::kFallCleared); }

void TFormMain::PostFallWakeUpdates() {
    // A flood of falls queues one call that carries the count of wakes.
    if (pendingWakeUpdates_.fetch_add(1) == 0) QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(app_message::kFallWakeUpdates)));
}

bool TFormMain::event(QEvent* e) {
    const int type = e->type();
    if (type == app_message::kFallWakeUpdates) {
        OnFallWakeUpdates(pendingWakeUpdates_.exchange(0));
        return true;
    }
    if (type == app_message::kTrayNotify || type == app_message::kFallDetected || type == app_message::kFallCleared ||
        type == app_message::kPowerBroadcast || type == app_message::kSessionChange) {
        postedMessages_.fetch_sub(1);
        auto* message = static_cast<MessageEvent*>(e);
        switch (type) {
        case app_message::kTrayNotify: OnTrayMessage(static_cast<unsigned>(message->lParam)); break;
        case app_message::kFallDetected: OnFallDetected(); break;
        case app_message::kFallCleared: OnFallCleared(); break;
        case app_message::kPowerBroadcast: OnPowerBroadcast(); break;
        case app_message::kSessionChange: OnSessionChange(static_cast<unsigned>(message->wParam)); break;
        }
        return true;
    }
    return QWidget::event(e);
}

void TFormMain::OnTrayMessage(unsigned mouseMessage) {
    if (mouseMessage == app_message::kLeftButtonUp) {
        if (!config_->isVisible()) ToggleProtection();
    } else if (mouseMessage == app_message::kRightButtonUp) {
        const QPoint at = QCursor::pos();
        if (QGuiApplication::screenAt(at) != nullptr) {
            activateWindow();
            form_->PopupMenu1->popup(at);
        } else {
            show();
        }
    }
}

void TFormMain::OnFallDetected() {
    if (!alert()->RecoveryRunning()) AddEvent(QStringLiteral("Free Fall @") + TimeStamp());
}

void TFormMain::OnFallCleared() {
    if (alert()->RecoveryRunning()) return;
    AddEvent(QStringLiteral("Release @") + TimeStamp());
    alert()->ArmRecovery();
}

void TFormMain::OnFallWakeUpdates(int wakes) {
    for (int i = 0; i < wakes; ++i) {
        alert()->SetRecoveryInterval(2000);
        form_->Image_L_O->show();
        UpdateTrayIcon(TrayOperation::Modify);
        ++FallCount;
        form_->DLTIME_ms->setText(QString::number(FallCount));
        form_->Button1->setEnabled(false);
        form_->Button2->setEnabled(true);
        form_->bCancel->setEnabled(false);
    }
}

void TFormMain::OnPowerBroadcast() {
    if (form_->rgOnOff->itemIndex() != 1) return;
    UnlockSettingsControls();
    driver_.SendCommand(204);
    CommitSettings();
    WaitMilliseconds(1000);
    LockSettingsControls();
    driver_.SendCommand(203);
    CommitSettings();
    WaitMilliseconds(1000);
}

void TFormMain::OnSessionChange(unsigned code) {
    if (code == WTS_CONSOLE_CONNECT) {
        LoadDefaults();
        UpdateTrayIcon(TrayOperation::Modify);
        driver_.SetParameters(settings_);
    } else if (code == WTS_SESSION_LOCK) {
        if (config_->isVisible()) config_->close();
    }
}

// ---- Show, close, menus ----------------------------------------------------

void TFormMain::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (!e->spontaneous()) FormShow();
}

void TFormMain::FormShow() {
    // 1.
    form_->ReadXYZ->stop();
    // 2.
    if (gFirstShow) {
        ApplyCaptions();
        gate_->StartTimer();
        gFirstShow = false;
    }
    // 3. No tray menu on right-clicks inside the window while it is shown.
    popupOnRightClick_ = false;
    // 4. The icon is added again (or refreshed) at every show.
    trayPresent_ = false;
    SyncTrayPresence();
    // 5.
    if (NotAdmin) {
        form_->rgOnOff->setEnabled(false);
        form_->bConfig->setEnabled(false);
    }
    // 6. From now on SetProtection acts.
    initialising_ = false;
}

void TFormMain::ApplyCaptions() {
    MainForm& f = *form_;
    const std::vector<CaptionTarget> rows = {
        {[this](const QString& s) { setWindowTitle(s); }, Hint(this)},
        {[&f](const QString& s) { f.rgOnOff->setTitle(s); }, Hint(f.rgOnOff)},
        {[&f](const QString& s) { f.rgOnOff->setItemText(1, s); }, nullptr},
        {[&f](const QString& s) { f.rgOnOff->setItemText(0, s); }, nullptr},
        {[&f](const QString& s) { f.GroupBox1->setTitle(s); }, nullptr},
        {LabelText(f.lSensVal), nullptr},
        {LabelText(f.lSensLow), nullptr},
        {LabelText(f.lSensHigh), nullptr},
        {ButtonText(f.bConfig), nullptr},
        {ButtonText(f.bCancel), Hint(f.bCancel)},
        {ButtonText(f.bHide), Hint(f.bHide)},
        {ActionText(f.mShow), Hint(f.mShow)},
        {ActionText(f.mToggle), Hint(f.mToggle)},
        {nullptr, nullptr},  // read and not used: it places the next one on mShutdown
        {ActionText(f.mShutdown), Hint(f.mShutdown)},
    };
    ApplyCaptionSection(CaptionFilePath, '1', rows);
}

void TFormMain::closeEvent(QCloseEvent* e) {
    // Closing the main window ends the program; the shutdown sequence runs
    // when the window is destroyed after the message loop.
    e->accept();
    QCoreApplication::quit();
}

void TFormMain::contextMenuEvent(QContextMenuEvent* e) {
    if (popupOnRightClick_) form_->PopupMenu1->popup(e->globalPos());
}

bool TFormMain::eventFilter(QObject* watched, QEvent* e) {
    if (watched == form_->Image_L_G && e->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
        Image_L_GClick();
        return true;
    }
    return QWidget::eventFilter(watched, e);
}
