// Scheduling, waits, timers and DPCs of the host kernel, seen through the
// kernel API as a driver sees it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostkernel/kernel.h"

namespace {

using hk::Kernel;
using hk::KernelOptions;
using hk::kMillisecond;
using hk::kSecond;

LARGE_INTEGER Relative(hk::Time100ns t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

TEST(Scheduler, VirtualClockJumpsToTheNextTimer) {
    Kernel k;
    hk::Time100ns woke = -1;
    ASSERT_TRUE(k.Call([&] {
        LARGE_INTEGER d = Relative(250 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        woke = k.Now();
    }));
    EXPECT_EQ(woke, 250 * kMillisecond);
    ASSERT_TRUE(k.RunFor(kSecond));
    EXPECT_EQ(k.Now(), 250 * kMillisecond + kSecond);
}

TEST(Scheduler, HigherPriorityReadyThreadRunsFirst) {
    Kernel k;
    std::vector<std::string> order;
    KEVENT go;
    ASSERT_TRUE(k.Call([&] { KeInitializeEvent(&go, NotificationEvent, FALSE); }));
    k.Spawn([&] { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); order.push_back("low"); }, 8, "low");
    k.Spawn([&] { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); order.push_back("high"); }, 16, "high");
    ASSERT_TRUE(k.RunFor(kMillisecond));
    ASSERT_TRUE(k.Call([&] { KeSetEvent(&go, 0, FALSE); order.push_back("setter"); }, 8));
    ASSERT_TRUE(k.RunFor(kMillisecond));
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "high");  // preempts the setter at once
}

std::string Interleaving(std::uint64_t seed) {
    KernelOptions options;
    options.seed = seed;
    options.preemptPercent = 30;
    Kernel k(options);
    std::string trace;
    for (char name : std::string("abc")) {
        k.Spawn([&trace, name] {
            for (int i = 0; i < 20; ++i) {
                trace.push_back(name);
                KIRQL old;
                KSPIN_LOCK lock;
                KeInitializeSpinLock(&lock);
                KeAcquireSpinLock(&lock, &old);
                KeReleaseSpinLock(&lock, old);  // a scheduling point
            }
        });
    }
    EXPECT_TRUE(k.RunFor(kSecond));
    return trace;
}

TEST(Scheduler, SameSeedSameRunOtherSeedOtherInterleaving) {
    std::string first = Interleaving(7);
    EXPECT_EQ(first.size(), 60u);
    EXPECT_EQ(first, Interleaving(7));
    bool differs = false;
    for (std::uint64_t seed = 8; seed < 16 && !differs; ++seed) differs = Interleaving(seed) != first;
    EXPECT_TRUE(differs);
}

TEST(Scheduler, DeadlockIsReportedNotHung) {
    Kernel k;
    KEVENT never;
    EXPECT_FALSE(k.Call([&] {
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    }));
    ASSERT_TRUE(k.Stopped());
    EXPECT_EQ(k.Stop().rule, "DEADLOCK");
}

TEST(Waits, WaitAnyReturnsLowestSignalledIndexAndTimesOut) {
    Kernel k;
    ASSERT_TRUE(k.Call([&] {
        KEVENT a, b, c;
        KeInitializeEvent(&a, NotificationEvent, FALSE);
        KeInitializeEvent(&b, NotificationEvent, TRUE);
        KeInitializeEvent(&c, NotificationEvent, TRUE);
        PVOID objects[3] = {&a, &b, &c};
        EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                  STATUS_WAIT_1);
        KeClearEvent(&b);
        KeClearEvent(&c);
        LARGE_INTEGER t = Relative(5 * kMillisecond);
        hk::Time100ns before = Kernel::Current().Now();
        EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &t, nullptr),
                  STATUS_TIMEOUT);
        // The time-out ends at the clock interrupt after it: 15.625 ms at boot.
        EXPECT_EQ(Kernel::Current().Now() - before, hk::kDefaultTimeIncrement);
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    }));
}

TEST(Waits, SynchronizationEventReleasesOneWaiterNotificationEventAll) {
    Kernel k;
    KEVENT sync, notify;
    int syncWoken = 0, notifyWoken = 0;
    ASSERT_TRUE(k.Call([&] {
        KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
        KeInitializeEvent(&notify, NotificationEvent, FALSE);
    }));
    for (int i = 0; i < 3; ++i) {
        k.Spawn([&] { KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr); ++syncWoken; });
        k.Spawn([&] { KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, nullptr); ++notifyWoken; });
    }
    ASSERT_TRUE(k.RunFor(kMillisecond));
    ASSERT_TRUE(k.Call([&] {
        KeSetEvent(&sync, 0, FALSE);
        KeSetEvent(&notify, 0, FALSE);
    }));
    ASSERT_TRUE(k.RunFor(kMillisecond));
    EXPECT_EQ(syncWoken, 1);
    EXPECT_EQ(notifyWoken, 3);
    EXPECT_EQ(sync.Header.SignalState, 0);
    EXPECT_EQ(notify.Header.SignalState, 1);
    // Let the remaining waiters go so the machine ends clean.
    ASSERT_TRUE(k.Call([&] { KeSetEvent(&sync, 0, FALSE); KeSetEvent(&sync, 0, FALSE); }));
}

