// Logical processors.
//
// One emulated thread runs at a time, whatever the number of processors.
// A processor that does not hold the token is paused inside a kernel call
// of its host: a thread, a DPC running on a thread's stack, or the
// processor's idle thread. At kernel calls the seeded scheduler may switch
// the token to another processor that can go on, so a DPC on one processor
// runs between two kernel calls of a thread on another, a thread at
// DISPATCH_LEVEL keeps its processor while the others go on, and a spin lock
// held on one processor makes an acquirer on another spin. A seed still
// reproduces a run exactly.
#include <dlfcn.h>

#include <cstdio>

#include "kernel_internal.h"

using hk::K;
using hk::kMaxProcessors;
using hk::Processor;
using Impl = hk::Kernel::Impl;

namespace {

unsigned HolderOf(KSPIN_LOCK value) { return static_cast<unsigned>(value >> 56); }

std::string Hex(const void* p) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

// A routine's exported name when the image has one, else its address.
std::string NameOf(const void* p) {
    Dl_info info{};
    if (dladdr(p, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == p) return info.dli_sname;
    return Hex(p);
}

std::string DescribeFrames(const _KTHREAD* host) {
    if (host == nullptr || host->frameCount == 0) return "no kernel call";
    std::string out;
    const unsigned shown = host->frameCount < hk::kMaxFrames ? host->frameCount : hk::kMaxFrames;
    for (unsigned i = 0; i < shown; ++i) {
        if (i > 0) out += " > ";
        const hk::KernelFrame& f = host->frames[i];
        out += f.routine;
        out += "(" + NameOf(f.object) + ")";
    }
    if (shown < host->frameCount) out += " > ...";
    return out;
}

}  // namespace

void Impl::PushFrame(const char* routine, const void* object) {
    _KTHREAD* host = tokenOwner;
    if (host == nullptr) return;
    if (host->frameCount < hk::kMaxFrames) host->frames[host->frameCount] = hk::KernelFrame{routine, object};
    host->frameCount++;
}

void Impl::PopFrame() {
    _KTHREAD* host = tokenOwner;
    if (host != nullptr && host->frameCount > 0) host->frameCount--;
}

bool Impl::ProcessorHasWorkLocked(unsigned q) const {
    const Processor& p = processors[q];
    if (p.host != nullptr) return p.spinningOn == nullptr || *p.spinningOn == 0;
    return !IsListEmpty(&p.dpcQueue) || readyCount.load(std::memory_order_relaxed) > 0;
}

bool Impl::OtherProcessorHasWorkLocked() const {
    for (unsigned q = 0; q < processorCount; ++q) {
        if (q != cpu && ProcessorHasWorkLocked(q)) return true;
    }
    return false;
}

unsigned Impl::SpinningProcessorLocked() const {
    for (unsigned q = 0; q < processorCount; ++q) {
        const Processor& p = processors[q];
        if (p.host != nullptr && p.spinningOn != nullptr && *p.spinningOn != 0) return q;
    }
    return kMaxProcessors;
}

unsigned Impl::PickOtherProcessorLocked() {
    unsigned candidates[kMaxProcessors];
    unsigned count = 0;
    for (unsigned q = 0; q < processorCount; ++q) {
        if (q != cpu && ProcessorHasWorkLocked(q)) candidates[count++] = q;
    }
    if (count == 0) return kMaxProcessors;
    return candidates[count > 1 ? rng() % count : 0];
}

void Impl::SwitchProcessorLocked(unsigned q) {
    Processor& from = processors[cpu];
    if (from.host == nullptr) {
        // The processor goes idle: nothing of it needs keeping.
        from.current = &from.idleThread;
        from.irql = PASSIVE_LEVEL;
        from.inDpc = false;
        from.currentDriver = nullptr;
        from.heldLocks.clear();
    } else {
        from.current = current;
        from.irql = irql;
        from.inDpc = inDpc;
        from.currentDriver = currentDriver;
        from.heldLocks = std::move(heldLocks);
    }
    heldLocks.clear();

    cpu = q;
    Processor& to = processors[q];
    if (to.host == nullptr) {
        // An idle processor takes a ready thread, or its idle thread runs
        // the DPCs queued to it.
        _KTHREAD* next = IsListEmpty(&to.dpcQueue) ? PopReadyLocked() : nullptr;
        if (next == nullptr) next = &to.idleThread;
        next->state = ThreadState::Running;
        to.host = next;
        to.current = next;
        to.irql = next->isIdle ? PASSIVE_LEVEL : next->savedIrql;
        to.inDpc = false;
        to.currentDriver = nullptr;
        to.heldLocks.clear();
    }
    current = to.current;
    irql = to.irql;
    inDpc = to.inDpc;
    currentDriver = to.currentDriver;
    heldLocks = std::move(to.heldLocks);
    to.heldLocks.clear();
    tokenOwner = to.host;
    tokenOwner->baton.Post();
}

void Impl::ProcessorSwitchPoint() {
    if (irql < DISPATCH_LEVEL) {
        processors[cpu].dispatchCalls = 0;
    } else if (++processors[cpu].dispatchCalls > options.dispatchWatchdogCalls && !stopped) {
        Stop("DPC_WATCHDOG_VIOLATION",
             "processor " + std::to_string(cpu) + " made " + std::to_string(options.dispatchWatchdogCalls) +
                 " kernel calls at DISPATCH_LEVEL without lowering its IRQL (a spin that never ends?)",
             cpu, irql);
    }
    if (processorCount == 1 || stopped) return;
    // Only code running on a processor is switched away from: not the
    // host's own calls, not an idle thread between its idle steps.
    if (current == nullptr || current->external || (current->isIdle && !inDpc)) return;
    _KTHREAD* self = tokenOwner;
    {
        std::unique_lock<std::mutex> lk(mu);
        if (rng() % 100 >= options.processorSwitchPercent) return;
        const unsigned q = PickOtherProcessorLocked();
        if (q == kMaxProcessors) return;
        SwitchProcessorLocked(q);
        WaitForToken(lk, self);
    }
    // Back: a DPC queued to this processor meanwhile interrupts code that
    // runs below DISPATCH_LEVEL.
    if (irql < DISPATCH_LEVEL && !inDpc) RunDpcs();
}

void Impl::SpinWait(PKSPIN_LOCK lock) {
    hk::FrameScope frame("KeAcquireSpinLock", lock);
    _KTHREAD* self = tokenOwner;
    std::unique_lock<std::mutex> lk(mu);
    processors[cpu].spinningOn = lock;
    while (*lock != 0) {
        // Run the holder. If it spins too, run the holder of its lock; a
        // chain that comes back to a spinning processor never ends.
        unsigned holder = HolderOf(*lock);
        unsigned steps = 0;
        while (holder < processorCount && holder != cpu && processors[holder].spinningOn != nullptr &&
               *processors[holder].spinningOn != 0 && steps <= processorCount) {
            holder = HolderOf(*processors[holder].spinningOn);
            steps++;
        }
        if (holder >= processorCount || holder == cpu || steps > processorCount ||
            processors[holder].host == nullptr) {
            lk.unlock();
            Stop("SPIN_LOCK_DEADLOCK",
                 "processors spin on spin locks that are held by each other (or by nothing that runs)",
                 reinterpret_cast<std::uintptr_t>(lock), HolderOf(*lock), cpu);
        }
        SwitchProcessorLocked(holder);
        WaitForToken(lk, self);
    }
    processors[cpu].spinningOn = nullptr;
}

void Impl::FlushAllDpcs() {
    RunDpcs();
    if (processorCount == 1) return;
    _KTHREAD* self = tokenOwner;
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(mu);
            unsigned busy = kMaxProcessors;
            for (unsigned q = 0; q < processorCount && busy == kMaxProcessors; ++q) {
                if (q != cpu && (!IsListEmpty(&processors[q].dpcQueue) || processors[q].inDpc)) busy = q;
            }
            if (busy == kMaxProcessors) return;
            SwitchProcessorLocked(busy);
            WaitForToken(lk, self);
        }
        RunDpcs();
    }
}

