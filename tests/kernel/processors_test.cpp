// A machine with several logical processors, seen through the kernel API:
// DPCs that run beside a thread, spin locks that exclude across processors,
// KeFlushQueuedDpcs over every processor, and the verifier's rules that only
// several processors can break. Each case passes only if the other
// processor really goes on while the first one is busy.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "hostkernel/kernel.h"

namespace {

using hk::Kernel;
using hk::KernelOptions;
using hk::kMillisecond;

KernelOptions Processors(unsigned count, std::uint64_t seed = 1, unsigned switchPercent = 25) {
    KernelOptions options;
    options.processors = count;
    options.seed = seed;
    options.processorSwitchPercent = switchPercent;
    return options;
}

// Busy-waits (as a driver would with KeStallExecutionProcessor) until flag
// is set; false if it never is.
bool StallUntil(volatile LONG* flag) {
    for (int i = 0; i < 100000; ++i) {
        if (*flag != 0) return true;
        KeStallExecutionProcessor(1);
    }
    return *flag != 0;
}

struct DpcShared {
    KSPIN_LOCK lock = 0;
    KSPIN_LOCK second = 0;
    KEVENT event;
    volatile LONG ran = 0;
    volatile LONG tried = 0;
    volatile LONG holding = 0;  // the thread is inside the lock
    volatile LONG overlaps = 0;
    ULONG processor = ~0u;
};

VOID RecordProcessor(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<DpcShared*>(context);
    s->processor = KeGetCurrentProcessorNumber();
    s->ran = 1;
}

VOID TakeTheLock(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<DpcShared*>(context);
    s->tried = 1;
    KeAcquireSpinLockAtDpcLevel(&s->lock);
    if (s->holding != 0) s->overlaps++;
    KeReleaseSpinLockFromDpcLevel(&s->lock);
    s->ran = 1;
}

VOID ReleaseTheThreadsLock(PKDPC, PVOID context, PVOID, PVOID) {
    KeReleaseSpinLockFromDpcLevel(&static_cast<DpcShared*>(context)->lock);
}

VOID WaitForTheEvent(PKDPC, PVOID context, PVOID, PVOID) {
    KeWaitForSingleObject(&static_cast<DpcShared*>(context)->event, Executive, KernelMode, FALSE, nullptr);
}

// Takes the second lock, then waits for the thread to hold the first and
// takes that too: the reverse order of the thread's.
VOID TakeBothInReverse(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<DpcShared*>(context);
    KeAcquireSpinLockAtDpcLevel(&s->second);
    s->tried = 1;
    StallUntil(&s->holding);
    KeAcquireSpinLockAtDpcLevel(&s->lock);
    KeReleaseSpinLockFromDpcLevel(&s->lock);
    KeReleaseSpinLockFromDpcLevel(&s->second);
}

// Queues dpc to the processor the caller does not run on.
void QueueOnTheOtherProcessor(KDPC* dpc, PKDEFERRED_ROUTINE routine, DpcShared* s) {
    KeInitializeDpc(dpc, routine, s);
    KeSetTargetProcessorDpc(dpc, static_cast<CCHAR>(1 - KeGetCurrentProcessorNumber()));
    KeInsertQueueDpc(dpc, nullptr, nullptr);
}

TEST(Processors, TheMachineReportsItsProcessorsAndThreadsRunOnEach) {
    for (unsigned count : {1u, 2u, 4u}) {
        Kernel k(Processors(count));
        ULONG reported = 0;
        KAFFINITY active = 0;
        ASSERT_TRUE(k.Call([&] { reported = KeQueryActiveProcessorCount(&active); }));
        EXPECT_EQ(reported, count);
        EXPECT_EQ(active, (KAFFINITY{1} << count) - 1);
        EXPECT_EQ(KeQueryActiveProcessors(), active);

        std::set<ULONG> seen;
        for (int t = 0; t < 4; ++t) {
            k.Spawn([&seen] {
                for (int i = 0; i < 20; ++i) {
                    seen.insert(KeGetCurrentProcessorNumber());
                    LARGE_INTEGER d;
                    d.QuadPart = -kMillisecond;
                    KeDelayExecutionThread(KernelMode, FALSE, &d);
                }
            }, 8, "worker");
        }
        ASSERT_TRUE(k.RunFor(200 * kMillisecond));
        EXPECT_EQ(seen.size(), count) << count << " processors";
    }
}

TEST(Processors, ADpcRunsOnItsTargetWhileAThreadKeepsTheOtherAtDispatchLevel) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        Kernel k(Processors(2, seed));
        DpcShared s;
        KDPC dpc;
        ULONG mine = ~0u;
        bool keptItsProcessor = false;
        bool sawTheDpc = false;
        ASSERT_TRUE(k.Call([&] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            mine = KeGetCurrentProcessorNumber();
            QueueOnTheOtherProcessor(&dpc, RecordProcessor, &s);
            // Below DISPATCH_LEVEL nothing has preempted this loop: only the
            // other processor can have run the DPC.
            sawTheDpc = StallUntil(&s.ran);
            keptItsProcessor = KeGetCurrentProcessorNumber() == mine && KeGetCurrentIrql() == DISPATCH_LEVEL;
            KeLowerIrql(old);
        })) << "seed " << seed;
        EXPECT_TRUE(sawTheDpc) << "seed " << seed;
        EXPECT_TRUE(keptItsProcessor) << "seed " << seed;
        EXPECT_EQ(s.processor, 1 - mine) << "seed " << seed;
    }
}

