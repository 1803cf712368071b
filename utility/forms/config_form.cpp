#include "forms/config_form.h"

#include "forms/form_support.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QWidget>

namespace {

const FontSpec kArial13{"Arial", 13};
const FontSpec kGothic13{"MS UI Gothic", 13};
const FontSpec kWindowFace{"MS Sans Serif", 11};
const int kTrayTipLength = 32;

QWidget *MakePage(QTabWidget *tabs, const char *name, const QString &text, const QString &hint)
{
    auto *page = new QWidget;
    page->setObjectName(QString::fromLatin1(name));
    tabs->addTab(page, text);
    ApplyFont(page, kArial13);
    if (!hint.isEmpty())
        SetInitialHint(page, hint, HintShown::Yes);
    return page;
}

// A smooth bar from 0 to 409 at its middle, 204 (no acceleration).
QProgressBar *MakeAccelBar(QWidget *parent, const char *name, const QRect &geometry, const QString &axis)
{
    auto *bar = new QProgressBar(parent);
    Place(bar, name, geometry);
    bar->setRange(0, 409);
    bar->setValue(204);
    bar->setTextVisible(false);
    bar->setAccessibleName(axis);
    return bar;
}

}  // namespace

ConfigForm::ConfigForm(QWidget *window) : window(window)
{
    SetupFrame(window, {QStringLiteral("Halvorinion Setup"), {402, 307}, {400, 437}, FrameSpec::CloseOnly, false});
    window->setFont(MakeFont(kWindowFace));

    // Made before pcSetup, so the tab control covers it.
    APVersion = MakeLabel(window, "APVersion", {284, 157, 60, 13}, QStringLiteral("BuildNumber"),
                          {"MS Sans Serif", 7});

    pcSetup = new QTabWidget(window);
    Place(pcSetup, "pcSetup", {8, 71, 371, 346});
    ApplyFont(pcSetup, kArial13);
    // It has no text of its own: a screen reader names it after the dialog.
    pcSetup->setAccessibleName(window->windowTitle());

    stStatus = MakePage(pcSetup, "stStatus", QStringLiteral("Status"), QStringLiteral("sensor status"));
    lReading = MakeLabel(stStatus, "lReading", {8, 16, 47, 16}, QStringLiteral("Reading"), kArial13);
    lEvents = MakeLabel(stStatus, "lEvents", {8, 48, 39, 16}, QStringLiteral("Events"), kArial13);
    Angle_y = MakeLabel(stStatus, "Angle_y", {32, 199, 9, 16}, QStringLiteral("Y"), kArial13);
    Angle_z = MakeLabel(stStatus, "Angle_z", {34, 221, 7, 16}, QStringLiteral("Z"), kArial13);
    Angle_x = MakeLabel(stStatus, "Angle_x", {32, 177, 7, 16}, QStringLiteral("X"), kArial13);
    eGvalue = MakeEdit(stStatus, "eGvalue", {88, 13, 249, 21}, QString(), kGothic13);
    SetInitialHint(eGvalue, QStringLiteral("Last data from sensor "), HintShown::Yes);
    lReading->setBuddy(eGvalue);
    eHDDstatus = new QTextEdit(stStatus);
    Place(eHDDstatus, "eHDDstatus", {88, 40, 249, 105});
    ApplyFont(eHDDstatus, kGothic13);
    eHDDstatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    eHDDstatus->setTabChangesFocus(true);
    SetInitialHint(eHDDstatus, QStringLiteral("Latest events"), HintShown::Yes);
    lEvents->setBuddy(eHDDstatus);
    AccelBar_X = MakeAccelBar(stStatus, "AccelBar_X", {144, 176, 188, 17}, QStringLiteral("X"));
    AccelBar_Y = MakeAccelBar(stStatus, "AccelBar_Y", {144, 199, 188, 17}, QStringLiteral("Y"));
    AccelBar_Z = MakeAccelBar(stStatus, "AccelBar_Z", {144, 222, 188, 17}, QStringLiteral("Z"));

    stSystem = MakePage(pcSetup, "stSystem", QStringLiteral("System Config"), QString());
    lProtOff = MakeLabel(stSystem, "lProtOff", {16, 93, 146, 16}, QStringLiteral("Protection OFF Message"), kArial13);
    lProtOn = MakeLabel(stSystem, "lProtOn", {16, 17, 139, 16}, QStringLiteral("Protection ON Message"), kArial13);
    cbOnTray = MakeCheckBox(stSystem, "cbOnTray", {232, 16, 177, 17}, QStringLiteral("Place on Tray"), kGothic13, true);
    SetInitialHint(cbOnTray, QStringLiteral("Shows ICON on system tray"), HintShown::Yes);
    cbOnTray->hide();
    eOffHint = MakeEdit(stSystem, "eOffHint", {16, 120, 321, 24}, QStringLiteral("Protection OFF"), kArial13);
    eOffHint->setMaxLength(kTrayTipLength);
    SetInitialHint(eOffHint, QStringLiteral("Shown when mouse on the system tray Icon while HDD protect  is OFF"),
                   HintShown::Yes);
    lProtOff->setBuddy(eOffHint);
    eOnHint = MakeEdit(stSystem, "eOnHint", {16, 51, 321, 24}, QStringLiteral("Protection ON"), kArial13);
    eOnHint->setMaxLength(kTrayTipLength);
    SetInitialHint(eOnHint, QStringLiteral("Shown when mouse on the system tray Icon while HDD protect ON"),
                   HintShown::Yes);
    lProtOn->setBuddy(eOnHint);

    tsAdmin = MakePage(pcSetup, "tsAdmin", QStringLiteral("Setup"), QString());
    Label2 = MakeLabel(tsAdmin, "Label2", {216, 32, 48, 13}, QStringLiteral("Seconds"), kGothic13);
    bFont = MakeButton(tsAdmin, "bFont", {0, 64, 65, 25}, QStringLiteral("Font"), kGothic13);
    cbAutoRecover = MakeCheckBox(tsAdmin, "cbAutoRecover", {8, 16, 145, 25}, QStringLiteral("AutoRecover in"),
                                 kGothic13, true);
    eRecoverWait = MakeEdit(tsAdmin, "eRecoverWait", {168, 24, 41, 24}, QStringLiteral("5"), kWindowFace);
    Label2->setBuddy(eRecoverWait);

    pcSetup->setCurrentWidget(stSystem);

    bCancel = MakeButton(window, "bCancel", {217, 17, 72, 33}, QStringLiteral("Cancel"), kArial13);
    SetInitialHint(bCancel, QStringLiteral("Close window without saving parameters"), HintShown::Yes);
    bDone = MakeButton(window, "bDone", {305, 17, 74, 33}, QStringLiteral("Done"), kArial13);
    SetInitialHint(bDone, QStringLiteral("Save parameters and close window"), HintShown::Yes);

    FontDialog1 = MakeFont(kWindowFace);

    SetTabChain({pcSetup, eGvalue, eHDDstatus, cbOnTray, eOffHint, eOnHint, bFont, cbAutoRecover,
                 eRecoverWait, bCancel, bDone});
}