std::vector<std::string> Impl::DescribeProcessorsLocked() const {
    std::vector<std::string> lines;
    for (unsigned n = 0; n < processorCount; ++n) {
        const Processor& p = processors[n];
        const bool live = n == cpu;
        const _KTHREAD* host = live ? tokenOwner : p.host;
        const _KTHREAD* running = live ? current : p.current;
        std::string line = "processor " + std::to_string(n) + ": ";
        if (host == nullptr) {
            line += "idle";
        } else {
            line += "thread " + (running != nullptr ? running->name : std::string("(none)"));
            line += ", IRQL " + std::to_string(live ? irql : p.irql);
            if (live ? inDpc : p.inDpc) line += ", in a DPC";
            if (p.spinningOn != nullptr) line += ", spinning on " + Hex(p.spinningOn);
            line += ": " + DescribeFrames(host);
        }
        lines.push_back(line);
    }
    return lines;
}

extern "C" {

ULONG KeGetCurrentProcessorNumber(VOID) { return K().cpu; }

KAFFINITY KeQueryActiveProcessors(VOID) {
    const unsigned n = K().processorCount;
    return n >= sizeof(KAFFINITY) * 8 ? ~KAFFINITY{0} : (KAFFINITY{1} << n) - 1;
}

ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
    if (ActiveProcessors != nullptr) *ActiveProcessors = KeQueryActiveProcessors();
    return K().processorCount;
}

VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
    Impl& k = K();
    const auto n = static_cast<unsigned>(static_cast<unsigned char>(Number));
    if (n >= k.processorCount) {
        k.Stop("INVALID_PROCESSOR_NUMBER", "KeSetTargetProcessorDpc names a processor the machine does not have",
               reinterpret_cast<std::uintptr_t>(Dpc), n, k.processorCount);
    }
    // 0 means the processor that queues it.
    Dpc->Number = static_cast<USHORT>(n + 1);
}

}  // extern "C"
