// Dispatcher objects and waits: events, thread objects and the wait logic
// shared with timers.
#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

static bool IsSignalled(PDISPATCHER_HEADER h) { return h->SignalState > 0; }

static bool IsSynchronizationObject(PDISPATCHER_HEADER h) {
    return h->Type == kEventSynchronizationObject || h->Type == kTimerSynchronizationObject;
}

// A satisfied wait consumes a synchronization object's signal.
bool Impl::TryConsume(PDISPATCHER_HEADER h) {
    if (!IsSignalled(h)) return false;
    if (IsSynchronizationObject(h)) h->SignalState = 0;
    return true;
}

void Impl::SatisfyWait(_KTHREAD* t, NTSTATUS status) {
    for (ULONG i = 0; i < t->waitCount; ++i) {
        RemoveEntryList(&t->waitBlocks[i].WaitListEntry);
    }
    if (t->waitTimer.Header.Inserted) {
        RemoveEntryList(&t->waitTimer.TimerListEntry);
        t->waitTimer.Header.Inserted = FALSE;
    }
    t->waitCount = 0;
    t->waitBlocks = nullptr;
    t->waitStatus = status;
    MakeReady(t);
}

static bool AllSignalled(_KTHREAD* t) {
    for (ULONG i = 0; i < t->waitCount; ++i) {
        if (!IsSignalled(static_cast<PDISPATCHER_HEADER>(t->waitBlocks[i].Object))) return false;
    }
    return true;
}

void Impl::SignalObject(PDISPATCHER_HEADER h) {
    // Rescan from the head after every satisfied wait: satisfying a wait
    // unlinks all of that thread's wait blocks.
    bool progress = true;
    while (progress && IsSignalled(h)) {
        progress = false;
        for (PLIST_ENTRY e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
            PKWAIT_BLOCK wb = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
            _KTHREAD* t = wb->Thread;
            if (t->waitType == WaitAny) {
                TryConsume(h);
                SatisfyWait(t, STATUS_WAIT_0 + wb->WaitKey);
                progress = true;
                break;
            }
            if (AllSignalled(t)) {
                for (ULONG i = 0; i < t->waitCount; ++i) {
                    TryConsume(static_cast<PDISPATCHER_HEADER>(t->waitBlocks[i].Object));
                }
                SatisfyWait(t, STATUS_WAIT_0);
                progress = true;
                break;
            }
        }
    }
}

NTSTATUS Impl::WaitForObjects(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                              PKWAIT_BLOCK blocks) {
    _KTHREAD* self = current;
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            auto* h = static_cast<PDISPATCHER_HEADER>(objects[i]);
            if (TryConsume(h)) return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        }
    } else if (count > 0) {
        bool all = true;
        for (ULONG i = 0; i < count; ++i) all = all && IsSignalled(static_cast<PDISPATCHER_HEADER>(objects[i]));
        if (all) {
            for (ULONG i = 0; i < count; ++i) TryConsume(static_cast<PDISPATCHER_HEADER>(objects[i]));
            return STATUS_WAIT_0;
        }
    }
    if (timeout != nullptr && timeout->QuadPart == 0) return STATUS_TIMEOUT;

    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<PDISPATCHER_HEADER>(objects[i]);
        blocks[i].Thread = self;
        blocks[i].Object = h;
        blocks[i].WaitKey = static_cast<USHORT>(i);
        blocks[i].WaitType = static_cast<UCHAR>(type);
        InsertTailList(&h->WaitListHead, &blocks[i].WaitListEntry);
    }
    self->waitBlocks = blocks;
    self->waitCount = count;
    self->waitType = type;
    self->waitStatus = STATUS_TIMEOUT;
    if (timeout != nullptr) {
        InsertTimer(&self->waitTimer, DueFromRelativeOrAbsolute(timeout->QuadPart));
    }
    self->state = ThreadState::Waiting;
    Block();
    return self->waitStatus;
}

static void CheckWaitIrql(const char* routine, PLARGE_INTEGER timeout) {
    Impl& k = K();
    if (k.inDpc && (timeout == nullptr || timeout->QuadPart != 0)) {
        // Whatever IRQL it has lowered to, a DPC borrows its processor from
        // whatever it interrupted: it must never block.
        k.Stop("WAIT_IN_DPC", std::string(routine) + " would block in a DPC routine", k.irql);
    }
    if (k.irql > DISPATCH_LEVEL) {
        k.Stop("IRQL_TOO_HIGH", std::string(routine) + " called above DISPATCH_LEVEL", k.irql);
    }
    if (k.irql == DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0)) {
        k.Stop("WAIT_AT_DISPATCH_LEVEL",
               std::string(routine) + " would block at DISPATCH_LEVEL (only a zero time-out is allowed there)",
               k.irql);
    }
}

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == NotificationEvent ? kEventNotificationObject : kEventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    Impl& k = K();
    k.RequireIrql("KeSetEvent", DISPATCH_LEVEL);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    k.SignalObject(&Event->Header);
    k.SchedulingPoint();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    K().RequireIrql("KeClearEvent", DISPATCH_LEVEL);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    K().RequireIrql("KeResetEvent", DISPATCH_LEVEL);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    CheckWaitIrql("KeWaitForSingleObject", Timeout);
    Impl& k = K();
    PVOID objects[1] = {Object};
    hk::FrameScope frame("KeWaitForSingleObject", Object);
    return k.WaitForObjects(1, objects, WaitAny, Timeout, k.current->builtinBlocks);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
    CheckWaitIrql("KeWaitForMultipleObjects", Timeout);
    Impl& k = K();
    if (Count > MAXIMUM_WAIT_OBJECTS || (WaitBlockArray == nullptr && Count > THREAD_WAIT_OBJECTS)) {
        k.Stop("TOO_MANY_WAIT_OBJECTS", "KeWaitForMultipleObjects with more objects than wait blocks", Count);
    }
    return k.WaitForObjects(Count, Object, WaitType, Timeout,
                            WaitBlockArray != nullptr ? WaitBlockArray : k.current->builtinBlocks);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    Impl& k = K();
    k.RequireIrql("KeDelayExecutionThread", APC_LEVEL);
    NTSTATUS status = k.WaitForObjects(0, nullptr, WaitAny, Interval, k.current->builtinBlocks);
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

}  // extern "C"
