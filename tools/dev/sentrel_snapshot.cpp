// sentrel_snapshot DIR SUFFIX: brings Sentrel up in this process against the
// notebook named by ZHP_NOTEBOOK_SOCKET and renders each window's client
// area, at its layout size, to DIR/<window>SUFFIX.png: the main window, the
// settings dialog on its Status tab (live readout and event log) and on its
// System tab, the alert window (never shown by the program) and the gate
// window. Protection is switched on and off first, so that the event log has
// a line; the program ends as its close box ends it.
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

#include "alert_window.h"
#include "config_dialog.h"
#include "forms/config_form.h"
#include "gate_window.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "forms/radio_group.h"

namespace {

void Pump(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool Save(QWidget* window, const QString& path) {
    const bool ok = window->grab().save(path, "PNG");
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(path), window->width(), window->height());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: sentrel_snapshot DIR SUFFIX\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvorin"));
    QApplication::setQuitOnLastWindowClosed(false);
    const QString dir = QString::fromLocal8Bit(argv[1]), suffix = QString::fromLocal8Bit(argv[2]);
    auto path = [&](const char* name) { return dir + QLatin1Char('/') + QLatin1String(name) + suffix + QStringLiteral(".png"); };

    bool ok = true;
    {
        TFormGate gate;
        TFormMain& main = *gate.mainWindow();
        Pump(300);
        ok &= Save(&main, path("main"));

        main.form().rgOnOff->setItemIndex(1);
        main.form().rgOnOff->setItemIndex(0);
        main.form().bConfig->click();
        TfConfig* dialog = main.config();
        ok &= Save(dialog, path("settings-system"));
        dialog->form().pcSetup->setCurrentWidget(dialog->form().stStatus);
        Pump(600);  // a dozen readout ticks fill the smoothing windows
        ok &= Save(dialog, path("settings-status"));
        dialog->form().bDone->click();

        ok &= Save(main.alert(), path("alert"));
        ok &= Save(&gate, path("gate"));
    }
    return ok ? 0 : 1;
}
