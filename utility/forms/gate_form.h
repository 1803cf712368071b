// GateForm: Sentrel's gate window (TFormGate), "Informaiton" (spelled so):
// an always-on-top window without title-bar buttons and without visible
// controls, holding only a stopped one-shot timer of 2000 ms.
#pragma once

class QTimer;
class QWidget;

class GateForm {
public:
    explicit GateForm(QWidget *window);

    QWidget *const window;
    QTimer *Timer1;
};
