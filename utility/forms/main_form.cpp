#include "forms/main_form.h"

#include "forms/artwork.h"
#include "forms/form_support.h"
#include "forms/radio_group.h"

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace {

const FontSpec kArial13{"Arial", 13};
const FontSpec kArial15{"Arial", 15};
const FontSpec kArial16{"Arial", 16};
const FontSpec kArial19Black{"Arial", 19, false, kBlack};
const FontSpec kCalibri19{"Calibri", 19};
const FontSpec kCalibri19Maroon{"Calibri", 19, false, kMaroon};
const FontSpec kTimes16{"Times New Roman", 16};

// The stored hint reads "Adjust", a NUL, then "sensor sensitivity"; a hint
// ends at its NUL, so only "Adjust" is ever displayed.
const char kWindowHint[] = "Adjust";

QSlider *MakeTrackBar(QWidget *parent, const char *name, const QRect &geometry, int minimum,
                      int maximum, int position, const QString &accessibleName)
{
    auto *slider = new QSlider(Qt::Horizontal, parent);
    Place(slider, name, geometry);
    slider->setRange(minimum, maximum);
    slider->setSingleStep(1);
    slider->setPageStep(2);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(1);
    slider->setValue(position);
    slider->setAccessibleName(accessibleName);
    return slider;
}

QGroupBox *MakeGroupBox(QWidget *parent, const char *name, const QRect &geometry, const QString &title)
{
    auto *box = new QGroupBox(title, parent);
    Place(box, name, geometry);
    ApplyFont(box, kArial19Black);
    return box;
}

}  // namespace

