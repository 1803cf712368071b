#include "gate_window.h"

#include <QTimer>

#include "forms/gate_form.h"
#include "main_window.h"

TFormGate::TFormGate(DWORD waitTimeoutMs) : QWidget(nullptr), form_(std::make_unique<GateForm>(this)) {
    connect(form_->Timer1, &QTimer::timeout, this, &TFormGate::Timer1Timer);
    // (a) The main window: its whole creation sequence, then its first show
    //     (the layout marks it visible).
    main_ = std::make_unique<TFormMain>(this, waitTimeoutMs);
    main_->show();
    // (b) Always on top; never shown at start-up.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
}

TFormGate::~TFormGate() { main_.reset(); }

void TFormGate::StartTimer() { form_->Timer1->start(); }

void TFormGate::Timer1Timer() {
    form_->Timer1->stop();
    close();  // hides it; the program goes on
}
