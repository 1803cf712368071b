// The host kernel's control surface, used by tests, benchmarks and the
// simulated notebook. Drivers never include this: they see only <ntddk.h>.
//
// One Kernel exists at a time. It emulates one processor: every emulated
// thread is a real OS thread, but only the thread holding the processor runs
// kernel or driver code. Kernel calls are the scheduling points; ties between
// threads of equal priority are broken by a seeded generator, so a seed
// reproduces a run exactly.
//
// The host thread (the test's own thread) is outside the emulated machine.
// It drives the machine with Run* and Call, which attach it as a low-priority
// observer that waits while the machine runs. After a verifier stop the
// machine is halted: every Run*/Call returns false and Stop() tells why.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <ntddk.h>

#include "hostkernel/io_space.h"

namespace hk {

class Registry;

enum class ClockMode { Virtual, Real };

// When timers expire and delays end. Windows does so only at its clock
// interrupt: every 15.625 ms unless a driver or program asks for a finer
// timer resolution (ExSetTimerResolution, down to 0.5 ms); a due time is
// rounded up to the next interrupt at or after it. The exact clock ends
// every wait at its due time, for tests that measure without the interrupt.
enum class ClockInterrupt { Windows, Exact };

// The clock interrupt's default period and the finest ExSetTimerResolution
// grants, in 100-ns units.
constexpr ULONG kDefaultTimeIncrement = 156'250;
constexpr ULONG kMinimumTimeIncrement = 5'000;

// Kernel routines whose failure can be injected, as they fail on Windows
// when resources run out.
enum class KernelFault {
    CreateDevice,             // IoCreateDevice: STATUS_INSUFFICIENT_RESOURCES
    CreateSystemThread,       // PsCreateSystemThread: STATUS_INSUFFICIENT_RESOURCES
    ReferenceObjectByHandle,  // ObReferenceObjectByHandle: STATUS_INSUFFICIENT_RESOURCES
    AttachDevice,             // IoAttachDeviceToDeviceStack: null
};

// The most logical processors a machine may have.
constexpr unsigned kMaxProcessorCount = 8;

struct KernelOptions {
    std::uint64_t seed = 1;
    ClockMode clock = ClockMode::Virtual;
    ClockInterrupt clockInterrupt = ClockInterrupt::Windows;
    // Requests for a finer timer resolution are counted but not granted: the
    // clock interrupt stays at its default period, as for a driver that never
    // asks (benchmarks compare the two).
    bool lockTimerResolution = false;
    // Chance, in percent, that a scheduling point hands the processor to
    // another ready thread of the same priority.
    unsigned preemptPercent = 10;
    // Logical processors (1 to 8). One emulated thread still runs at a
    // time; with more than one, the scheduler may switch to another
    // processor at kernel calls, so a DPC runs beside a thread and spin
    // locks meet a second holder.
    unsigned processors = 1;
    // Chance, in percent, that a kernel call lets another processor that
    // can go on run (several processors only).
    unsigned processorSwitchPercent = 25;
    // Kernel calls a processor may make at DISPATCH_LEVEL or above without
    // lowering its IRQL before the verifier stops it as Windows' DPC
    // watchdog would: a spin that never ends hangs no test.
    std::uint64_t dispatchWatchdogCalls = 50000000;
    // Echo debug output to standard error as it is printed.
    bool echoDebugOutput = false;
    // Lines of debug output kept for stop reports.
    std::size_t traceTail = 40;
};

struct StopReport {
    std::string rule;          // e.g. "IRP_COMPLETED_TWICE"
    std::string description;   // what happened, in words
    std::uintptr_t parameters[4] = {0, 0, 0, 0};
    std::string thread;        // name of the thread that broke the rule
    std::vector<std::string> traceTail;
    // With several processors: each one's thread, IRQL and kernel calls.
    std::vector<std::string> processors;
    std::string ToString() const;
};

struct PoolStatistics {
    std::uint64_t allocations = 0;  // ExAllocatePool* calls that succeeded, ever
    std::uint64_t frees = 0;
    std::uint64_t outstanding = 0;
    std::uint64_t outstandingBytes = 0;
};

// Hardware models and the simulated world keep exact time: a timer marked
// here expires at its due time, not at the clock interrupt (a device's own
// timer raises its interrupt when it is due). Mark after KeInitializeTimer.
void MarkTimerExact(PKTIMER timer);

class Kernel {
public:
    explicit Kernel(const KernelOptions& options = KernelOptions());
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel& Current();
    static bool Exists();

