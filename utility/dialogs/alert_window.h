// TfAlert, the free-fall alert window: created hidden and never shown. What
// it does is own the recovery timer, which ends the main window's fall
// indication a while after the driver has reported the fall over, and which
// completes the QC test once four falls have been seen.
//
// The timer's interval over a run: 1500 ms from the layout, 1000 ms when
// protection is switched on, 1 ms in the fresh instance made at every
// switch-off, 2000 ms at every fall wake and whenever the timer is stopped.
// Setting a new interval on a running timer restarts its countdown; setting
// the interval it already has changes nothing.
//
// Each creation reads the texts of section "%2" of the caption file. An
// instance that the main window has replaced stays alive (hidden) to the
// end of the program, so a timer it has running still expires.
#pragma once

#include <QWidget>

#include <memory>
#include <string>

class AlertForm;
class TFormMain;

class TfAlert : public QWidget {
    Q_OBJECT
public:
    TfAlert(TFormMain& mainWindow, const std::string& captionFilePath);
    ~TfAlert() override;

    AlertForm& form() const { return *form_; }

    void SetRecoveryInterval(unsigned milliseconds);
    unsigned RecoveryInterval() const;
    bool RecoveryRunning() const;
    // Starts the recovery timer when AutoRecover is set; the interval stays.
    void ArmRecovery();
    // Stops it and sets the interval to 2000 ms.
    void StopRecovery();

private:
    void LoadTexts(const std::string& captionFilePath);
    void Timer1Timer();

    TFormMain& main_;
    std::unique_ptr<AlertForm> form_;
};
