// TFormMain, Sentrel's main window: the protection on/off choice and the
// command sequence that carries it out, the tray icon with its tip and menu,
// the free-fall and release notifications, power and session events, the QC
// static test and the orderly shutdown.
//
// Its constructor is the creation sequence (fourteen steps, in order); its
// first show applies the caption file and starts the gate window's timer;
// its destruction switches the driver's protection off, whichever way the
// program ends. Everything here runs on the UI thread: the wait thread, the
// tray and the system reach this window only through posted events whose
// types are the Win32 message numbers (0x8064 tray, 0x8065 fall, 0x8066
// release; power broadcasts and session changes as QEvent::User + 0x218 and
// + 0x2B1, since Qt keeps the types below QEvent::User for itself).
#pragma once

#include <QEvent>
#include <QIcon>
#include <QWidget>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "forms/artwork.h"
#include "driver_client.h"
#include "readout.h"
#include "settings.h"
#include "wait_thread.h"

class MainForm;
class QSystemTrayIcon;
class SystemEvents;
class TFormGate;
class TfAlert;
class TfConfig;

namespace app_message {
constexpr int kTrayNotify = 0x8064;    // WM_TRAYNOTIFY, lParam = the mouse message
constexpr int kFallDetected = 0x8065;  // WM_FFDETECTED
constexpr int kFallCleared = 0x8066;   // WM_FFCLEARED
constexpr int kPowerBroadcast = QEvent::User + 0x218;  // WM_POWERBROADCAST, wParam = PBT_*
constexpr int kSessionChange = QEvent::User + 0x2B1;   // WM_WTSSESSION_CHANGE, wParam = WTS_*
// The wait thread's fall-wake updates (a queued call, not a window message).
constexpr int kFallWakeUpdates = QEvent::User + 0x8067;
// Mouse messages of the tray callback.
constexpr unsigned kLeftButtonUp = 0x202;
constexpr unsigned kRightButtonUp = 0x205;
// Windows refuses posts beyond 10,000 waiting messages per thread; so do we.
constexpr int kPostedMessageLimit = 10000;
}  // namespace app_message

// A posted window message: its number is the event type.
class MessageEvent : public QEvent {
public:
    MessageEvent(int message, quintptr wParam = 0, qintptr lParam = 0)
        : QEvent(static_cast<QEvent::Type>(message)), wParam(wParam), lParam(lParam) {}
    const quintptr wParam;
    const qintptr lParam;
};

enum class TrayOperation { Add = 0, Modify = 1, Delete = 2 };

class TFormMain : public QWidget, private DriverClientListener, private WaitThreadSink {
    Q_OBJECT
public:
    // Runs the creation sequence; `gate` is the gate window whose timer the
    // first show starts. The wait thread's time-out is injectable for tests.
    explicit TFormMain(TFormGate* gate, DWORD waitTimeoutMs = TWaitThread::kWaitTimeoutMs);
    ~TFormMain() override;  // the shutdown sequence

    // Protection and tray.
    void SetProtection(bool on);
    void ToggleProtection();
    void UpdateTrayIcon(TrayOperation operation);
    QIcon CurrentTrayIcon() const;
    // Which picture CurrentTrayIcon gives: Image3 while the fall picture is
    // shown, else Image1 (on) or Image2 (off); and the icon of each.
    Artwork CurrentTrayPicture() const;
    QIcon TrayIcon(Artwork picture) const;
    void SyncTrayPresence();
    void CommitSettings();
    void LockSettingsControls();
    void UnlockSettingsControls();
    void LoadDefaults();
    void RestoreProtectionState();

    // One tick of the live readout (the handler of ReadXYZ): command 101,
    // the arithmetic, the texts of the status tab and DebugTemp1.
    void ReadXYZTimer();

    // Posts a window message to this window from any thread; false when the
    // queue is full (the message is dropped, as a failed PostMessage is).
    bool PostWindowMessage(int message, quintptr wParam = 0, qintptr lParam = 0);

    // State other windows and tests read.
    MainForm& form() const { return *form_; }
    SettingsRecord& settings() { return settings_; }
    DriverClient& driver() { return driver_; }
    SensorReadout& readout() { return readout_; }
    TfAlert* alert() const { return alerts_.empty() ? nullptr : alerts_.back().get(); }
    std::size_t alertCount() const { return alerts_.size(); }
    TfConfig* config() const { return config_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    bool trayIconPresent() const { return trayPresent_; }
    int fallCount() const { return FallCount; }
    void setFallCount(int count) { FallCount = count; }
    bool notAdmin() const { return NotAdmin; }
    const std::string& captionFilePath() const { return CaptionFilePath; }
    const QString& longTimeFormat() const { return longTimeFormat_; }
    // "Free Fall @" / "Release @" + short date + blank + long time.
    QString TimeStamp() const;

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // Control handlers.
    void rgOnOffClick(int item);
    void DisableClick();
    void bConfigClick();
    void bHideClick();
    void bCancelClick();
    void Button1Click();
    void Button2Click();
    void Image_L_GClick();
    void mShowClick();
    void mToggleClick();
    void mShutdownClick();
    void tbSensitivityChange(int position);
    void tbDLTimeChange(int position);
    void PopupMenu1Change();

    // Messages.
    void OnTrayMessage(unsigned mouseMessage);
    void OnFallDetected();
    void OnFallCleared();
    void OnFallWakeUpdates(int wakes);
    void OnPowerBroadcast();
    void OnSessionChange(unsigned code);

    void FormShow();
    void ApplyCaptions();
    void ReplaceAlert();
    void WaitMilliseconds(int milliseconds);
    void AddEvent(const QString& line);
    QString DecimalSeparator() const;

    // DriverClientListener: a failed command.
    void OnCommandFailed(DWORD command) override;
    // WaitThreadSink: called on the wait thread; they only post.
    void PostFallDetected() override;
    void PostFallWakeUpdates() override;
    void PostFallCleared() override;

    std::unique_ptr<MainForm> form_;
    TFormGate* gate_;
    QSystemTrayIcon* tray_ = nullptr;
    DriverClient driver_;
    SensorReadout readout_;
    SettingsRecord settings_;
    std::unique_ptr<SystemEvents> systemEvents_;
    std::unique_ptr<TfConfig> config_;
    // fAlert is the last one; replaced ones live on (hidden) to the end, since
    // a timer they have running must still expire.
    std::vector<std::unique_ptr<TfAlert>> alerts_;

    bool creating_ = true;
    bool initialising_ = false;
    bool trayPresent_ = false;
    bool popupOnRightClick_ = false;
    bool NotAdmin = false;
    int FallCount = 0;
    HANDLE GTWaitTimer = nullptr;
    std::int32_t LocaleNumber = 0;
    std::string DataDirectory;
    std::string CaptionFilePath;
    QString longTimeFormat_;
    mutable std::map<Artwork, QIcon> trayIcons_;

    std::atomic<int> postedMessages_{0};
    std::atomic<int> pendingWakeUpdates_{0};
    // Last: destroyed first, so the wait thread has ended before anything it
    // posts to goes away.
    std::unique_ptr<TWaitThread> waitThread_;
};
