// IRQL and spin locks.
//
// IRQL is a processor's: the running code's processor holds it. A held spin
// lock records the thread and the processor that took it, so an acquirer on
// another processor spins (the scheduler runs the holder meanwhile) and a
// release elsewhere is caught.
#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

void Impl::RequireIrql(const char* routine, KIRQL maximum) {
    if (irql > maximum) {
        Stop("IRQL_TOO_HIGH",
             std::string(routine) + " called at IRQL " + std::to_string(irql) + ", above its maximum of " +
                 std::to_string(maximum),
             irql, maximum);
    }
}

static void LowerTo(Impl& k, KIRQL newIrql) {
    k.irql = newIrql;
    if (newIrql < DISPATCH_LEVEL) {
        k.RunDpcs();
        k.SchedulingPoint();
    }
}

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return K().irql; }

VOID KfRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    Impl& k = K();
    if (NewIrql < k.irql) {
        k.Stop("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to a lower IRQL", k.irql, NewIrql);
    }
    *OldIrql = k.irql;
    k.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KfRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    Impl& k = K();
    if (NewIrql > k.irql) {
        k.Stop("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to a higher IRQL", k.irql, NewIrql);
    }
    if (!k.heldLocks.empty() && NewIrql < DISPATCH_LEVEL) {
        k.Stop("SPIN_LOCK_HELD_BELOW_DISPATCH", "IRQL lowered below DISPATCH_LEVEL while a spin lock is held",
               reinterpret_cast<std::uintptr_t>(k.heldLocks.back()), NewIrql);
    }
    LowerTo(k, NewIrql);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

// A held lock: its holder's thread (bit 0 set) and processor (top byte).
static ULONG_PTR HeldBy(const Impl& k) {
    return reinterpret_cast<ULONG_PTR>(k.current) | 1 | (static_cast<ULONG_PTR>(k.cpu) << 56);
}

static unsigned HolderProcessor(KSPIN_LOCK value) { return static_cast<unsigned>(value >> 56); }

static void Acquire(Impl& k, PKSPIN_LOCK SpinLock, const char* routine) {
    // Another processor may take the lock first.
    k.ProcessorSwitchPoint();
    if (*SpinLock != 0 && HolderProcessor(*SpinLock) == k.cpu) {
        // Held on this processor: the acquirer would spin forever.
        k.Stop("SPIN_LOCK_ALREADY_OWNED", std::string(routine) + " of a spin lock that is already held",
               reinterpret_cast<std::uintptr_t>(SpinLock), *SpinLock);
    }
    if (*SpinLock != 0) k.SpinWait(SpinLock);
    *SpinLock = HeldBy(k);
    k.heldLocks.push_back(SpinLock);
}

static void Release(Impl& k, PKSPIN_LOCK SpinLock, const char* routine) {
    if (k.irql != DISPATCH_LEVEL) {
        k.Stop("SPIN_LOCK_RELEASED_AT_WRONG_IRQL",
               std::string(routine) + " called at IRQL " + std::to_string(k.irql) + " instead of DISPATCH_LEVEL",
               reinterpret_cast<std::uintptr_t>(SpinLock), k.irql);
    }
    if (*SpinLock == 0) {
        k.Stop("SPIN_LOCK_NOT_OWNED", std::string(routine) + " of a spin lock that is not held",
               reinterpret_cast<std::uintptr_t>(SpinLock));
    }
    if (HolderProcessor(*SpinLock) != k.cpu) {
        k.Stop("SPIN_LOCK_RELEASED_ON_OTHER_PROCESSOR",
               std::string(routine) + " on processor " + std::to_string(k.cpu) +
                   " of a spin lock acquired on processor " + std::to_string(HolderProcessor(*SpinLock)),
               reinterpret_cast<std::uintptr_t>(SpinLock), k.cpu, HolderProcessor(*SpinLock));
    }
    if (k.heldLocks.empty() || k.heldLocks.back() != SpinLock) {
        k.Stop("SPIN_LOCK_RELEASED_OUT_OF_ORDER",
               std::string(routine) + " of a spin lock that is not the one acquired last",
               reinterpret_cast<std::uintptr_t>(SpinLock),
               k.heldLocks.empty() ? 0 : reinterpret_cast<std::uintptr_t>(k.heldLocks.back()));
    }
    k.heldLocks.pop_back();
    *SpinLock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    Impl& k = K();
    k.RequireIrql("KeAcquireSpinLock", DISPATCH_LEVEL);
    KIRQL old = k.irql;
    k.irql = DISPATCH_LEVEL;
    Acquire(k, SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Impl& k = K();
    Release(k, SpinLock, "KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL) {
        k.Stop("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock to an IRQL above DISPATCH_LEVEL", NewIrql);
    }
    if (NewIrql < DISPATCH_LEVEL && !k.heldLocks.empty()) {
        k.Stop("SPIN_LOCK_HELD_BELOW_DISPATCH", "KeReleaseSpinLock lowered IRQL while another spin lock is held",
               reinterpret_cast<std::uintptr_t>(k.heldLocks.back()));
    }
    LowerTo(k, NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    Impl& k = K();
    if (k.irql != DISPATCH_LEVEL) {
        k.Stop("IRQL_NOT_DISPATCH_LEVEL", "KeAcquireSpinLockAtDpcLevel called below DISPATCH_LEVEL",
               reinterpret_cast<std::uintptr_t>(SpinLock), k.irql);
    }
    Acquire(k, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Impl& k = K();
    Release(k, SpinLock, "KeReleaseSpinLockFromDpcLevel");
    k.ProcessorSwitchPoint();
}

}  // extern "C"
