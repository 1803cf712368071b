#include "alert_window.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "forms/alert_form.h"
#include "caption_tables.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "forms/radio_group.h"
#include "test_report.h"

TfAlert::TfAlert(TFormMain& mainWindow, const std::string& captionFilePath)
    : QWidget(nullptr), main_(mainWindow), form_(std::make_unique<AlertForm>(this)) {
    connect(form_->Timer1, &QTimer::timeout, this, &TfAlert::Timer1Timer);
    LoadTexts(captionFilePath);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
}

TfAlert::~TfAlert() = default;

void TfAlert::LoadTexts(const std::string& captionFilePath) {
    AlertForm& f = *form_;
    ApplyCaptionSection(captionFilePath, '2',
                        {
                            {[this](const QString& s) { setWindowTitle(s); }, nullptr},
                            {LabelText(f.lParked), nullptr},
                            {LabelText(f.lPressbutton), nullptr},
                            {ButtonText(f.bOK), Hint(f.bOK)},
                        });
    // The headline in the window's own font at 24 points, sized to its text.
    QFont headline = font();
    headline.setPointSize(24);
    f.lParked->setFont(headline);  // the label grows to its text at the new size
    // Both labels centred across the window's outer width.
    const int outerWidth = frameGeometry().width();
    for (QLabel* label : {f.lParked, f.lPressbutton}) label->move((outerWidth - label->width()) / 2, label->y());
}

void TfAlert::SetRecoveryInterval(unsigned milliseconds) {
    QTimer* timer = form_->Timer1;
    if (static_cast<unsigned>(timer->interval()) == milliseconds) return;
    timer->setInterval(static_cast<int>(milliseconds));  // a running countdown restarts
}

unsigned TfAlert::RecoveryInterval() const { return static_cast<unsigned>(form_->Timer1->interval()); }

bool TfAlert::RecoveryRunning() const { return form_->Timer1->isActive(); }

void TfAlert::ArmRecovery() {
    if (main_.settings().AutoRecover != 0) form_->Timer1->start();
}

void TfAlert::StopRecovery() {
    form_->Timer1->stop();
    SetRecoveryInterval(2000);
}

void TfAlert::Timer1Timer() {
    MainForm& m = main_.form();
    StopRecovery();
    m.Image_L_O->hide();
    if (!main_.notAdmin()) m.rgOnOff->setEnabled(true);
    // The fall picture is hidden first, so the icon shows the protection state.
    main_.UpdateTrayIcon(TrayOperation::Modify);
    if (main_.fallCount() < 4) return;
    // The QC test is complete (FallCount stays until the next start or cancel).
    main_.SetProtection(false);
    m.Image_L_G->show();
    m.Button1->setEnabled(true);
    m.Button2->setEnabled(false);
    m.bCancel->setEnabled(true);
    WriteTestReport(true);
}
