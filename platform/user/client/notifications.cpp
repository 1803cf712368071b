// Power broadcasts and session changes, each subscription on its own
// connection and thread.
#include <windows.h>

#include <hostuser/notifications.h>

#include <memory>
#include <thread>

#include "connection.h"

using namespace hostuser;
using namespace hostuser::client;

namespace {

struct Subscription {
    HOST_SYSTEM_NOTIFICATION_CALLBACK callback = nullptr;
    void* context = nullptr;
    Connection connection{wire::Role::Subscriber};
    std::thread thread;

    void Run() {
        while (std::optional<std::vector<std::uint8_t>> body = connection.Receive()) {
            wire::Reader r(*body);
            wire::Notification n = wire::ReadNotification(r);
            if (!r.Ok()) break;
            callback(n.message, static_cast<WPARAM>(n.wParam), static_cast<LPARAM>(n.lParam), context);
        }
    }
};

}  // namespace

extern "C" {

HANDLE HostSubscribeSystemNotifications(HOST_SYSTEM_NOTIFICATION_CALLBACK callback, void* context) {
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto subscription = std::make_unique<Subscription>();
    subscription->callback = callback;
    subscription->context = context;
    // The notebook registers the subscriber before it answers the hello.
    if (!subscription->connection.Ensure()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    Subscription* s = subscription.release();
    s->thread = std::thread([s] { s->Run(); });
    return s;
}

void HostUnsubscribeSystemNotifications(HANDLE subscription) {
    auto* s = static_cast<Subscription*>(subscription);
    if (s == nullptr) return;
    s->connection.Shutdown();
    if (s->thread.joinable()) s->thread.join();
    delete s;
}

}  // extern "C"
