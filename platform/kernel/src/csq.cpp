// The cancel-safe queue (IoCsqXxx), with the WDK library's algorithm: the
// queue's own lock orders insertion, removal and cancellation, and a request
// is completed as cancelled by whoever clears its cancel routine first.
#include <csq.h>

#include <algorithm>

#include "kernel_internal.h"

using hk::K;

// The queue and the insertion context ride in the request's driver context,
// as in the WDK implementation.
#define CSQ_OF(Irp) ((PIO_CSQ)(Irp)->Tail.Overlay.DriverContext[3])

static VOID CsqCancelRoutine(PDEVICE_OBJECT, PIRP Irp) {
    PIO_CSQ csq = CSQ_OF(Irp);
    PIO_CSQ_IRP_CONTEXT context = nullptr;
    if (csq->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        // DriverContext[3] holds the request's context; the queue is in it.
        context = reinterpret_cast<PIO_CSQ_IRP_CONTEXT>(csq);
        csq = context->Csq;
    }
    // From the moment the cancel took the routine (under the cancel lock,
    // still held here) until the completion routine is called, the queue is
    // in use: memory holding it that is freed meanwhile would crash Windows
    // once the routine goes on. (What that routine touches is its driver's.)
    auto& inFlight = K().queuesBeingCancelled;
    inFlight.push_back(csq);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (context != nullptr) context->Irp = nullptr;
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    csq->CsqRemoveIrp(csq, Irp);
    csq->CsqReleaseLock(csq, irql);
    PIO_CSQ_COMPLETE_CANCELED_IRP complete = csq->CsqCompleteCanceledIrp;
    inFlight.erase(std::find(inFlight.begin(), inFlight.end(), static_cast<const void*>(csq)));
    complete(csq, Irp);
}

extern "C" {

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
    Csq->Type = IO_TYPE_CSQ;
    Csq->CsqInsertIrp = CsqInsertIrp;
    Csq->CsqRemoveIrp = CsqRemoveIrp;
    Csq->CsqPeekNextIrp = CsqPeekNextIrp;
    Csq->CsqAcquireLock = CsqAcquireLock;
    Csq->CsqReleaseLock = CsqReleaseLock;
    Csq->CsqCompleteCanceledIrp = CsqCompleteCanceledIrp;
    Csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                           PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
    IoCsqInitialize(Csq, reinterpret_cast<PIO_CSQ_INSERT_IRP>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                    CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
    Csq->Type = IO_TYPE_CSQ_EX;
    return STATUS_SUCCESS;
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext) {
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Csq->Type == IO_TYPE_CSQ_EX) {
        status = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(Csq->CsqInsertIrp)(Csq, Irp, InsertContext);
        if (!NT_SUCCESS(status)) {
            Csq->CsqReleaseLock(Csq, irql);
            return status;
        }
    } else {
        Csq->CsqInsertIrp(Csq, Irp);
    }
    IoMarkIrpPending(Irp);
    if (Context != nullptr) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        Irp->Tail.Overlay.DriverContext[3] = Context;
    } else {
        Irp->Tail.Overlay.DriverContext[3] = Csq;
    }
    IoSetCancelRoutine(Irp, CsqCancelRoutine);
    if (Irp->Cancel) {
        // Cancelled before the routine was set: if the routine is still ours,
        // nobody else will complete it, so take it back out here.
        if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, Irp);
            if (Context != nullptr) Context->Irp = nullptr;
            Csq->CsqReleaseLock(Csq, irql);
            Csq->CsqCompleteCanceledIrp(Csq, Irp);
            return STATUS_SUCCESS;
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return status;
}

VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) { IoCsqInsertIrpEx(Csq, Irp, Context, nullptr); }

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
    KIRQL irql;
    PIRP irp = nullptr;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP candidate = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (candidate != nullptr) {
        // A request whose cancel routine is already gone is being cancelled:
        // leave it to the cancel routine.
        if (IoSetCancelRoutine(candidate, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, candidate);
            irp = candidate;
            break;
        }
        candidate = Csq->CsqPeekNextIrp(Csq, candidate, PeekContext);
    }
    if (irp != nullptr) {
        PVOID stored = irp->Tail.Overlay.DriverContext[3];
        if (stored != nullptr && static_cast<PIO_CSQ_IRP_CONTEXT>(stored)->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
            static_cast<PIO_CSQ_IRP_CONTEXT>(stored)->Irp = nullptr;
        }
        irp->Tail.Overlay.DriverContext[3] = nullptr;
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
    KIRQL irql;
    PIRP irp = nullptr;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Context->Irp != nullptr) {
        irp = Context->Irp;
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, irp);
            irp->Tail.Overlay.DriverContext[3] = nullptr;
            Context->Irp = nullptr;
        } else {
            irp = nullptr;  // being cancelled
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

}  // extern "C"
