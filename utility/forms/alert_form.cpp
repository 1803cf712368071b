#include "forms/alert_form.h"

#include "forms/artwork.h"
#include "forms/form_support.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace {

const FontSpec kGothic13{"MS UI Gothic", 13};

QLabel *Centred(QLabel *label)
{
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

}  // namespace

AlertForm::AlertForm(QWidget *window) : window(window)
{
    // No font of its own: the window keeps the toolkit's default font.
    SetupFrame(window, {QStringLiteral("Free Fall Detected"), {750, 346}, {193, 170}, FrameSpec::None, true});

    lParked = Centred(MakeLabel(window, "lParked", {37, 283, 100, 13}, QStringLiteral("HDD PROTECTED"), kGothic13));
    lPressbutton = Centred(MakeLabel(window, "lPressbutton", {72, 283, 175, 13},
                                     QStringLiteral("Press OK when you feel is safe"), kGothic13));
    Image1 = MakePicture(window, "Image1", {-4, 1, 201, 169}, Artwork::AlertBitmap);
    bOK = MakeButton(window, "bOK", {56, 252, 65, 25}, QStringLiteral("OK"), kGothic13);
    bOK->setFixedSize(65, 25);
    SetInitialHint(bOK, QString(), HintShown::Yes);
    Timer1 = MakeTimer(window, "Timer1", 1500);
}
