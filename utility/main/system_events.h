// What reaches Sentrel from the system rather than from its own windows:
// power broadcasts (to every top-level window), session changes (to windows
// registered for their session) and the request to end. One implementation
// per platform, chosen by the build: on Windows the window messages
// themselves, on the host the notebook's notification subscription and the
// process signals. Either way they arrive on the main window as posted
// messages (its PostWindowMessage), never as calls on another thread.
#pragma once

#include <memory>

class QWidget;
class TFormMain;

class SystemEvents {
public:
    // The application-wide hook: power broadcasts flow from here on.
    explicit SystemEvents(TFormMain* mainWindow);
    ~SystemEvents();  // no message is posted once this returns
    SystemEvents(const SystemEvents&) = delete;
    SystemEvents& operator=(const SystemEvents&) = delete;

    // WTSRegisterSessionNotification for this session / its undoing.
    void RegisterSession();
    void UnregisterSession();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The system asks the program to end (on the host SIGINT and SIGTERM): the
// main window is closed as by its close box, so the shutdown sequence runs.
// Requests are caught from the first call on (before any window exists)
// and acted on once the main window is named and the message loop runs.
void CatchTerminationRequests();
void CloseOnTerminationRequest(QWidget* mainWindow);
