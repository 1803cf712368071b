// Windows' system events: WM_POWERBROADCAST and WM_WTSSESSION_CHANGE read
// from the main window's native messages by an application-wide event
// filter, and WTSRegisterSessionNotification for this session. Ending the
// program comes as the window's own close message, so there is nothing more
// to install for it.
#include "system_events.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWidget>

#include <windows.h>
#include <wtsapi32.h>

#include "main_window.h"

struct SystemEvents::Impl : public QAbstractNativeEventFilter {
    TFormMain* window = nullptr;
    bool registered = false;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
        if (eventType != "windows_generic_MSG") return false;
        const MSG* msg = static_cast<const MSG*>(message);
        // internalWinId, not winId: the messages of the window's own creation
        // pass through this filter, and winId would create it a second time.
        if (window->internalWinId() == 0 || msg->hwnd != reinterpret_cast<HWND>(window->internalWinId())) return false;
        if (msg->message == WM_POWERBROADCAST) {
            window->PostWindowMessage(app_message::kPowerBroadcast, msg->wParam, msg->lParam);
            *result = TRUE;
            return true;  // no further default handling
        }
        if (msg->message == WM_WTSSESSION_CHANGE) {
            window->PostWindowMessage(app_message::kSessionChange, msg->wParam, msg->lParam);
            return true;
        }
        return false;
    }
};

SystemEvents::SystemEvents(TFormMain* mainWindow) : impl_(std::make_unique<Impl>()) {
    impl_->window = mainWindow;
    QCoreApplication::instance()->installNativeEventFilter(impl_.get());
}

SystemEvents::~SystemEvents() { QCoreApplication::instance()->removeNativeEventFilter(impl_.get()); }

void SystemEvents::RegisterSession() {
    impl_->registered = WTSRegisterSessionNotification(reinterpret_cast<HWND>(impl_->window->winId()), NOTIFY_FOR_THIS_SESSION) != FALSE;
}

void SystemEvents::UnregisterSession() {
    if (impl_->registered) WTSUnRegisterSessionNotification(reinterpret_cast<HWND>(impl_->window->winId()));
    impl_->registered = false;
}

void CatchTerminationRequests() {}

void CloseOnTerminationRequest(QWidget*) {}