    const KernelOptions& Options() const;

    // ------------------------------------------------------------ time
    // Interrupt time: 100-ns units since boot, exact (the time of the
    // hardware models). Drivers read it as Windows keeps it, updated at each
    // clock interrupt (KeQueryInterruptTime).
    Time100ns Now() const;
    TimeSource& Clock();
    // The clock interrupt's period (the timer resolution) as last set, in
    // 100-ns units: in effect from the next interrupt on. 0 with the exact
    // clock.
    ULONG TimerResolution() const;

    // ------------------------------------------------------------ running
    // Let the machine run for a span of (virtual or real) time. Returns
    // false once the machine has stopped.
    bool RunFor(Time100ns duration);
    bool RunUntil(Time100ns time);
    // Run fn on an emulated thread at the given priority and return when fn
    // has returned. In virtual time a new thread carries it and the machine
    // runs until then; in real time, where the machine runs on its own, a
    // pooled thread does, and threads of the host may call at the same time.
    // False if the machine stopped. Called from an emulated thread, it
    // simply runs fn there.
    bool Call(const std::function<void()>& fn, KPRIORITY priority = 8, const std::string& name = "caller");
    // Start fn on a new emulated thread and return at once; the thread runs
    // when the machine runs. Returns the thread's object (referenced once
    // for the caller; release it with ReleaseThread).
    PKTHREAD Spawn(const std::function<void()>& fn, KPRIORITY priority = 8, const std::string& name = "worker");
    bool ThreadFinished(PKTHREAD thread) const;
    void ReleaseThread(PKTHREAD thread);
    // Run until fn's thread has finished, or until the limit. False if the
    // machine stopped or the limit was reached first.
    bool Join(PKTHREAD thread, Time100ns limit);

    // ------------------------------------------------------------ verifier
    bool Stopped() const;
    const StopReport& Stop() const;
    // Called from kernel code: halts the machine with a report. Returns only
    // to the host thread; an emulated thread that calls it never continues.
    void VerifierStop(const std::string& rule, const std::string& description,
                      std::uintptr_t p1 = 0, std::uintptr_t p2 = 0, std::uintptr_t p3 = 0, std::uintptr_t p4 = 0);

    // ------------------------------------------------------------ debug output
    const std::vector<std::string>& DebugOutput() const;   // every DbgPrint, exactly as printed
    void ClearDebugOutput();
    void SetDebugSink(std::function<void(const std::string&)> sink);

    // ------------------------------------------------------------ pool
    PoolStatistics Pool() const;

    // ------------------------------------------------------------ hardware
    void MapPorts(std::uint16_t first, std::uint32_t count, PortHandler* handler);
    void MapMemory(std::uint64_t first, std::uint64_t length, MemoryHandler* handler);
    // Makes MmMapIoSpace of this physical range fail (a hole in the map).
    void FailMemoryMapping(std::uint64_t first, std::uint64_t length);
    // Makes every registry write fail with STATUS_ACCESS_DENIED.
    void FailRegistryWrites(bool fail);
    // Makes one later call of the routine fail: the first after `skip`
    // successful calls.
    void FailNextCall(KernelFault fault, unsigned skip = 0);

    // ------------------------------------------------------------ registry
    Registry& Reg();

    // ------------------------------------------------------------ drivers
    // Creates a driver object named \Driver\<name> and calls its entry.
    PDRIVER_OBJECT LoadDriver(const std::wstring& name, PDRIVER_INITIALIZE entry);
    // Loads a driver image (a shared object exporting DriverEntry).
    PDRIVER_OBJECT LoadDriverModule(const std::wstring& name, const std::string& path);
    // Calls the driver's unload routine, checks for leaked pool, unloads.
    void UnloadDriver(PDRIVER_OBJECT driver);

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace hk
