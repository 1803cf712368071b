// ConfigForm: the controls of Sentrel's settings dialog (TfConfig),
// "Halvorinion Setup": the tab control pcSetup with the pages stStatus,
// stSystem and tsAdmin (the System page selected), and the Cancel and Done
// buttons at the top right. APVersion lies under the tab control. The form
// connects nothing; the dialog class removes tsAdmin's tab at every show.
#pragma once

#include <QFont>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTextEdit;
class QWidget;

class ConfigForm {
public:
    explicit ConfigForm(QWidget *window);

    QWidget *const window;

    QLabel *APVersion;
    QTabWidget *pcSetup;
    // stStatus: "Status"
    QWidget *stStatus;
    QLabel *lReading;
    QLabel *lEvents;
    QLabel *Angle_y;
    QLabel *Angle_z;
    QLabel *Angle_x;
    QLineEdit *eGvalue;
    QTextEdit *eHDDstatus;    // event log, vertical scroll bar always on
    QProgressBar *AccelBar_X; // 0..409, at 204
    QProgressBar *AccelBar_Y;
    QProgressBar *AccelBar_Z;
    // stSystem: "System Config"
    QWidget *stSystem;
    QLabel *lProtOff;
    QLabel *lProtOn;
    QCheckBox *cbOnTray;      // hidden, checked
    QLineEdit *eOffHint;      // at most 32 characters
    QLineEdit *eOnHint;       // at most 32 characters
    // tsAdmin: "Setup"
    QWidget *tsAdmin;
    QLabel *Label2;
    QPushButton *bFont;
    QCheckBox *cbAutoRecover;
    QLineEdit *eRecoverWait;
    // on the dialog
    QPushButton *bCancel;
    QPushButton *bDone;
    // The font chooser's starting font. Its button lies on the Setup page,
    // which is never offered, so no dialog is made up front.
    QFont FontDialog1;
};
