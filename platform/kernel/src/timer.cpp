// The clocks and kernel timers.
//
// Virtual time moves only when the processor idles (it jumps to the next
// expiry); real time follows the host's monotonic clock. Timers sit in one
// list sorted by due time; equal due times keep their insertion order.
#include <chrono>

#include "kernel_internal.h"

using hk::K;
using hk::Time100ns;
using Impl = hk::Kernel::Impl;

Time100ns Impl::ClockSource::Now() const {
    if (k->options.clock == hk::ClockMode::Virtual) return k->now;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return (ns - k->realBase) / 100;
}

Time100ns Impl::DueFromRelativeOrAbsolute(LONGLONG dueTime) const {
    if (dueTime < 0) return clock.Now() - dueTime;
    Time100ns due = dueTime - bootSystemTime;  // absolute system time
    return due < 0 ? 0 : due;
}

void Impl::InsertTimer(PKTIMER timer, Time100ns due) {
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = TRUE;
    PLIST_ENTRY e = timerList.Blink;
    while (e != &timerList) {
        PKTIMER other = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (other->DueTime.QuadPart <= timer->DueTime.QuadPart) break;
        e = e->Blink;
    }
    // Insert after e.
    timer->TimerListEntry.Flink = e->Flink;
    timer->TimerListEntry.Blink = e;
    e->Flink->Blink = &timer->TimerListEntry;
    e->Flink = &timer->TimerListEntry;
}

Time100ns Impl::NextTimerDue() const {
    if (IsListEmpty(&timerList)) return -1;
    return static_cast<Time100ns>(CONTAINING_RECORD(timerList.Flink, KTIMER, TimerListEntry)->DueTime.QuadPart);
}

Time100ns Impl::NextWakeDeadline() const {
    // The list is sorted by due time: once a due time passes the best
    // deadline so far, no later timer can lower it.
    Time100ns best = -1;
    for (PLIST_ENTRY e = timerList.Flink; e != &timerList; e = e->Flink) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        auto due = static_cast<Time100ns>(timer->DueTime.QuadPart);
        if (best >= 0 && due >= best) break;
        Time100ns latest = due + static_cast<Time100ns>(timer->TolerableDelay) * hk::kMillisecond;
        if (best < 0 || latest < best) best = latest;
    }
    return best;
}

static void QueueDpcInternal(Impl& k, PKDPC dpc, PVOID a1, PVOID a2);

void Impl::ExpireTimers() {
    KIRQL old = irql;
    irql = DISPATCH_LEVEL;  // expiry runs as the clock interrupt's DPC would
    Time100ns t = clock.Now();
    while (!IsListEmpty(&timerList)) {
        PKTIMER timer = CONTAINING_RECORD(timerList.Flink, KTIMER, TimerListEntry);
        if (static_cast<Time100ns>(timer->DueTime.QuadPart) > t) break;
        RemoveEntryList(&timer->TimerListEntry);
        timer->Header.Inserted = FALSE;
        if (timer->Header.Type == kWaitTimeoutTimer) {
            auto* thread = reinterpret_cast<_KTHREAD*>(timer->Dpc);
            if (thread->state == ThreadState::Waiting) SatisfyWait(thread, STATUS_TIMEOUT);
            continue;
        }
        timer->Header.SignalState = 1;
        SignalObject(&timer->Header);
        if (timer->Period > 0) {
            InsertTimer(timer, static_cast<Time100ns>(timer->DueTime.QuadPart) +
                                   static_cast<Time100ns>(timer->Period) * hk::kMillisecond);
        }
        if (timer->Dpc != nullptr) {
            LARGE_INTEGER st;
            st.QuadPart = bootSystemTime + t;
            QueueDpcInternal(*this, timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(st.LowPart)),
                             reinterpret_cast<PVOID>(static_cast<LONG_PTR>(st.HighPart)));
        }
    }
    irql = old;
}

static void QueueDpcInternal(Impl& k, PKDPC dpc, PVOID a1, PVOID a2) {
    if (dpc->DpcData != nullptr) return;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcData = &k.dpcQueue;
    if (dpc->Importance == HighImportance) {
        InsertHeadList(&k.dpcQueue, &dpc->DpcListEntry);
    } else {
        InsertTailList(&k.dpcQueue, &dpc->DpcListEntry);
    }
}

void Impl::RunDpcs() {
    while (!IsListEmpty(&dpcQueue) && !inDpc) {
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&dpcQueue), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        KIRQL old = irql;
        irql = DISPATCH_LEVEL;
        inDpc = true;
        std::size_t locksBefore = heldLocks.size();
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
        if (irql != DISPATCH_LEVEL) {
            Stop("DPC_CHANGED_IRQL", "a DPC routine returned at another IRQL than DISPATCH_LEVEL",
                 reinterpret_cast<std::uintptr_t>(dpc->DeferredRoutine), irql);
        }
        if (heldLocks.size() != locksBefore) {
            Stop("SPIN_LOCK_HELD_AT_DPC_EXIT", "a DPC routine returned holding a spin lock",
                 reinterpret_cast<std::uintptr_t>(dpc->DeferredRoutine));
        }
        inDpc = false;
        irql = old;
    }
}

extern "C" {

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? kTimerNotificationObject : kTimerSynchronizationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetCoalescableTimer(PKTIMER Timer, LARGE_INTEGER DueTime, ULONG Period, ULONG TolerableDelay, PKDPC Dpc) {
    BOOLEAN wasInserted = KeSetTimerEx(Timer, DueTime, static_cast<LONG>(Period), Dpc);
    Timer->TolerableDelay = TolerableDelay;
    return wasInserted;
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    Impl& k = K();
    k.RequireIrql("KeSetTimer", DISPATCH_LEVEL);
    Timer->TolerableDelay = 0;
    BOOLEAN wasInserted = Timer->Header.Inserted;
    if (wasInserted) {
        RemoveEntryList(&Timer->TimerListEntry);
        Timer->Header.Inserted = FALSE;
    }
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    k.InsertTimer(Timer, k.DueFromRelativeOrAbsolute(DueTime.QuadPart));
    return wasInserted;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    K().RequireIrql("KeCancelTimer", DISPATCH_LEVEL);
    if (!Timer->Header.Inserted) return FALSE;
    RemoveEntryList(&Timer->TimerListEntry);
    Timer->Header.Inserted = FALSE;
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState > 0; }

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->Type = 19;  // DpcObject
    Dpc->Importance = MediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    InitializeListHead(&Dpc->DpcListEntry);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Impl& k = K();
    if (k.irql > HIGH_LEVEL) k.Stop("IRQL_TOO_HIGH", "KeInsertQueueDpc", k.irql);
    if (Dpc->DpcData != nullptr) return FALSE;
    QueueDpcInternal(k, Dpc, SystemArgument1, SystemArgument2);
    // Below DISPATCH_LEVEL the DPC interrupt is taken at once.
    if (k.irql < DISPATCH_LEVEL) k.RunDpcs();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    if (Dpc->DpcData == nullptr) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeFlushQueuedDpcs(VOID) {
    Impl& k = K();
    k.RequireIrql("KeFlushQueuedDpcs", PASSIVE_LEVEL);
    k.RunDpcs();
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = K().bootSystemTime + K().clock.Now();
}

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(K().clock.Now()); }

ULONG KeQueryTimeIncrement(VOID) { return 156250; }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = K().clock.Now() / KeQueryTimeIncrement();
}

VOID KeStallExecutionProcessor(ULONG) {
    // A busy wait takes no virtual time; in real time it is too short to matter.
}

}  // extern "C"
