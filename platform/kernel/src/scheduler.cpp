// The processor and its scheduler.
//
// Every emulated thread is an OS thread, but only the holder of the
// processor token runs. A thread that can not continue (it waits, ends or is
// preempted) hands the token to the highest-priority ready thread; ties are
// broken by the seeded generator. Each hand-off posts the receiver's baton:
// one OS wake-up.
//
// When nothing is ready, the processor idles: it runs queued DPCs and, in
// virtual time, jumps the clock to the next timer expiry; in real time it
// sleeps until that expiry. A blocked emulated thread does that idle work
// itself, so a lone thread ticking on a timer costs one OS wake-up a tick. A
// thread made ready from outside while the processor sleeps is handed the
// processor directly by whoever made it ready. External threads (the host,
// user-mode clients) never run kernel code, and threads that end do not
// idle in real time: they hand the token to the idle thread instead.
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "kernel_internal.h"

namespace hk {
Kernel::Impl* gK = nullptr;
}

using hk::K;
using Impl = hk::Kernel::Impl;

namespace {

void* EmulatedThreadMain(void* arg) {
    auto* self = static_cast<_KTHREAD*>(arg);
    Impl& k = K();
    {
        std::unique_lock<std::mutex> lk(k.mu);
        k.WaitForToken(lk, self);
    }
    if (self->hostFunction) {
        self->hostFunction();
    } else {
        hk::FrameScope frame("system thread", reinterpret_cast<const void*>(self->startRoutine));
        self->startRoutine(self->startContext);
    }
    k.ExitCurrentThread(STATUS_SUCCESS);
}

// A processor's idle thread: runs the DPCs queued to its processor when no
// thread runs there, hands the processor to ready threads and, when no
// processor can go on, does the machine's idle work.
void* IdleThreadMain(void* arg) {
    auto* self = static_cast<_KTHREAD*>(arg);
    Impl& k = K();
    std::unique_lock<std::mutex> lk(k.mu);
    for (;;) {
        if (k.tokenOwner != self) k.WaitForToken(lk, self);
        if (k.stopped) {
            k.ParkForever(lk, self);
        }
        k.current = self;
        k.irql = PASSIVE_LEVEL;
        k.IdleStep(lk, self);
    }
}

}  // namespace

_KTHREAD* Impl::NewThread(const std::string& threadName, KPRIORITY threadPriority) {
    NTSTATUS status;
    void* body = hk::ObCreateObject(&hk::gThreadType, sizeof(_ETHREAD), L"", &status);
    auto* t = new (body) _ETHREAD();
    t->Header.Type = kThreadObject;
    t->Header.Size = sizeof(_ETHREAD) / sizeof(LONG);
    t->Header.SignalState = 0;
    InitializeListHead(&t->Header.WaitListHead);
    t->waitTimer.Header.Type = kWaitTimeoutTimer;
    // A thread's time-out timer has no DPC; the field names its thread instead.
    t->waitTimer.Dpc = reinterpret_cast<PKDPC>(t);
    InitializeListHead(&t->waitTimer.Header.WaitListHead);
    t->name = threadName;
    t->priority = threadPriority;
    std::lock_guard<std::mutex> lk(mu);
    t->id = nextThreadId++;
    threads.push_back(t);
    return t;
}

void Impl::StartOsThread(_KTHREAD* t) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    t->hasOsThread = true;
    if (pthread_create(&t->os, &attr, EmulatedThreadMain, t) != 0) {
        t->hasOsThread = false;
    }
    pthread_attr_destroy(&attr);
}

_KTHREAD* Impl::PopReadyLocked() {
    if (readyCount.load(std::memory_order_relaxed) == 0) return nullptr;  // the common case when idle
    for (int p = 31; p >= 0; --p) {
        auto& q = ready[p];
        if (q.empty()) continue;
        std::size_t index = q.size() > 1 ? static_cast<std::size_t>(rng() % q.size()) : 0;
        _KTHREAD* t = q[index];
        q.erase(q.begin() + static_cast<std::ptrdiff_t>(index));
        readyCount.fetch_sub(1, std::memory_order_relaxed);
        return t;
    }
    return nullptr;
}

