// Speed of the virtual clock: one system thread re-arming a 1 ms
// synchronization timer and waiting for it, as the sensor thread does, for a
// simulated hour. Prints simulated seconds per wall second.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "hostkernel/kernel.h"

namespace {

KTIMER gTimer;
KEVENT gStop;
volatile LONG gTicks = 0;

VOID TickingThread(PVOID) {
    KeInitializeTimerEx(&gTimer, SynchronizationTimer);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    // Like the sensor thread, it holds a 1 ms timer resolution: at the
    // default clock interrupt it would tick every 15.625 ms.
    ExSetTimerResolution(10000, TRUE);
    PVOID objects[2] = {&gTimer, &gStop};
    for (;;) {
        LARGE_INTEGER due;
        due.QuadPart = -10000;  // 1 ms
        KeSetTimer(&gTimer, due, nullptr);
        NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (status == STATUS_WAIT_1) break;
        gTicks = gTicks + 1;
    }
    ExSetTimerResolution(0, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

int main(int argc, char** argv) {
    double simulatedSeconds = argc > 1 ? std::atof(argv[1]) : 3600.0;
    hk::Kernel k;
    HANDLE thread = nullptr;
    k.Call([&] {
        KeInitializeEvent(&gStop, NotificationEvent, FALSE);
        PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TickingThread, nullptr);
    });
    auto start = std::chrono::steady_clock::now();
    bool ok = k.RunFor(static_cast<hk::Time100ns>(simulatedSeconds * hk::kSecond));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    k.Call([&] {
        KeSetEvent(&gStop, 0, FALSE);
        ZwClose(thread);
    });
    k.RunFor(hk::kMillisecond);
    if (!ok || k.Stopped()) {
        std::fprintf(stderr, "machine stopped: %s\n", k.Stop().ToString().c_str());
        return 1;
    }
    // The thread re-arms a 1 ms timer after each wake-up: one tick per
    // simulated millisecond, or the figure below measures something else.
    const long expectedTicks = std::lround(simulatedSeconds * 1000.0);
    if (std::labs(static_cast<long>(gTicks) - expectedTicks) > 1) {
        std::fprintf(stderr, "expected %ld timer ticks in %.0f simulated seconds, counted %ld\n", expectedTicks,
                     simulatedSeconds, static_cast<long>(gTicks));
        return 1;
    }
    std::printf("simulated_seconds: %.0f\n", simulatedSeconds);
    std::printf("wall_seconds: %.3f\n", wall);
    std::printf("timer_ticks: %ld\n", static_cast<long>(gTicks));
    std::printf("virtual_speedup: %.0f x\n", simulatedSeconds / wall);
    return 0;
}
