// TFormGate, the gate window: created first, it creates the main window
// (whose creation sequence and first show run inside), then stays on top,
// hidden. Its only behaviour is a one-shot 2000 ms timer that the main
// window's first show starts; its expiry closes (hides) it. The tray menu's
// invisible "Set" item shows it.
#pragma once

#include <QWidget>

#include <memory>

#include <windows.h>

class GateForm;
class TFormMain;

class TFormGate : public QWidget {
    Q_OBJECT
public:
    // The wait thread's time-out is passed on to the main window (tests shorten it).
    explicit TFormGate(DWORD waitTimeoutMs = 1000000);
    ~TFormGate() override;  // destroys the main window: its shutdown sequence runs

    TFormMain* mainWindow() const { return main_.get(); }
    GateForm& form() const { return *form_; }
    void StartTimer();

private:
    void Timer1Timer();

    std::unique_ptr<GateForm> form_;
    std::unique_ptr<TFormMain> main_;
};