TEST(Processors, ASpinLockHeldOnOneProcessorMakesTheOtherSpinUntilItIsReleased) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        Kernel k(Processors(2, seed));
        DpcShared s;
        KDPC dpc;
        bool contended = false;
        ASSERT_TRUE(k.Call([&] {
            KIRQL old;
            KeAcquireSpinLock(&s.lock, &old);
            s.holding = 1;
            QueueOnTheOtherProcessor(&dpc, TakeTheLock, &s);
            // The DPC has begun on the other processor and must wait here.
            contended = StallUntil(&s.tried);
            for (int i = 0; i < 20; ++i) KeStallExecutionProcessor(1);
            contended = contended && s.ran == 0;
            s.holding = 0;
            KeReleaseSpinLock(&s.lock, old);
            KeFlushQueuedDpcs();
        })) << "seed " << seed << ": " << (k.Stopped() ? k.Stop().ToString() : "");
        EXPECT_TRUE(contended) << "seed " << seed;
        EXPECT_EQ(s.ran, 1) << "seed " << seed;
        EXPECT_EQ(s.overlaps, 0) << "seed " << seed;
    }
}

// Runs misuse on a machine with two processors; the report of its stop.
hk::StopReport StopOf(const std::function<void(DpcShared&)>& misuse) {
    DpcShared s;  // outlives the machine, whose threads may point into it
    KernelOptions options = Processors(2);
    options.dispatchWatchdogCalls = 200000;
    Kernel k(options);
    EXPECT_TRUE(k.Call([&] { KeInitializeEvent(&s.event, NotificationEvent, FALSE); }));
    EXPECT_FALSE(k.Call([&] { misuse(s); }));
    if (!k.Stopped()) {
        hk::StopReport none;
        none.rule = "(no stop)";
        return none;
    }
    return k.Stop();
}

TEST(Processors, VerifierCatchesWhatOnlySeveralProcessorsCanDo) {
    KDPC dpc;
    EXPECT_EQ(StopOf([&](DpcShared& s) {
                  KIRQL old;
                  KeAcquireSpinLock(&s.lock, &old);
                  QueueOnTheOtherProcessor(&dpc, ReleaseTheThreadsLock, &s);
                  StallUntil(&s.ran);
                  KeReleaseSpinLock(&s.lock, old);
              }).rule,
              "SPIN_LOCK_RELEASED_ON_OTHER_PROCESSOR");

    EXPECT_EQ(StopOf([&](DpcShared& s) {
                  QueueOnTheOtherProcessor(&dpc, WaitForTheEvent, &s);
                  KeFlushQueuedDpcs();
              }).rule,
              "WAIT_IN_DPC");

    // Each processor holds the lock the other spins on: reported with
    // both processors' kernel calls, not left to hang.
    const hk::StopReport report = StopOf([&](DpcShared& s) {
        KIRQL old;
        QueueOnTheOtherProcessor(&dpc, TakeBothInReverse, &s);
        KeAcquireSpinLock(&s.lock, &old);
        StallUntil(&s.tried);
        s.holding = 1;
        KeAcquireSpinLockAtDpcLevel(&s.second);
        KeReleaseSpinLockFromDpcLevel(&s.second);
        KeReleaseSpinLock(&s.lock, old);
    });
    EXPECT_EQ(report.rule, "SPIN_LOCK_DEADLOCK") << report.ToString();
    ASSERT_EQ(report.processors.size(), 2u) << report.ToString();
    for (const std::string& processor : report.processors) {
        EXPECT_NE(processor.find("spinning on"), std::string::npos) << report.ToString();
    }
    EXPECT_NE(report.ToString().find("DPC("), std::string::npos) << report.ToString();

    // A thread at DISPATCH_LEVEL waits for a DPC it never queued: the
    // verifier ends the spin, as Windows' DPC watchdog would.
    const hk::StopReport spin = StopOf([&](DpcShared& s) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        while (s.ran == 0) KeStallExecutionProcessor(1);
        KeLowerIrql(old);
    });
    EXPECT_EQ(spin.rule, "DPC_WATCHDOG_VIOLATION") << spin.ToString();
    EXPECT_EQ(spin.processors.size(), 2u) << spin.ToString();
}

}  // namespace
