#include "forms/gate_form.h"

#include "forms/form_support.h"

#include <QFont>
#include <QTimer>
#include <QWidget>

GateForm::GateForm(QWidget *window) : window(window)
{
    SetupFrame(window, {QStringLiteral("Informaiton"), {293, 269}, {314, 246}, FrameSpec::None, true});
    window->setFont(MakeFont({"Tahoma", 11}));
    Timer1 = MakeTimer(window, "Timer1", 2000);
    Timer1->setSingleShot(true);
}
