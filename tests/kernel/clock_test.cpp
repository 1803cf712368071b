// The clock interrupt: timers, timed waits and delays end at the interrupt
// at or after their due time, the interrupt comes every 15.625 ms unless
// ExSetTimerResolution asks for less, and the interrupt and system times
// move at the interrupt. Seen through the kernel API as a driver sees it.
#include <gtest/gtest.h>

#include <vector>

#include "hostkernel/kernel.h"

namespace {

using hk::ClockInterrupt;
using hk::Kernel;
using hk::KernelOptions;
using hk::kMillisecond;
using hk::Time100ns;

constexpr Time100ns kDefault = hk::kDefaultTimeIncrement;

LARGE_INTEGER Relative(Time100ns t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

KernelOptions With(ClockInterrupt clock) {
    KernelOptions options;
    options.clockInterrupt = clock;
    return options;
}

// Arms a 1 ms relative synchronization timer and waits for it, `ticks`
// times, as a polling thread does; returns the times it woke at.
std::vector<Time100ns> PollEveryMillisecond(int ticks) {
    std::vector<Time100ns> woke;
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    for (int i = 0; i < ticks; ++i) {
        KeSetTimer(&timer, Relative(kMillisecond), nullptr);
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        woke.push_back(Kernel::Current().Now());
    }
    return woke;
}

void DelayFor(Time100ns t) {
    LARGE_INTEGER d = Relative(t);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
}

TEST(ClockInterrupt, ShortTimersDelaysAndTimeOutsEndAtTheNextInterrupt) {
    struct Case {
        const char* what;
        ClockInterrupt clock;
        Time100ns start;     // when the timer is set (the machine idles until then)
        Time100ns expected;  // when it ends
    };
    const Case cases[] = {
        {"1 ms from boot, Windows' clock", ClockInterrupt::Windows, 0, kDefault},
        {"1 ms from between two interrupts", ClockInterrupt::Windows, 20 * kMillisecond, 2 * kDefault},
        {"1 ms ending on an interrupt", ClockInterrupt::Windows, kDefault - kMillisecond, kDefault},
        {"1 ms from boot, exact clock", ClockInterrupt::Exact, 0, kMillisecond},
        {"1 ms from between two interrupts, exact clock", ClockInterrupt::Exact, 20 * kMillisecond,
         21 * kMillisecond},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int kind = 0; kind < 3; ++kind) {
            Kernel k(With(c.clock));
            ASSERT_TRUE(k.RunUntil(c.start));
            Time100ns ended = -1;
            ASSERT_TRUE(k.Call([&] {
                if (kind == 0) {
                    KTIMER timer;
                    KeInitializeTimer(&timer);
                    KeSetTimer(&timer, Relative(kMillisecond), nullptr);
                    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
                } else if (kind == 1) {
                    DelayFor(kMillisecond);
                } else {
                    KEVENT never;
                    KeInitializeEvent(&never, NotificationEvent, FALSE);
                    LARGE_INTEGER timeout = Relative(kMillisecond);
                    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
                }
                ended = k.Now();
            }));
            EXPECT_EQ(ended, c.expected) << "timer, delay, time-out: " << kind;
        }
    }
}

TEST(ClockInterrupt, InterruptAndSystemTimeMoveOnlyAtTheInterrupt) {
    Kernel k;
    ASSERT_TRUE(k.RunUntil(20 * kMillisecond));
    ASSERT_TRUE(k.Call([&] {
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(kDefault));
        LARGE_INTEGER boot, later, ticks;
        KeQuerySystemTime(&boot);
        DelayFor(kMillisecond);  // to the interrupt at 31.25 ms
        KeQuerySystemTime(&later);
        EXPECT_EQ(later.QuadPart - boot.QuadPart, kDefault);
        KeQueryTickCount(&ticks);
        EXPECT_EQ(ticks.QuadPart, 2);
        EXPECT_EQ(KeQueryTimeIncrement(), static_cast<ULONG>(kDefault));
    }));
    // The hardware's own time is exact.
    EXPECT_EQ(k.Now(), 2 * kDefault);
}

