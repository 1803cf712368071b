// AlertForm: the controls of Sentrel's alert window (TfAlert), "Free Fall
// Detected", always on top, no title-bar buttons, the toolkit's default font.
// The two labels and the OK button lie below the 170-pixel client area; only
// the free-fall bitmap Image1 would be seen. Timer1 (1500 ms) starts stopped.
#pragma once

class QLabel;
class QPushButton;
class QTimer;
class QWidget;

class AlertForm {
public:
    explicit AlertForm(QWidget *window);

    QWidget *const window;
    QLabel *lParked;       // "HDD PROTECTED", centred
    QLabel *lPressbutton;  // "Press OK when you feel is safe", centred
    QLabel *Image1;        // free-fall bitmap
    QPushButton *bOK;      // fixed at 65 x 25
    QTimer *Timer1;
};