TEST(Timers, NotificationTimerStaysSignalledSynchronizationTimerResets) {
    Kernel k;
    ASSERT_TRUE(k.Call([&] {
        KTIMER n, s;
        KeInitializeTimerEx(&n, NotificationTimer);
        KeInitializeTimerEx(&s, SynchronizationTimer);
        LARGE_INTEGER due = Relative(kMillisecond);
        KeSetTimer(&n, due, nullptr);
        KeSetTimer(&s, due, nullptr);
        EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_TRUE(KeReadStateTimer(&n));
        EXPECT_FALSE(KeReadStateTimer(&s));
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    }));
}

struct DpcProbe {
    int runs = 0;
    hk::Time100ns at = -1;
    KIRQL irql = 0;
};

VOID CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* probe = static_cast<DpcProbe*>(context);
    probe->runs++;
    probe->at = Kernel::Current().Now();
    probe->irql = KeGetCurrentIrql();
}

TEST(Timers, RearmingReplacesTheExpiryAndCancelReportsPending) {
    Kernel k;
    DpcProbe probe;
    KTIMER timer;
    KDPC dpc;
    ASSERT_TRUE(k.Call([&] {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, CountingDpc, &probe);
        EXPECT_FALSE(KeSetTimer(&timer, Relative(3 * kSecond), &dpc));
        LARGE_INTEGER d = Relative(kSecond);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        EXPECT_TRUE(KeSetTimer(&timer, Relative(3 * kSecond), &dpc));  // re-armed at 1 s
    }));
    ASSERT_TRUE(k.RunFor(10 * kSecond));
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.at, 4 * kSecond);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    ASSERT_TRUE(k.Call([&] {
        EXPECT_FALSE(KeCancelTimer(&timer));
        KeSetTimer(&timer, Relative(kSecond), &dpc);
        EXPECT_TRUE(KeCancelTimer(&timer));
    }));
    ASSERT_TRUE(k.RunFor(5 * kSecond));
    EXPECT_EQ(probe.runs, 1);
}

// On one processor a DPC queued below DISPATCH_LEVEL runs at once, so a
// flush at PASSIVE_LEVEL never finds one queued (FlushRunsQueued below
// queues one on a second processor).
TEST(Dpcs, QueuedTwiceRunsOnceWhenTheIrqlDropsAndALaterFlushDoesNotRunItAgain) {
    Kernel k;
    DpcProbe probe;
    KDPC dpc;
    ASSERT_TRUE(k.Call([&] {
        KeInitializeDpc(&dpc, CountingDpc, &probe);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_EQ(probe.runs, 0);  // not while at DISPATCH_LEVEL
        KeLowerIrql(old);
        EXPECT_EQ(probe.runs, 1);
        KeFlushQueuedDpcs();
        EXPECT_EQ(probe.runs, 1);
    }));
}

// A DPC queued to the other processor, which the scheduler never switches
// to on its own here, is still queued when the flush begins; the flush
// returns only once it has run there.
TEST(Dpcs, FlushRunsQueued) {
    KernelOptions options;
    options.processors = 2;
    options.processorSwitchPercent = 0;
    Kernel k(options);
    DpcProbe probe;
    KDPC dpc;
    ASSERT_TRUE(k.Call([&] {
        KeInitializeDpc(&dpc, CountingDpc, &probe);
        KeSetTargetProcessorDpc(&dpc, static_cast<CCHAR>(1 - KeGetCurrentProcessorNumber()));
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_EQ(probe.runs, 0);
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // still queued
        KeFlushQueuedDpcs();
        EXPECT_EQ(probe.runs, 1);
        EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    }));
}

TEST(Threads, SystemThreadEndsAndItsObjectSignals) {
    Kernel k;
    static int ran;
    ran = 0;
    ASSERT_TRUE(k.Call([&] {
        HANDLE handle;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       [](PVOID) {
                                           ran++;
                                           PsTerminateSystemThread(STATUS_SUCCESS);
                                       },
                                       nullptr),
                  STATUS_SUCCESS);
        PVOID thread;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        ObDereferenceObject(thread);
    }));
    EXPECT_EQ(ran, 1);
}

}  // namespace
