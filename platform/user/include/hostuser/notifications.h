/*
 * Host-only: the notebook's power broadcasts and session changes.
 *
 * On Windows these reach a program as window messages: WM_POWERBROADCAST
 * (0x218, wParam = PBT_* event code) to every top-level window, and
 * WM_WTSSESSION_CHANGE (0x2B1, wParam = WTS_* event code, lParam = session
 * id) to windows registered with WTSRegisterSessionNotification. On the host
 * a program's window layer subscribes here and turns each notification into
 * the message it stands for.
 *
 * The callback runs on a background thread of this library, one call at a
 * time per subscription, in the order the notebook sent them; it must hand
 * the message over to the UI thread (for example as a queued call) rather
 * than touch windows itself.
 */
#ifndef ZHP_HOSTUSER_NOTIFICATIONS_H
#define ZHP_HOSTUSER_NOTIFICATIONS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*HOST_SYSTEM_NOTIFICATION_CALLBACK)(UINT message, WPARAM wParam, LPARAM lParam, void *context);

/* Starts delivering notifications; returns a subscription handle, or null
 * (GetLastError: ERROR_DEVICE_NOT_CONNECTED) when the notebook cannot be
 * reached. The subscription is registered with the notebook when this
 * returns: no notification sent afterwards is missed. */
HANDLE HostSubscribeSystemNotifications(HOST_SYSTEM_NOTIFICATION_CALLBACK callback, void *context);
/* Stops the subscription and waits until its callback is no longer running.
 * Must not be called from inside the callback. */
void HostUnsubscribeSystemNotifications(HANDLE subscription);

#ifdef __cplusplus
}
#endif

#endif /* ZHP_HOSTUSER_NOTIFICATIONS_H */