static int HighestReadyPriorityLocked(const Impl& k) {
    if (k.readyCount.load(std::memory_order_relaxed) == 0) return -1;
    for (int p = 31; p >= 0; --p) {
        if (!k.ready[p].empty()) return p;
    }
    return -1;
}

// Gives the processor to next. Caller holds mu.
static void HandTokenLocked(Impl& k, _KTHREAD* next) {
    k.SetHostLocked(next);
    k.current = next;
    k.irql = next->savedIrql;
    next->state = ThreadState::Running;
    next->baton.Post();
}

void Impl::MakeReady(_KTHREAD* t) {
    std::lock_guard<std::mutex> lk(mu);
    MakeReadyLocked(t);
}

void Impl::MakeReadyLocked(_KTHREAD* t) {
    t->state = ThreadState::Ready;
    if (t->hostingIdle) {
        // Its OS thread is busy with idle work; it queues itself when done.
        t->readiedWhileHosting = true;
        t->baton.Post();
        return;
    }
    PushReadyLocked(t, false);
    WakeProcessorLocked();
}

void Impl::WakeProcessorLocked() {
    if (!processorIdle) return;  // its holder runs and will see the ready thread
    if (_KTHREAD* next = PopReadyLocked()) {
        // The sleeper finds the processor gone when its wait ends.
        processorIdle = false;
        HandTokenLocked(*this, next);
    }
}

void Impl::PushReadyLocked(_KTHREAD* t, bool front) {
    if (t->hostingIdle) {
        // The scheduler's own fault, never the driver's: a processor could
        // hand the thread the token while its OS thread runs idle work.
        std::cerr << "host kernel: thread " << t->name << " queued while it does idle work" << std::endl;
        std::abort();
    }
    if (front) {
        ready[t->priority].push_front(t);
    } else {
        ready[t->priority].push_back(t);
    }
    readyCount.fetch_add(1, std::memory_order_relaxed);
}

bool Impl::WaitForToken(std::unique_lock<std::mutex>& lk, _KTHREAD* self) {
    while (!(tokenOwner == self || dying || (stopped && self->external))) {
        lk.unlock();
        self->baton.Wait();
        lk.lock();
    }
    if (dying && !self->external) {
        lk.unlock();
        pthread_exit(nullptr);
    }
    return tokenOwner == self && !dying;
}

void Impl::ParkForever(std::unique_lock<std::mutex>& lk, _KTHREAD* self) {
    while (!dying) {
        lk.unlock();
        self->baton.Wait();
        lk.lock();
    }
    lk.unlock();
    pthread_exit(nullptr);
}

