// Kernel::Call from outside a machine that runs in real time.
//
// Such a machine runs on its own, so a call only needs an emulated thread to
// carry the function: a pooled one, parked between jobs. The caller makes it
// ready (taking the processor for it at once if the processor sleeps) and
// waits on a baton of its own that the worker posts when the function has
// returned: two OS wake-ups a call, no thread created or joined.
#include "kernel_internal.h"

using hk::CallWorker;
using hk::K;
using Impl = hk::Kernel::Impl;

namespace {

// Every OS thread outside the machine waits for its calls on its own baton.
thread_local hk::Baton tCallerBaton;

void CallWorkerMain(CallWorker* worker) {
    Impl& k = K();
    _KTHREAD* self = worker->thread;
    for (;;) {
        // Threads the host started and let go of end while no host waits to
        // join them in real time; the workers join them.
        k.ReapZombies();
        (*worker->call->fn)();
        if (k.irql != PASSIVE_LEVEL) {
            k.Stop("IRQL_TOO_HIGH", "a host call returned above PASSIVE_LEVEL", k.irql);
        }
        if (!k.heldLocks.empty()) {
            k.Stop("SPIN_LOCK_HELD_AT_THREAD_EXIT", "a host call returned holding a spin lock",
                   reinterpret_cast<std::uintptr_t>(k.heldLocks.back()));
        }
        {
            std::lock_guard<std::mutex> lk(k.mu);
            // The call is the caller's: once done, it may be gone.
            worker->call->done = true;
            worker->call->caller->Post();
            worker->call = nullptr;
            self->state = ThreadState::Waiting;
            k.freeCallWorkers.push_back(worker);
        }
        // Parked until the next job makes this thread ready.
        k.Block();
    }
}

}  // namespace

bool Impl::CallOnWorker(const std::function<void()>& fn, KPRIORITY priority, const std::string& name) {
    CallWorker* worker = nullptr;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stopped || dying) return false;
        if (!freeCallWorkers.empty()) {
            worker = freeCallWorkers.back();
            freeCallWorkers.pop_back();
        }
    }
    if (worker == nullptr) {
        auto fresh = std::make_unique<CallWorker>();
        fresh->thread = NewThread(name, priority);
        CallWorker* w = fresh.get();
        fresh->thread->hostFunction = [w] { CallWorkerMain(w); };
        StartOsThread(fresh->thread);
        if (!fresh->thread->hasOsThread) return false;
        worker = w;
        std::lock_guard<std::mutex> lk(mu);
        callWorkers.push_back(std::move(fresh));
    }

    hk::HostCall call;
    call.fn = &fn;
    call.caller = &tCallerBaton;
    std::unique_lock<std::mutex> lk(mu);
    _KTHREAD* t = worker->thread;
    worker->call = &call;
    t->name = name;
    t->priority = priority;
    MakeReadyLocked(t);
    while (!call.done && !stopped && !dying) {
        lk.unlock();
        tCallerBaton.Wait();
        lk.lock();
    }
    // A stopped machine never finishes the job: the worker must not keep
    // this call, which goes with the caller's frame.
    if (!call.done) worker->call = nullptr;
    return call.done && !stopped;
}

void Impl::WakeCallersLocked() {
    for (const auto& worker : callWorkers) {
        if (worker->call != nullptr) worker->call->caller->Post();
    }
}
