#include "wait_thread.h"

#include <aclapi.h>

namespace {

const char* const kEventNames[3] = {"Global\\VrFFEvent01", "Global\\VrFFEvent02", "Global\\ApEvent01"};
constexpr DWORD kFallIndex = 0;
constexpr DWORD kClearedIndex = 1;
constexpr DWORD kQuitIndex = 2;
constexpr DWORD kFailedWaitPauseMs = 50;

}  // namespace

TWaitThread::TWaitThread(WaitThreadSink& sink, DWORD waitTimeoutMs)
    : sink_(sink), waitTimeoutMs_(waitTimeoutMs), thread_(&TWaitThread::Run, this) {}

TWaitThread::~TWaitThread() {
    RequestTerminate();
    // The quit event is shared by every copy of the utility, and another
    // copy's thread resets it when it wakes: set it again until this thread
    // has seen it, so that ending never waits for the 1000-second wait.
    while (!ended_.load() && thread_.joinable()) {
        SetQuitEvent();
        for (int i = 0; i < 10 && !ended_.load(); ++i) Sleep(10);
    }
    Join();
}

bool TWaitThread::SetQuitEvent() {
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, kEventNames[kQuitIndex]);
    if (quit == nullptr) return false;
    const bool set = SetEvent(quit) != FALSE;
    CloseHandle(quit);
    return set;
}

void TWaitThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TWaitThread::Run() {
    HANDLE events[3] = {};
    DWORD thirdCreation = ERROR_SUCCESS;
    for (int i = 0; i < 3; ++i) {
        events[i] = CreateEventA(nullptr, TRUE, FALSE, kEventNames[i]);
        if (i == 2) thirdCreation = GetLastError();
    }
    if (events[0] == nullptr || events[1] == nullptr || events[2] == nullptr) {
        // No notifications for this run of the utility; what was opened stays
        // open until the process ends.
        ended_.store(true);
        return;
    }
    // A quit event that already existed belongs to another utility process
    // (perhaps of another user): its security, and that of the driver's
    // events, is left as that process made it.
    if (thirdCreation != ERROR_ALREADY_EXISTS) {
        for (HANDLE event : events) {
            SetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr);
        }
        securityChanged_.store(true);
    }

    waiting_.store(true);
    while (!terminate_.load()) {
        const DWORD result = WaitForMultipleObjects(3, events, FALSE, waitTimeoutMs_);
        // Once the main window is going, nothing more is posted to it.
        if (terminate_.load() && result != WAIT_OBJECT_0 + kQuitIndex) break;
        switch (result) {
        case WAIT_OBJECT_0 + kFallIndex:
            sink_.PostFallDetected();
            ResetEvent(events[kFallIndex]);
            sink_.PostFallWakeUpdates();
            break;
        case WAIT_OBJECT_0 + kClearedIndex:
            sink_.PostFallCleared();
            ResetEvent(events[kClearedIndex]);
            break;
        case WAIT_OBJECT_0 + kQuitIndex:
            ResetEvent(events[kQuitIndex]);
            break;
        case WAIT_TIMEOUT:
            sink_.PostFallCleared();
            break;
        default:
            // A failed wait is repeated; a short pause keeps a wait that fails
            // at once (the system going away) from spinning a processor.
            Sleep(kFailedWaitPauseMs);
            break;
        }
    }
    for (HANDLE event : events) CloseHandle(event);
    waiting_.store(false);
    ended_.store(true);
}