void Impl::Dispatch(_KTHREAD* self) {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
        if (stopped) {
            if (self->external) return;
            ParkForever(lk, tokenOwner);
        }
        const bool dpcsPending = !IsListEmpty(DpcQueue());
        const bool ending = self->state == ThreadState::Terminated;
        const bool pausing = self->external && ending && options.clock == ClockMode::Virtual;
        if (processorCount > 1 && !pausing) {
            // This processor is free: another one that can go on may run
            // instead, and a ready thread may start on an idle processor
            // rather than this one.
            const unsigned q = PickOtherProcessorLocked();
            const bool workHere = dpcsPending || readyCount.load(std::memory_order_relaxed) > 0;
            if (q != hk::kMaxProcessors && (!workHere || rng() % 2 == 0)) {
                processors[cpu].host = nullptr;
                SwitchProcessorLocked(q);
                if (ending) return;
                WaitForToken(lk, self);
                return;
            }
        }
        _KTHREAD* next = dpcsPending ? nullptr : PopReadyLocked();
        if (next == self) {
            current = self;
            irql = self->savedIrql;
            self->state = ThreadState::Running;
            return;
        }
        if (next != nullptr || self->external || (ending && options.clock == ClockMode::Real)) {
            if (pausing) {
                // The host is done with the machine: pause it where it is.
                if (next != nullptr) PushReadyLocked(next, true);
                SetHostLocked(nullptr);
                current = nullptr;
                return;
            }
            HandTokenLocked(*this, next != nullptr ? next : &processors[cpu].idleThread);
            if (ending) return;
            WaitForToken(lk, self);
            return;
        }
        // Nothing else can run: this emulated thread does the idle work.
        // Meanwhile it stays out of the ready queue even if its wait ends:
        // its OS thread is busy here, and a DPC it runs may let another
        // processor go on, which must not pick it.
        current = &processors[cpu].idleThread;
        irql = PASSIVE_LEVEL;
        if (self->state == ThreadState::Ready) {
            // Made ready already: out of the queue while its OS thread is busy.
            auto& queue = ready[self->priority];
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if (*it != self) continue;
                queue.erase(it);
                readyCount.fetch_sub(1, std::memory_order_relaxed);
                self->readiedWhileHosting = true;
                break;
            }
        }
        self->hostingIdle = true;
        const bool kept = IdleStep(lk, self);
        self->hostingIdle = false;
        if (self->readiedWhileHosting) {
            // In real time the processor may have gone on meanwhile and be
            // asleep in another thread's idle wait.
            self->readiedWhileHosting = false;
            PushReadyLocked(self, false);
            if (!kept) WakeProcessorLocked();
        }
        if (!kept) {
            WaitForToken(lk, self);
            return;
        }
    }
}

bool Impl::IdleStep(std::unique_lock<std::mutex>& lk, _KTHREAD* owner) {
    if (!IsListEmpty(DpcQueue())) {
        lk.unlock();
        RunDpcs();
        lk.lock();
        return true;
    }
    if (owner->isIdle) {
        if (_KTHREAD* next = PopReadyLocked()) {
            HandTokenLocked(*this, next);
            return true;
        }
        if (processorCount > 1) {
            const unsigned q = PickOtherProcessorLocked();
            if (q != hk::kMaxProcessors) {
                processors[cpu].host = nullptr;  // this processor idles; another goes on
                SwitchProcessorLocked(q);
                return true;
            }
        }
    } else if (HighestReadyPriorityLocked(*this) >= 0 || OtherProcessorHasWorkLocked()) {
        return true;  // the caller dispatches it
    }
    if (processorCount > 1 && SpinningProcessorLocked() != hk::kMaxProcessors) {
        lk.unlock();
        Stop("SPIN_LOCK_DEADLOCK", "a processor spins on a spin lock that nothing running will release");
    }
    if (options.clock == ClockMode::Real) {
        // Timers that tolerate a delay expire with whichever wake-up comes
        // first within their tolerance.
        const Time100ns due = NextWakeDeadline();
        if (due < 0 || due > clock.Now()) {
            // Sleep until the deadline. A thread made ready meanwhile takes
            // the processor (WakeProcessorLocked), which clears
            // processorIdle: the sleep is over then, even if the processor
            // has come back since. A stop or teardown posts the baton.
            processorIdle = true;
            auto stillIdle = [&] { return processorIdle && tokenOwner == owner; };
            while (stillIdle() && !dying && !stopped && !owner->readiedWhileHosting &&
                   (due < 0 || due > clock.Now())) {
                lk.unlock();
                owner->baton.Wait(due < 0 ? -1 : RealDeadlineNs(due));
                lk.lock();
            }
            if (!stillIdle()) return false;
            processorIdle = false;
            if (dying) ParkForever(lk, owner);
            return true;
        }
    } else if (const Time100ns due = NextTimerDue(); due < 0) {
        lk.unlock();
        Stop("DEADLOCK", "no thread can run, no DPC is queued and no timer is pending");
        lk.lock();
        return true;
    } else if (due > now) {
        now = due;
    }
    lk.unlock();
    ExpireTimers();
    lk.lock();
    return true;
}

