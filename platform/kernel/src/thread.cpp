// System threads.
#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    Impl& k = K();
    k.RequireIrql("PsCreateSystemThread", PASSIVE_LEVEL);
    if (k.InjectedFault(hk::KernelFault::CreateSystemThread)) return STATUS_INSUFFICIENT_RESOURCES;
    _KTHREAD* t = k.NewThread("system thread", 8);
    t->startRoutine = StartRoutine;
    t->startContext = StartContext;
    t->ownerDriver = k.currentDriver;
    hk::ObInsertHandle(t, DesiredAccess, ThreadHandle);
    k.StartOsThread(t);
    if (!t->hasOsThread) {
        ZwClose(*ThreadHandle);
        *ThreadHandle = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    k.MakeReady(t);
    k.SchedulingPoint();
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    Impl& k = K();
    if (k.irql != PASSIVE_LEVEL) {
        k.Stop("IRQL_TOO_HIGH", "PsTerminateSystemThread called above PASSIVE_LEVEL", k.irql);
    }
    if (!k.heldLocks.empty()) {
        k.Stop("SPIN_LOCK_HELD_AT_THREAD_EXIT", "a thread ended holding a spin lock",
               reinterpret_cast<std::uintptr_t>(k.heldLocks.back()));
    }
    k.ExitCurrentThread(ExitStatus);
}

PKTHREAD KeGetCurrentThread(VOID) { return K().current; }

PETHREAD PsGetCurrentThread(VOID) { return static_cast<PETHREAD>(K().current); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    Impl& k = K();
    k.RequireIrql("KeSetPriorityThread", DISPATCH_LEVEL);
    if (Priority < 0 || Priority > 31) {
        k.Stop("INVALID_PRIORITY", "KeSetPriorityThread with a priority outside 0..31", Priority);
    }
    KPRIORITY old = Thread->priority;
    {
        std::lock_guard<std::mutex> lk(k.mu);
        if (Thread->state == ThreadState::Ready) {
            // A ready thread still busy with idle work is in no queue yet.
            auto& q = k.ready[old];
            for (auto it = q.begin(); it != q.end(); ++it) {
                if (*it == Thread) {
                    q.erase(it);
                    k.ready[Priority].push_back(Thread);
                    break;
                }
            }
        }
        Thread->priority = Priority;
    }
    k.SchedulingPoint();
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority; }

}  // extern "C"
