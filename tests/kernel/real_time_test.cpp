// A machine in real time: a timer that tolerates a delay shares another
// timer's wake-up; calls from several OS threads run side by side with a
// ticking system thread, a blocked call holds up no other, and a stop or a
// broken call releases every caller.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hostkernel/kernel.h"

namespace {

using hk::Kernel;
using hk::kMillisecond;

hk::KernelOptions RealTime() {
    hk::KernelOptions options;
    options.clock = hk::ClockMode::Real;
    options.echoDebugOutput = false;
    return options;
}

// A system thread that waits on a 1 ms timer until told to stop, as a
// driver's polling thread does.
struct Ticker {
    KTIMER timer;
    std::atomic<bool> stop{false};
    std::atomic<int> ticks{0};
    PKTHREAD thread = nullptr;

    void Start(Kernel& k) {
        thread = k.Spawn([this] {
            KeInitializeTimer(&timer);
            while (!stop) {
                LARGE_INTEGER due;
                due.QuadPart = -1 * kMillisecond;
                KeSetTimer(&timer, due, nullptr);
                KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
                ++ticks;
            }
        });
    }
    void Finish(Kernel& k) {
        stop = true;
        EXPECT_TRUE(k.Join(thread, -1));
        k.ReleaseThread(thread);
    }
};

// A coalescable timer due at `dueMs` with `toleranceMs` of tolerance, and
// an exact delay of `exactMs` on the calling thread; when each happened.
struct Coalescing {
    hk::Time100ns due = 0;
    hk::Time100ns latest = 0;  // due plus the tolerance
    hk::Time100ns exactDue = 0;
    hk::Time100ns fired = -1;
    hk::Time100ns exactWoke = 0;
};

Coalescing RunCoalescing(long dueMs, unsigned long toleranceMs, long exactMs) {
    Kernel k(RealTime());
    struct Probe {
        KTIMER timer;
        KDPC dpc;
        hk::Time100ns fired = -1;
    } probe;
    Coalescing c;
    EXPECT_TRUE(k.Call([&] {
        KeInitializeTimer(&probe.timer);
        KeInitializeDpc(
            &probe.dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                static_cast<Probe*>(context)->fired = static_cast<hk::Time100ns>(KeQueryInterruptTime());
            },
            &probe);
        const hk::Time100ns now = Kernel::Current().Now();
        c.due = now + dueMs * kMillisecond;
        c.latest = c.due + static_cast<hk::Time100ns>(toleranceMs) * kMillisecond;
        c.exactDue = now + exactMs * kMillisecond;
        LARGE_INTEGER due;
        due.QuadPart = -dueMs * kMillisecond;
        KeSetCoalescableTimer(&probe.timer, due, 0, toleranceMs, &probe.dpc);
        LARGE_INTEGER exact;
        exact.QuadPart = -exactMs * kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &exact);
        c.exactWoke = Kernel::Current().Now();
    }));
    c.fired = probe.fired;
    return c;
}

TEST(RealTimeTimers, ACoalescableTimerWaitsWithinItsToleranceForAnotherWakeUp) {
    // Due in 1 ms but may wait 10 s: the exact wake-up 5 ms out takes it
    // along instead of a wake-up of its own at 1 ms.
    const Coalescing along = RunCoalescing(1, 10000, 5);
    EXPECT_GE(along.fired, along.exactDue) << "fired on its own before the other wake-up";
    EXPECT_LE(along.fired, along.exactWoke);
    // Due in 1 ms with 2 ms of tolerance: the exact wake-up a second later
    // is far past its latest moment, so it wakes the processor itself.
    const Coalescing alone = RunCoalescing(1, 2, 1000);
    EXPECT_GE(alone.fired, alone.due);
    EXPECT_LT(alone.fired, alone.exactDue) << "waited past its tolerance";
}

TEST(RealTimeCalls, ManyCallersShareTheProcessorWithATickingThread) {
    Kernel k(RealTime());
    Ticker ticker;
    ticker.Start(k);
    // Only the processor's holder touches this; the callers never race on it.
    long long total = 0;
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&k, &total] {
            for (int i = 0; i < 500; ++i) {
                EXPECT_TRUE(k.Call([&total] {
                    // A read-modify-write with a pause in it: two OS threads
                    // running kernel code at once would lose updates.
                    long long seen = total;
                    for (volatile int spin = 0; spin < 200; spin = spin + 1) {
                    }
                    total = seen + 1;
                }));
            }
        });
    }
    for (auto& t : callers) t.join();
    ticker.Finish(k);
    EXPECT_EQ(total, 2000);
    EXPECT_GT(ticker.ticks.load(), 0);
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(RealTimeCalls, ACallBlockedInAWaitHoldsUpNoOtherCall) {
    Kernel k(RealTime());
    KEVENT released;
    ASSERT_TRUE(k.Call([&] { KeInitializeEvent(&released, NotificationEvent, FALSE); }));
    std::atomic<bool> waiterReturned{false};
    std::atomic<bool> waiterEntered{false};
    std::thread waiter([&] {
        EXPECT_TRUE(k.Call([&] {
            waiterEntered = true;
            KeWaitForSingleObject(&released, Executive, KernelMode, FALSE, nullptr);
        }));
        waiterReturned = true;
    });
    // The waiter holds the processor from its flag to its wait, so once it
    // has entered, the next call to run finds it waiting.
    while (!waiterEntered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Other calls come and go while the first one waits; the last of them
    // releases it.
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(k.Call([] {}));
        EXPECT_FALSE(waiterReturned.load());
    }
    ASSERT_TRUE(k.Call([&] { KeSetEvent(&released, IO_NO_INCREMENT, FALSE); }));
    waiter.join();
    EXPECT_TRUE(waiterReturned.load());
}

TEST(RealTimeCalls, AStopReleasesEveryCallerAndRefusesNewCalls) {
    Kernel k(RealTime());
    KEVENT never;
    ASSERT_TRUE(k.Call([&] { KeInitializeEvent(&never, NotificationEvent, FALSE); }));
    std::atomic<int> refused{0};
    int entered = 0;  // only the processor's holder touches it
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (!k.Call([&] {
                    ++entered;
                    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
                })) {
                ++refused;
            }
        });
    }
    // Every waiter is in its wait (it holds the processor from its count to
    // its wait); then the machine stops from a call.
    ASSERT_TRUE(k.Call([&] {
        for (int i = 0; i < 10000 && entered < 3; ++i) {
            LARGE_INTEGER d;
            d.QuadPart = -1 * kMillisecond;
            KeDelayExecutionThread(KernelMode, FALSE, &d);
        }
    }));
    EXPECT_EQ(entered, 3) << "the callers never reached their waits";
    EXPECT_FALSE(k.Call([] { Kernel::Current().VerifierStop("TEST_RULE", "stopped by the test"); }));
    for (auto& t : waiters) t.join();
    EXPECT_EQ(refused.load(), 3);
    EXPECT_TRUE(k.Stopped());
    EXPECT_EQ(k.Stop().rule, "TEST_RULE");
    EXPECT_FALSE(k.Call([] {}));
}

TEST(RealTimeCalls, ACallReturningAtRaisedIrqlStopsTheMachine) {
    Kernel k(RealTime());
    EXPECT_FALSE(k.Call([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }));
    EXPECT_EQ(k.Stop().rule, "IRQL_TOO_HIGH");
}

}  // namespace
