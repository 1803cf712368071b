// The clocks and kernel timers.
//
// Virtual time moves only when the processor idles (it jumps to the next
// expiry); real time follows the host's monotonic clock. Timers sit in one
// list sorted by due time; equal due times keep their insertion order. A
// timer expires at the clock interrupt at or after its due time (clock.cpp).
#include <algorithm>
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
    // A relative time counts from the precise time, as KeDelayExecutionThread
    // does since Windows 8. (Windows counts a timer's relative time from the
    // last clock interrupt, so a short one may expire up to a period early;
    // here a thread re-arming such a timer would spin without virtual time
    // passing.)
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

// The list is sorted by due time and a timer never expires before its due
// time: once a due time passes the best expiry so far, no later timer can
// lower it.
Time100ns Impl::NextTimerDue() const {
    Time100ns best = -1;
    for (PLIST_ENTRY e = timerList.Flink; e != &timerList; e = e->Flink) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (best >= 0 && static_cast<Time100ns>(timer->DueTime.QuadPart) >= best) break;
        const Time100ns expiry = ExpiryOf(timer);
        if (best < 0 || expiry < best) best = expiry;
    }
    return best;
}

Time100ns Impl::NextWakeDeadline() const {
    Time100ns best = -1;
    for (PLIST_ENTRY e = timerList.Flink; e != &timerList; e = e->Flink) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        auto due = static_cast<Time100ns>(timer->DueTime.QuadPart);
        if (best >= 0 && due >= best) break;
        // A tolerant timer expires with any interrupt within its tolerance.
        const Time100ns tolerance = static_cast<Time100ns>(timer->TolerableDelay) * hk::kMillisecond;
        Time100ns latest = ExpiryOf(timer);
        if (tolerance > 0) latest = std::max(latest, timer->HostExact ? due + tolerance : TickAtOrBefore(due + tolerance));
        if (best < 0 || latest < best) best = latest;
    }
    return best;
}

static bool QueueDpcInternal(Impl& k, PKDPC dpc, PVOID a1, PVOID a2, unsigned processor);

// Signals an expired timer, re-arms a periodic one and queues its DPC.
// The timer is out of the list.
static void CompleteTimer(Impl& k, PKTIMER timer, Time100ns interruptTime) {
    timer->Header.SignalState = 1;
    k.SignalObject(&timer->Header);
    if (timer->Period > 0) {
        k.InsertTimer(timer, static_cast<Time100ns>(timer->DueTime.QuadPart) +
                                 static_cast<Time100ns>(timer->Period) * hk::kMillisecond);
    }
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER st;
        st.QuadPart = k.bootSystemTime + interruptTime;
        // The DPC runs on the processor that set the timer, as Windows
        // keeps a timer in that processor's timer table.
        QueueDpcInternal(k, timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(st.LowPart)),
                         reinterpret_cast<PVOID>(static_cast<LONG_PTR>(st.HighPart)), timer->Processor);
    }
}

void Impl::ExpireTimers() {
    KIRQL old = irql;
    irql = DISPATCH_LEVEL;  // expiry runs as the clock interrupt's DPC would
    const Time100ns t = clock.Now();
    for (;;) {
        // Expiring one timer may take others out of the list (a satisfied
        // wait drops its thread's time-out): look again from the head.
        PKTIMER expired = nullptr;
        for (PLIST_ENTRY e = timerList.Flink; e != &timerList; e = e->Flink) {
            PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
            if (static_cast<Time100ns>(timer->DueTime.QuadPart) > t) break;
            if (ExpiryOf(timer) <= t) {
                expired = timer;
                break;
            }
        }
        if (expired == nullptr) break;
        RemoveEntryList(&expired->TimerListEntry);
        expired->Header.Inserted = FALSE;
        if (expired->Header.Type == kWaitTimeoutTimer) {
            auto* thread = reinterpret_cast<_KTHREAD*>(expired->Dpc);
            if (thread->state == ThreadState::Waiting) SatisfyWait(thread, STATUS_TIMEOUT);
            continue;
        }
        CompleteTimer(*this, expired, expired->HostExact ? t : TickAtOrBefore(t));
    }
    irql = old;
}

// Queues the DPC to the processor KeSetTargetProcessorDpc named, else to
// the given one. True if that is the current processor.
static bool QueueDpcInternal(Impl& k, PKDPC dpc, PVOID a1, PVOID a2, unsigned processor) {
    if (dpc->DpcData != nullptr) return false;
    unsigned target = dpc->Number != 0 ? dpc->Number - 1u : processor;
    if (target >= k.processorCount) target = k.cpu;
    PLIST_ENTRY queue = &k.processors[target].dpcQueue;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcData = queue;
    if (dpc->Importance == HighImportance) {
        InsertHeadList(queue, &dpc->DpcListEntry);
    } else {
        InsertTailList(queue, &dpc->DpcListEntry);
    }
    return target == k.cpu;
}

void Impl::RunDpcs() {
    // A DPC may let other processors run at its kernel calls; it comes back
    // to this processor, whose queue is looked at again.
    while (!IsListEmpty(DpcQueue()) && !inDpc) {
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(DpcQueue()), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        KIRQL old = irql;
        irql = DISPATCH_LEVEL;
        inDpc = true;
        std::size_t locksBefore = heldLocks.size();
        hk::FrameScope frame("DPC", reinterpret_cast<const void*>(dpc->DeferredRoutine));
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
    if (irql < DISPATCH_LEVEL) processors[cpu].dispatchCalls = 0;
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
    Timer->Processor = k.cpu;
    const Time100ns due = k.DueFromRelativeOrAbsolute(DueTime.QuadPart);
    if (due > k.clock.Now()) {
        k.InsertTimer(Timer, due);
        return wasInserted;
    }
    // Already due: signalled and its DPC queued at once, not at some later
    // expiry pass.
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    KIRQL old = k.irql;
    if (old < DISPATCH_LEVEL) k.irql = DISPATCH_LEVEL;
    CompleteTimer(k, Timer, Timer->HostExact ? k.clock.Now() : k.InterruptTime());
    k.irql = old;
    if (old < DISPATCH_LEVEL) k.RunDpcs();
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
    // Below DISPATCH_LEVEL the DPC interrupt is taken at once; a DPC for
    // another processor runs when the scheduler lets that processor run.
    if (QueueDpcInternal(k, Dpc, SystemArgument1, SystemArgument2, k.cpu) && k.irql < DISPATCH_LEVEL) k.RunDpcs();
    k.ProcessorSwitchPoint();
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
    k.FlushAllDpcs();
}

VOID KeStallExecutionProcessor(ULONG) {
    // A busy wait takes no virtual time; in real time it is too short to
    // matter. Other processors go on meanwhile.
    K().ProcessorSwitchPoint();
}

}  // extern "C"
