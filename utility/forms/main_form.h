// MainForm: the controls of Sentrel's main window (TFormMain), built onto
// the window given to the constructor in layout order. Only part of it lies
// in the 389 x 219 client area (header band, logo, the button column and the
// result pictures); the other controls sit outside it, where they exist,
// keep their tab order and take the keyboard focus.
//
// The form sets the frame (position 360, 56; fixed client size; close box
// only; window icon; hint "Adjust"), creates PopupMenu1 with its three items
// and the two timers stopped, and connects nothing: the window class wires it.
#pragma once

class QAction;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QTimer;
class QWidget;
class RadioGroup;

class MainForm {
public:
    explicit MainForm(QWidget *window);

    QWidget *const window;

    QLabel *Image2;        // tray picture: protection off (hidden)
    QLabel *Image1;        // tray picture: protection on (hidden)
    QLabel *DebugTemp1;
    QLabel *DebugTemp;
    QFrame *Shape1;        // black header band
    QLabel *OemLogo;
    QLabel *Image_L_R;     // fail picture (hidden)
    QLabel *Image3;        // tray picture: fall (hidden)
    QLabel *Image4;        // tray picture: unused (hidden)
    QLabel *Label8;        // "TEST Utility"
    QLabel *Image_L_G;     // pass picture (hidden)
    QLabel *Image_L_O;     // fall picture (hidden)
    QLabel *Image6;        // header logo
    RadioGroup *rgOnOff;   // item 0 "Disable", item 1 "Enable"
    QPushButton *bHide;
    QPushButton *bCancel;
    QGroupBox *GroupBox1;
    QLabel *lSensLow;
    QLabel *lSensHigh;
    QLabel *lSensVal;
    QLabel *Threshold;
    QLabel *Threshold_mg;
    QLabel *Label5;
    QLabel *Label6;
    QSlider *tbSensitivity;
    QPushButton *bConfig;
    QGroupBox *GroupBox2;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *DLTIME_Lab;
    QLabel *Label4;
    QLabel *Label7;
    QLabel *DLTIME_ms;
    QSlider *tbDLTime;
    QPushButton *Disable;
    QPushButton *Button1;  // "&TEST"
    QPushButton *Button2;  // "&Cancel"
    QCheckBox *ShowFreeFall;
    QMenu *PopupMenu1;
    QAction *mShow;
    QAction *mToggle;      // hidden
    QAction *mShutdown;
    QTimer *ReadXYZ;       // 50 ms, stopped
    QTimer *Timer1;        // 300 ms, stopped
};
