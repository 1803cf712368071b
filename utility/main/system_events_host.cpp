// The host's system events: the notebook's power broadcasts and session
// changes through platform/user's subscription (delivered on a library
// thread, posted from there), and SIGINT/SIGTERM through a self-pipe watched
// by the UI thread.
#include "system_events.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <atomic>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <windows.h>
#include <hostuser/notifications.h>

#include "main_window.h"

struct SystemEvents::Impl {
    TFormMain* window = nullptr;
    HANDLE subscription = nullptr;
    std::atomic<bool> sessionRegistered{false};

    static void Deliver(UINT message, WPARAM wParam, LPARAM lParam, void* context) {
        auto* self = static_cast<Impl*>(context);
        if (message == WM_POWERBROADCAST) {
            self->window->PostWindowMessage(app_message::kPowerBroadcast, wParam, lParam);
        } else if (message == WM_WTSSESSION_CHANGE && self->sessionRegistered.load()) {
            self->window->PostWindowMessage(app_message::kSessionChange, wParam, lParam);
        }
    }
};

SystemEvents::SystemEvents(TFormMain* mainWindow) : impl_(std::make_unique<Impl>()) {
    impl_->window = mainWindow;
    // Without a notebook there is nothing to hear; the program goes on.
    impl_->subscription = HostSubscribeSystemNotifications(&Impl::Deliver, impl_.get());
}

SystemEvents::~SystemEvents() {
    if (impl_->subscription != nullptr) HostUnsubscribeSystemNotifications(impl_->subscription);
}

void SystemEvents::RegisterSession() { impl_->sessionRegistered.store(true); }

void SystemEvents::UnregisterSession() { impl_->sessionRegistered.store(false); }

namespace {

int gSignalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    const ssize_t ignored = ::write(gSignalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

void CatchTerminationRequests() {
    if (gSignalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
    struct sigaction action = {};
    action.sa_handler = &OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void CloseOnTerminationRequest(QWidget* mainWindow) {
    if (gSignalPipe[0] < 0) return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, mainWindow);
    QPointer<QWidget> window(mainWindow);
    QObject::connect(notifier, &QSocketNotifier::activated, mainWindow, [window] {
        char bytes[16];
        const ssize_t ignored = ::read(gSignalPipe[0], bytes, sizeof bytes);
        (void)ignored;
        if (window) window->close();
    });
}