TEST(ClockInterrupt, FinestRequestWinsUntilEveryRequestIsReleased) {
    Kernel k;
    struct Step {
        bool set;
        ULONG desired;
        ULONG inEffect;
    };
    const Step steps[] = {
        {true, 20'000, 20'000},           // 2 ms
        {true, 10'000, 10'000},           // 1 ms: finer wins
        {true, 50'000, 10'000},           // 5 ms: coarser changes nothing
        {false, 0, 10'000},               // releases keep the finest ...
        {false, 0, 10'000},               //
        {false, 0, ULONG(kDefault)},      // ... until the last
        {false, 0, ULONG(kDefault)},      // a release without a request changes nothing
        {true, 0, 5'000},                 // 0: the finest the clock supports, 0.5 ms
        {false, 0, ULONG(kDefault)},      //
        {true, 200'000, ULONG(kDefault)}, // more than the default: the default
        {false, 0, ULONG(kDefault)},
    };
    ASSERT_TRUE(k.Call([&] {
        int i = 0;
        for (const Step& s : steps) {
            EXPECT_EQ(ExSetTimerResolution(s.desired, s.set), s.inEffect) << "step " << i;
            EXPECT_EQ(Kernel::Current().TimerResolution(), s.inEffect) << "step " << i;
            ++i;
        }
    }));
}

TEST(ClockInterrupt, NewResolutionTakesEffectAtTheNextInterruptOfTheOld) {
    Kernel k;
    std::vector<Time100ns> woke;
    ASSERT_TRUE(k.RunUntil(5 * kMillisecond));
    ASSERT_TRUE(k.Call([&] {
        EXPECT_EQ(ExSetTimerResolution(10'000, TRUE), 10'000u);
        woke = PollEveryMillisecond(3);
        EXPECT_EQ(ExSetTimerResolution(0, FALSE), ULONG(kDefault));
        // The 1 ms interrupt that follows the release still comes.
        DelayFor(kMillisecond / 2);
        woke.push_back(Kernel::Current().Now());
        DelayFor(kMillisecond);
        woke.push_back(Kernel::Current().Now());
    }));
    const std::vector<Time100ns> expected = {kDefault, kDefault + kMillisecond, kDefault + 2 * kMillisecond,
                                             kDefault + 3 * kMillisecond, kDefault + 3 * kMillisecond + kDefault};
    EXPECT_EQ(woke, expected);
}

TEST(ClockInterrupt, PeriodicReArmFollowsTheResolutionInForce) {
    struct Case {
        const char* what;
        ClockInterrupt clock;
        ULONG resolution;  // 0: no request
        bool locked;
        Time100ns period;
    };
    const Case cases[] = {
        {"default resolution", ClockInterrupt::Windows, 0, false, kDefault},
        {"1 ms resolution", ClockInterrupt::Windows, 10'000, false, kMillisecond},
        {"1 ms asked, resolution locked", ClockInterrupt::Windows, 10'000, true, kDefault},
        {"exact clock", ClockInterrupt::Exact, 0, false, kMillisecond},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KernelOptions options = With(c.clock);
        options.lockTimerResolution = c.locked;
        Kernel k(options);
        std::vector<Time100ns> woke;
        ASSERT_TRUE(k.Call([&] {
            if (c.resolution != 0) ExSetTimerResolution(c.resolution, TRUE);
            PollEveryMillisecond(1);  // the request is in force from here on
            woke = PollEveryMillisecond(20);
            if (c.resolution != 0) ExSetTimerResolution(0, FALSE);
        }));
        for (std::size_t i = 1; i < woke.size(); ++i) EXPECT_EQ(woke[i] - woke[i - 1], c.period) << "tick " << i;
    }
}

TEST(ClockInterrupt, TimerAlreadyDueIsSignalledAndItsDpcRunAtOnce) {
    Kernel k;
    ASSERT_TRUE(k.RunUntil(20 * kMillisecond));
    static int dpcRuns;
    dpcRuns = 0;
    ASSERT_TRUE(k.Call([&] {
        KTIMER timer;
        KDPC dpc;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++dpcRuns; }, nullptr);
        LARGE_INTEGER past;
        KeQuerySystemTime(&past);  // the last interrupt's time, already gone
        EXPECT_FALSE(KeSetTimer(&timer, past, &dpc));
        EXPECT_TRUE(KeReadStateTimer(&timer));
        EXPECT_EQ(dpcRuns, 1);  // below DISPATCH_LEVEL the DPC runs at once

        // At DISPATCH_LEVEL it is queued and runs when the IRQL drops.
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER now{};
        EXPECT_FALSE(KeSetTimer(&timer, now, &dpc));  // relative 0
        EXPECT_TRUE(KeReadStateTimer(&timer));
        EXPECT_EQ(dpcRuns, 1);
        KeLowerIrql(old);
        EXPECT_EQ(dpcRuns, 2);
        // Nothing is left in the timer queue.
        EXPECT_FALSE(KeCancelTimer(&timer));
    }));
    EXPECT_EQ(k.Now(), 20 * kMillisecond);
}

TEST(ClockInterrupt, HardwareTimersKeepExactTime) {
    Kernel k;
    Time100ns fired = -1;
    ASSERT_TRUE(k.Call([&] {
        KTIMER timer;
        KeInitializeTimer(&timer);
        hk::MarkTimerExact(&timer);
        KeSetTimer(&timer, Relative(3 * kMillisecond), nullptr);
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        fired = Kernel::Current().Now();
    }));
    EXPECT_EQ(fired, 3 * kMillisecond);
    // The host's own RunFor is exact too.
    ASSERT_TRUE(k.RunFor(7 * kMillisecond));
    EXPECT_EQ(k.Now(), 10 * kMillisecond);
}

TEST(ClockInterrupt, RealTimeTimerWaitsForTheInterrupt) {
    KernelOptions options;
    options.clock = hk::ClockMode::Real;
    Kernel k(options);
    Time100ns set = 0, fired = 0;
    ASSERT_TRUE(k.Call([&] {
        set = Kernel::Current().Now();
        PollEveryMillisecond(1);
        fired = Kernel::Current().Now();
    }));
    // Never before the first interrupt at or after the due time (a lower
    // bound: a busy host may only make it later).
    const Time100ns due = set + kMillisecond;
    const Time100ns interrupt = (due + kDefault - 1) / kDefault * kDefault;
    EXPECT_GE(fired, interrupt);
}

TEST(ClockInterrupt, DriverUnloadedHoldingAResolutionRequestIsStopped) {
    struct Case {
        const char* what;
        bool release;
    };
    for (const Case c : {Case{"held", false}, Case{"released", true}}) {
        SCOPED_TRACE(c.what);
        Kernel k;
        static bool releaseAtUnload;
        releaseAtUnload = c.release;
        PDRIVER_OBJECT driver = k.LoadDriver(L"fastclock", [](PDRIVER_OBJECT d, PUNICODE_STRING) {
            ExSetTimerResolution(10'000, TRUE);
            d->DriverUnload = [](PDRIVER_OBJECT) {
                if (releaseAtUnload) ExSetTimerResolution(0, FALSE);
            };
            return STATUS_SUCCESS;
        });
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(k.TimerResolution(), 10'000u);
        k.UnloadDriver(driver);
        EXPECT_EQ(k.Stopped(), !c.release);
        if (!c.release) {
            EXPECT_EQ(k.Stop().rule, "TIMER_RESOLUTION_HELD_AT_UNLOAD");
            EXPECT_EQ(k.Stop().parameters[0], reinterpret_cast<std::uintptr_t>(driver));
        } else {
            EXPECT_EQ(k.TimerResolution(), ULONG(kDefault));
        }
    }
}

}  // namespace