MainForm::MainForm(QWidget *window) : window(window)
{
    SetupFrame(window, {QString(), {360, 56}, {389, 219}, FrameSpec::CloseOnly, false});
    window->setFont(MakeFont({"Times New Roman", 11}));
    window->setWindowIcon(ArtworkIcon(Artwork::WindowIcon));
    SetInitialHint(window, QString::fromLatin1(kWindowHint), HintShown::Yes);

    // Pictures, labels and the band: later ones lie above earlier ones.
    Image2 = MakePicture(window, "Image2", {673, 350, 33, 41}, Artwork::Image2);
    SetInitialHint(Image2, QStringLiteral("GGGGG"), HintShown::Yes);
    Image2->hide();
    Image1 = MakePicture(window, "Image1", {634, 350, 33, 41}, Artwork::Image1);
    SetInitialHint(Image1, QStringLiteral("RRRRR"), HintShown::Yes);
    Image1->hide();
    DebugTemp1 = MakeLabel(window, "DebugTemp1", {44, 493, 105, 23}, QStringLiteral("Debug 1"), kArial16);
    FixLabelSize(DebugTemp1);
    DebugTemp = MakeLabel(window, "DebugTemp", {180, 496, 60, 18}, QStringLiteral("Debug 0"), kArial16);

    Shape1 = new QFrame(window);
    Place(Shape1, "Shape1", {0, -1, 450, 58});
    Shape1->setAutoFillBackground(true);
    QPalette band = Shape1->palette();
    band.setColor(QPalette::Window, Qt::black);
    Shape1->setPalette(band);
    Shape1->setAccessibleName(QStringLiteral("Header band"));

    OemLogo = MakePicture(window, "OemLogo", {128, 86, 110, 116}, Artwork::OemLogo);
    Image_L_R = MakePicture(window, "Image_L_R", {194, 70, 171, 146}, Artwork::TestFailed);
    SetInitialHint(Image_L_R, QStringLiteral("GGGGG"), HintShown::No);
    Image_L_R->hide();
    Image3 = MakePicture(window, "Image3", {751, 350, 33, 41}, Artwork::Image3);
    SetInitialHint(Image3, QStringLiteral("GGGGG"), HintShown::Yes);
    Image3->hide();
    Image4 = MakePicture(window, "Image4", {712, 350, 33, 41}, Artwork::Image4);
    SetInitialHint(Image4, QStringLiteral("GGGGG"), HintShown::Yes);
    Image4->hide();

    Label8 = MakeLabel(window, "Label8", {158, 16, 173, 32}, QStringLiteral("TEST Utility"),
                       {"Verdana", 27, true, kWhite});
    Label8->setAutoFillBackground(true);
    QPalette onBlack = Label8->palette();
    onBlack.setColor(QPalette::Window, Qt::black);
    Label8->setPalette(onBlack);

    Image_L_G = MakePicture(window, "Image_L_G", {222, 78, 149, 101}, Artwork::TestPassed);
    SetInitialHint(Image_L_G, QStringLiteral("GGGGG"), HintShown::No);
    Image_L_G->hide();
    Image_L_O = MakePicture(window, "Image_L_O", {199, 78, 166, 106}, Artwork::FreeFall);
    Image_L_O->hide();
    Image6 = MakePicture(window, "Image6", {8, 8, 121, 40}, Artwork::HeaderLogo);

    // Windowed controls: above every picture and label.
    rgOnOff = new RadioGroup(QStringLiteral("Settings"),
                             {QStringLiteral("Disable"), QStringLiteral("Enable")}, 2, window);
    Place(rgOnOff, "rgOnOff", {553, 153, 220, 56});
    ApplyFont(rgOnOff, kArial19Black);
    SetInitialHint(rgOnOff, QStringLiteral("HDD protection ON/OFF"), HintShown::No);
    rgOnOff->setItemIndex(0);
    // Its context menu is PopupMenu1; the window class opens it.
    rgOnOff->setContextMenuPolicy(Qt::CustomContextMenu);

    bHide = MakeButton(window, "bHide", {576, 448, 104, 29}, QStringLiteral("&OK"),
                       {"MS UI Gothic", 16, true});
    SetInitialHint(bHide, QStringLiteral("Put HDD protect into Background"), HintShown::No);
    bCancel = MakeButton(window, "bCancel", {8, 177, 104, 31}, QStringLiteral("&Close"), kTimes16);
    SetInitialHint(bCancel, QStringLiteral("Close App.  HDD not protected."), HintShown::Yes);

    GroupBox1 = MakeGroupBox(window, "GroupBox1", {230, 397, 220, 87}, QStringLiteral("Sensitivity"));
    lSensLow = MakeLabel(GroupBox1, "lSensLow", {16, 28, 32, 17}, QStringLiteral("Slow"), kArial15);
    lSensHigh = ReadingRightToLeft(
        MakeLabel(GroupBox1, "lSensHigh", {177, 28, 29, 17}, QStringLiteral("High"), kArial15));
    lSensVal = ReadingRightToLeft(
        MakeLabel(GroupBox1, "lSensVal", {16, 143, 72, 18}, QStringLiteral("Threshold "), kArial16));
    Threshold = MakeLabel(GroupBox1, "Threshold", {219, 7, 18, 18}, QStringLiteral("24"), kArial16);
    Threshold->hide();
    Threshold_mg = MakeLabel(GroupBox1, "Threshold_mg", {111, 3, 30, 23}, QStringLiteral("000"), kCalibri19Maroon);
    Label5 = MakeLabel(GroupBox1, "Label5", {91, 28, 41, 17}, QStringLiteral("Middle"), kArial15);
    Label6 = MakeLabel(GroupBox1, "Label6", {147, 3, 24, 23}, QStringLiteral("mg"), kCalibri19Maroon);
    tbSensitivity = MakeTrackBar(GroupBox1, "tbSensitivity", {16, 51, 190, 33}, 1, 30, 30,
                                 QStringLiteral("Sensitivity"));

    bConfig = MakeButton(window, "bConfig", {693, 415, 189, 33}, QStringLiteral("Configuration"), kArial16);
    SetInitialHint(bConfig, QStringLiteral("Pops Up Configuration Window"), HintShown::Yes);

    GroupBox2 = MakeGroupBox(window, "GroupBox2", {64, 293, 369, 98}, QStringLiteral("Duration Time"));
    Label1 = MakeLabel(GroupBox2, "Label1", {16, 25, 32, 16}, QStringLiteral("Show"), kArial13);
    Label2 = ReadingRightToLeft(
        MakeLabel(GroupBox2, "Label2", {320, 25, 28, 16}, QStringLiteral("Long"), kArial13));
    Label3 = ReadingRightToLeft(
        MakeLabel(GroupBox2, "Label3", {44, 119, 33, 18}, QStringLiteral("Dela"), kArial16));
    DLTIME_Lab = MakeLabel(GroupBox2, "DLTIME_Lab", {218, 28, 18, 18}, QStringLiteral("24"), kArial16);
    Label4 = MakeLabel(GroupBox2, "Label4", {242, 28, 41, 18}, QStringLiteral("Count"), kArial16);
    Label7 = MakeLabel(GroupBox2, "Label7", {139, 24, 41, 23}, QStringLiteral("mSec"), kCalibri19Maroon);
    DLTIME_ms = MakeLabel(GroupBox2, "DLTIME_ms", {94, 26, 30, 23}, QStringLiteral("000"), kCalibri19Maroon);
    tbDLTime = MakeTrackBar(GroupBox2, "tbDLTime", {20, 52, 270, 34}, 0, 30, 0,
                            QStringLiteral("Duration Time"));

    Disable = MakeButton(window, "Disable", {527, 96, 186, 33}, QStringLiteral("Disable"), kCalibri19);
    Button1 = MakeButton(window, "Button1", {8, 63, 104, 66}, QStringLiteral("&TEST"), kTimes16);
    Button2 = MakeButton(window, "Button2", {8, 135, 104, 36}, QStringLiteral("&Cancel"), kTimes16);
    Button2->setEnabled(false);
    ShowFreeFall = MakeCheckBox(window, "ShowFreeFall", {17, 254, 171, 33},
                                QStringLiteral("Show FreeFall icon "), {"Arial", 17}, false);

    // The pop-up menu, also the tray menu. Its items belong to the window.
    PopupMenu1 = new QMenu(window);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    mShow = MakeMenuItem(window, "mShow", QStringLiteral("Show"), QStringLiteral("Display Main Screen"));
    mToggle = MakeMenuItem(window, "mToggle", QStringLiteral("Set"), QStringLiteral("Set protection On/Off"));
    mToggle->setVisible(false);
    mShutdown = MakeMenuItem(window, "mShutdown", QStringLiteral("Exit"), QStringLiteral("Exit Program"));
    PopupMenu1->addActions({mShow, mToggle, mShutdown});

    ReadXYZ = MakeTimer(window, "ReadXYZ", 50);
    Timer1 = MakeTimer(window, "Timer1", 300);

    SetTabChain({bHide, bCancel, rgOnOff->button(0), rgOnOff->button(1), tbSensitivity, bConfig,
                 tbDLTime, Disable, Button1, Button2, ShowFreeFall});
}
