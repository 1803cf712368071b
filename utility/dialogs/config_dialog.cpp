#include "config_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include "alert_window.h"
#include "caption_tables.h"
#include "forms/config_form.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "readout.h"
#include "settings.h"

namespace {

// The log's lines are the document's blocks; an empty document holds none.
int LineCount(const QTextDocument* document) { return document->isEmpty() ? 0 : document->blockCount(); }

TextSetter TabText(QTabWidget* tabs, QWidget* page) {
    return [tabs, page](const QString& s) { tabs->setTabText(tabs->indexOf(page), s); };
}

TextSetter TabHint(QTabWidget* tabs, QWidget* page) {
    return [tabs, page](const QString& s) { tabs->setTabToolTip(tabs->indexOf(page), s); };
}

}  // namespace

TfConfig::TfConfig(TFormMain& mainWindow, const std::string& captionFilePath)
    : QDialog(nullptr), main_(mainWindow), form_(std::make_unique<ConfigForm>(this)) {
    connect(form_->bDone, &QPushButton::clicked, this, &TfConfig::bDoneClick);
    connect(form_->bCancel, &QPushButton::clicked, this, &TfConfig::bCancelClick);
    form_->APVersion->setText(QStringLiteral("Build:061202"));
    LoadTexts(captionFilePath);
}

TfConfig::~TfConfig() = default;

void TfConfig::LoadTexts(const std::string& captionFilePath) {
    ConfigForm& f = *form_;
    QTabWidget* tabs = f.pcSetup;
    ApplyCaptionSection(captionFilePath, '3',
                        {
                            {[this](const QString& s) { setWindowTitle(s); }, nullptr},
                            {ButtonText(f.bCancel), Hint(f.bCancel)},
                            {ButtonText(f.bDone), Hint(f.bDone)},
                            {TabText(tabs, f.stStatus), TabHint(tabs, f.stStatus)},
                            {nullptr, nullptr},
                            {TabText(tabs, f.stSystem), TabHint(tabs, f.stSystem)},
                            {TabText(tabs, f.tsAdmin), TabHint(tabs, f.tsAdmin)},
                            {LabelText(f.lReading), Hint(f.eGvalue)},
                            {LabelText(f.lEvents), Hint(f.eHDDstatus)},
                            {nullptr, nullptr},
                            {nullptr, nullptr},
                            {nullptr, nullptr},
                            {nullptr, nullptr},
                            {nullptr, nullptr},
                            {nullptr, nullptr},
                            {ButtonText(f.cbOnTray), Hint(f.cbOnTray)},
                            {LabelText(f.lProtOn), Hint(f.eOnHint)},
                            {LabelText(f.lProtOff), Hint(f.eOffHint)},
                            {ButtonText(f.cbAutoRecover), Hint(f.cbAutoRecover)},
                            {LabelText(f.Label2), nullptr},
                            {ButtonText(f.bFont), Hint(f.bFont)},
                        });
}

void TfConfig::setVisible(bool visible) {
    if (visible && !isVisible()) {
        LoadValues();
        if (firstShow_) form_->pcSetup->setCurrentWidget(form_->stSystem);
        firstShow_ = false;
    }
    QDialog::setVisible(visible);
}

void TfConfig::LoadValues() {
    ConfigForm& f = *form_;
    const SettingsRecord& s = main_.settings();
    // The Setup tab leaves the tab row at every show, for every user.
    const int setup = f.pcSetup->indexOf(f.tsAdmin);
    if (setup >= 0) f.pcSetup->removeTab(setup);
    f.cbOnTray->setChecked(s.OnTray == 1);
    f.eOnHint->setText(QString::fromLocal8Bit(s.OnHint));
    f.eOffHint->setText(QString::fromLocal8Bit(s.OffHint));
    f.cbAutoRecover->setChecked(s.AutoRecover != 0);
    f.eRecoverWait->setText(QString::number(s.RecoverWait));
}

void TfConfig::bDoneClick() {
    SettingsRecord& s = main_.settings();
    SetSettingsHint(s.OnHint, form_->eOnHint->text().toLocal8Bit().toStdString());
    SetSettingsHint(s.OffHint, form_->eOffHint->text().toLocal8Bit().toStdString());
    main_.CommitSettings();
    accept();
}

void TfConfig::bCancelClick() {
    LoadValues();
    main_.setFont(font());
    if (TfAlert* alert = main_.alert()) alert->setFont(font());
    reject();
}

void TfConfig::done(int result) {
    main_.form().ReadXYZ->stop();
    QDialog::done(result);
}

void TfConfig::AddEvent(const QString& line) {
    QTextDocument* document = form_->eHDDstatus->document();
    QTextCursor cursor(document);
    if (LineCount(document) >= kEventLogLines) {
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    const bool empty = document->isEmpty();
    cursor.movePosition(QTextCursor::End);
    if (!empty) cursor.insertBlock();
    cursor.insertText(line);
}

int TfConfig::EventCount() const { return LineCount(form_->eHDDstatus->document()); }

void TfConfig::ShowReadout(const SensorReadout& readout, const std::string& decimalSeparator) {
    ConfigForm& f = *form_;
    f.eGvalue->setText(QString::fromStdString(readout.MagnitudeText(decimalSeparator)));
    const struct {
        Axis axis;
        QLabel* angle;
        QProgressBar* bar;
    } axes[] = {{Axis::X, f.Angle_x, f.AccelBar_X}, {Axis::Y, f.Angle_y, f.AccelBar_Y}, {Axis::Z, f.Angle_z, f.AccelBar_Z}};
    for (const auto& a : axes) {
        a.angle->setText(QString::fromStdString(readout.AngleText(a.axis, decimalSeparator)));
        a.bar->setValue(readout.BarDisplay(a.axis));
    }
}
