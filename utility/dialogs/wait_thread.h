// The event wait thread: the one place in Sentrel that waits on the driver's
// named events.
//
// Handles, in this order (the order is the wait's index):
//   0 Global\VrFFEvent01  free fall detected (set by ZHP)
//   1 Global\VrFFEvent02  free fall cleared (set by ZHP)
//   2 Global\ApEvent01    quit (set by the main window at destruction)
// all manual-reset, created or opened with CreateEventA. When the third
// creation did not find the event existing, all three get a null DACL. Then,
// while no terminate request is set (tested before every wait), the thread
// waits up to 1,000,000 ms on any of them:
//   0: post WM_FFDETECTED, reset event 0, post the UI-thread fall updates
//   1: post WM_FFCLEARED, reset event 1
//   2: reset event 2 (a quit from another utility changes nothing else)
//   time-out: post WM_FFCLEARED
//   failure: nothing
// and at the end closes the three handles. An event that cannot be created or
// opened ends the thread at once, posting nothing (handles obtained stay open).
//
// The thread only waits, resets events and posts: every window change happens
// on the UI thread, where the sink's posts arrive.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

// WM_FFDETECTED and WM_FFCLEARED, posted to the main window with parameters 0.
constexpr UINT kMessageFallDetected = 0x8065;
constexpr UINT kMessageFallCleared = 0x8066;

// How the wait thread reaches the main window: every call only posts (never
// sends) and returns at once. Called on the wait thread.
class WaitThreadSink {
public:
    // WM_FFDETECTED (0x8065).
    virtual void PostFallDetected() = 0;
    // The main window's fall updates, run later on the UI thread in order:
    // recovery interval 2000 ms, fall picture, tray icon, FallCount + 1 shown
    // in DLTIME_ms, Button1 off, Button2 on, bCancel off.
    virtual void PostFallWakeUpdates() = 0;
    // WM_FFCLEARED (0x8066): a release, or a wait that timed out.
    virtual void PostFallCleared() = 0;

protected:
    ~WaitThreadSink() = default;
};

class TWaitThread {
public:
    static constexpr DWORD kWaitTimeoutMs = 1000000;

    // Starts the thread at once. The time-out is the wait's (tests shorten it).
    explicit TWaitThread(WaitThreadSink& sink, DWORD waitTimeoutMs = kWaitTimeoutMs);
    // Requests termination, sets Global\ApEvent01 and waits for the thread.
    ~TWaitThread();
    TWaitThread(const TWaitThread&) = delete;
    TWaitThread& operator=(const TWaitThread&) = delete;

    // The main window's shutdown: RequestTerminate(), then SetQuitEvent().
    void RequestTerminate() { terminate_.store(true); }
    // SetEvent on Global\ApEvent01 (opened for the call and closed again).
    static bool SetQuitEvent();

    // Waits for the thread to end (after a quit, or when it ended at once).
    void Join();
    bool Ended() const { return ended_.load(); }
    // Whether the three events were opened and the loop was entered.
    bool Waiting() const { return waiting_.load(); }
    // Whether the null DACL was applied (the third event did not exist yet).
    bool SecurityChanged() const { return securityChanged_.load(); }

private:
    void Run();

    WaitThreadSink& sink_;
    const DWORD waitTimeoutMs_;
    std::atomic<bool> terminate_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> waiting_{false};
    std::atomic<bool> securityChanged_{false};
    std::thread thread_;
};