void Impl::SchedulingPoint() {
    ProcessorSwitchPoint();
    if (irql >= DISPATCH_LEVEL || inDpc || current == nullptr || current->isIdle || current->external) return;
    if (options.clock == ClockMode::Real) {
        Time100ns due = NextTimerDue();
        if (due >= 0 && due <= clock.Now()) {
            KIRQL old = irql;
            irql = DISPATCH_LEVEL;
            ExpireTimers();
            irql = old;
            RunDpcs();
        }
    }
    // Most scheduling points find nobody waiting for the processor; they
    // need not take the scheduler's lock to see that.
    if (readyCount.load(std::memory_order_relaxed) == 0) return;
    std::unique_lock<std::mutex> lk(mu);
    int best = HighestReadyPriorityLocked(*this);
    if (best < 0) return;
    _KTHREAD* self = current;
    bool higher = best > self->priority;
    if (!higher && !(best == self->priority && rng() % 100 < options.preemptPercent)) return;
    self->state = ThreadState::Ready;
    self->savedIrql = irql;
    PushReadyLocked(self, higher);
    _KTHREAD* next = PopReadyLocked();
    if (next == self) {
        current = self;
        self->state = ThreadState::Running;
        return;
    }
    HandTokenLocked(*this, next);
    WaitForToken(lk, self);
}

void Impl::Block() {
    _KTHREAD* self = current;
    self->savedIrql = irql;
    Dispatch(self);
}

void Impl::ExitCurrentThread(NTSTATUS) {
    _KTHREAD* self = current;
    self->state = ThreadState::Terminated;
    self->Header.SignalState = 1;
    SignalObject(&self->Header);
    {
        std::lock_guard<std::mutex> lk(mu);
        zombies.push_back(self);
    }
    Dispatch(self);
    pthread_exit(nullptr);
}

_KTHREAD* Impl::AttachExternal(const std::string& threadName, KPRIORITY threadPriority) {
    _KTHREAD* t = NewThread(threadName, threadPriority);
    t->external = true;
    t->os = pthread_self();
    std::unique_lock<std::mutex> lk(mu);
    if (stopped) {
        t->state = ThreadState::Terminated;
        zombies.push_back(t);
        return nullptr;
    }
    t->state = ThreadState::Ready;
    PushReadyLocked(t, false);
    if (tokenOwner == nullptr) {
        // A paused machine: take the processor and let the scheduler choose.
        SetHostLocked(t);
        current = t;
        lk.unlock();
        Dispatch(t);
        return stopped ? nullptr : t;
    }
    WakeProcessorLocked();
    if (!WaitForToken(lk, t)) return nullptr;
    return t;
}

void Impl::DetachExternal(_KTHREAD* self) {
    if (self == nullptr) return;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stopped || tokenOwner != self) {
            self->state = ThreadState::Terminated;
            zombies.push_back(self);
            return;
        }
    }
    ReapZombies();
    {
        std::lock_guard<std::mutex> lk(mu);
        zombies.push_back(self);
    }
    self->state = ThreadState::Terminated;
    self->Header.SignalState = 1;
    SignalObject(&self->Header);
    Dispatch(self);
}

void Impl::ReapZombies() {
    std::vector<_KTHREAD*> done;
    std::vector<_KTHREAD*> released;
    {
        std::lock_guard<std::mutex> lk(mu);
        done.swap(zombies);
        released.swap(pendingDereferences);
    }
    for (_KTHREAD* t : done) {
        if (t->hasOsThread) {
            pthread_join(t->os, nullptr);
            t->hasOsThread = false;
        }
    }
    for (_KTHREAD* t : released) ObfDereferenceObject(t);
    for (_KTHREAD* t : done) ObfDereferenceObject(t);
}

void Impl::StartIdleThreads() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    for (unsigned n = 0; n < processorCount; ++n) {
        _KTHREAD& t = processors[n].idleThread;
        t.hasOsThread = pthread_create(&t.os, &attr, IdleThreadMain, &t) == 0;
    }
    pthread_attr_destroy(&attr);
}

bool Impl::OnEmulatedThread() {
    std::lock_guard<std::mutex> lk(mu);
    return tokenOwner != nullptr && tokenOwner->hasOsThread && pthread_equal(tokenOwner->os, pthread_self());
}
