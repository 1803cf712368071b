// Sentrel's entry: the application, the gate window (which creates the main
// window and shows it), tooltips on, the message loop. No command-line
// arguments are used.
#include <QApplication>

#include "gate_window.h"
#include "main_window.h"
#include "system_events.h"

int main(int argc, char* argv[]) {
    // Screen readers, and tests from outside, read every window.
    if (!qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");

    CatchTerminationRequests();

    // 1. A copy already running is not refused: this one starts beside it.
    // 2. The framework, titled "Halvorin"; closing a window other than the
    //    main window never ends the program.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvorin"));
    QApplication::setQuitOnLastWindowClosed(false);

    // 3. The gate window, which creates the main window.
    TFormGate gate;
    CloseOnTerminationRequest(gate.mainWindow());

    // 4. Tooltips are on for every control that carries a hint (Qt shows a
    //    widget's tool tip by default).
    // 5. The message loop, until the main window closes.
    return QApplication::exec();
}
