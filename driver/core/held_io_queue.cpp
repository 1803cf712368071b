#include "core/held_io_queue.h"

#include "core/debug_check.h"
#include "core/device_extension.h"
#include "core/driver_globals.h"
#include "core/forwarding.h"
#include "core/irp_decode.h"
#include "core/trace.h"

namespace {

PDEVICE_EXTENSION ExtensionOfQueue(PIO_CSQ Csq) {
    return CONTAINING_RECORD(Csq, DEVICE_EXTENSION, CancelSafeQueue);
}

// Work left to the routine that passes held requests on.
#define ZHP_DRAIN_RELEASE 0x1  // the recovery DPC ended the block
#define ZHP_DRAIN_STRANDED 0x2  // a request was held just after a release

// Whether held requests may leave now: once the block has ended, or, for a
// flush, also while blocked once the fall is over (the flush may not pass
// writes down while the notebook may still be falling).
BOOLEAN ZHP_MayPassHeldIo(PDEVICE_EXTENSION extension, BOOLEAN forFlush) {
    if (!ZHP_IsDiskBlocked(extension)) {
        return TRUE;
    }
    return forFlush && (extension->Flag & FLAG_FALL_CLEARED) != 0;
}

// A held request has been passed on or completed: the queue no longer owns it.
VOID ZHP_HeldIrpGone(PDEVICE_EXTENSION extension) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->QueueLock, &irql);
    if (--extension->HeldIrpCount == 0) {
        KeSetEvent(&extension->HeldIoGone, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->QueueLock, irql);
}

// Takes the oldest held requests out and passes them on while they may
// leave. Only the drain's owner calls this: each request is taken and passed
// on before the next is taken, so they reach the lower driver oldest first.
VOID ZHP_PassHeldIoOn(PDEVICE_OBJECT DeviceObject, BOOLEAN forFlush, PCSTR message) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    while (ZHP_MayPassHeldIo(extension, forFlush)) {
        PIRP held = IoCsqRemoveNextIrp(&extension->CancelSafeQueue, NULL);
        if (held == NULL) {
            break;
        }
        ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN, message, (ULONG)(ULONG_PTR)held);
        ZHP_ForwardIo(DeviceObject, held);
        ZHP_HeldIrpGone(extension);
    }
}

// Leaves `work` to the drain's owner; returns TRUE when there was none and
// the caller now owns the drain (and must end it with ZHP_EndHeldIoDrain).
// Called with QueueLock held.
BOOLEAN ZHP_AskHeldIoDrainLocked(PDEVICE_EXTENSION extension, ULONG work) {
    extension->DrainAsked |= work;
    if (extension->Draining) {
        return FALSE;
    }
    extension->Draining = TRUE;
    KeClearEvent(&extension->DrainIdle);
    return TRUE;
}

// The owner does the work others left meanwhile, then gives the drain up.
VOID ZHP_EndHeldIoDrain(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->QueueLock, &irql);
        ULONG asked = extension->DrainAsked;
        extension->DrainAsked = 0;
        if (asked == 0) {
            extension->Draining = FALSE;
            KeSetEvent(&extension->DrainIdle, IO_NO_INCREMENT, FALSE);
            KeReleaseSpinLock(&extension->QueueLock, irql);
            return;
        }
        KeReleaseSpinLock(&extension->QueueLock, irql);
        ZHP_PassHeldIoOn(DeviceObject, FALSE,
                         (asked & ZHP_DRAIN_RELEASE)
                             ? "ZHP_RecoveryDPC(): Flush the  IO (Irp = 0x%08x) to lower storage stack \n"
                             : "ZHP_PassOnStrandedIo(): The block has ended, pass the IO (Irp = 0x%08x) to lower "
                               "storage stack \n");
    }
}

// Leaves `work` to the drain's owner, or does it (and what others leave
// meanwhile) when nobody drains.
VOID ZHP_DrainHeldIo(PDEVICE_OBJECT DeviceObject, ULONG work) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&extension->QueueLock, &irql);
    BOOLEAN owner = ZHP_AskHeldIoDrainLocked(extension, work);
    KeReleaseSpinLock(&extension->QueueLock, irql);
    if (owner) {
        ZHP_EndHeldIoDrain(DeviceObject);
    }
}

// Waits until nobody else drains and takes the drain (PASSIVE_LEVEL): a
// flush must pass on every request held before it itself goes down, which
// it cannot leave to a drainer that stops at the block.
VOID ZHP_TakeHeldIoDrain(PDEVICE_EXTENSION extension) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->QueueLock, &irql);
        BOOLEAN owner = ZHP_AskHeldIoDrainLocked(extension, 0);
        KeReleaseSpinLock(&extension->QueueLock, irql);
        if (owner) {
            return;
        }
        KeWaitForSingleObject(&extension->DrainIdle, Executive, KernelMode, FALSE, NULL);
    }
}

// A request that found the disk blocked can be put in the queue just after
// the release has drained it. Looking at the block again under QueueLock
// orders this test after any drain that ran meanwhile; if the block has
// ended, the stranded requests are passed on now, oldest first, instead of
// waiting for the next release.
VOID ZHP_PassOnStrandedIo(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    KIRQL irql;
    KeAcquireSpinLock(&extension->QueueLock, &irql);
    BOOLEAN owner = FALSE;
    if (!ZHP_IsDiskBlocked(extension)) {
        owner = ZHP_AskHeldIoDrainLocked(extension, ZHP_DRAIN_STRANDED);
    }
    KeReleaseSpinLock(&extension->QueueLock, irql);
    if (owner) {
        ZHP_EndHeldIoDrain(DeviceObject);
    }
}

// Puts the request at the tail of the held requests; the queue owns it from
// here and it leaves in order with the others (release, flush after the fall,
// shutdown, removal, or its sender's cancel).
NTSTATUS ZHP_HoldIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG queuedCount) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoCsqInsertIrp(&extension->CancelSafeQueue, Irp, NULL);
    // Dispatch routines of several senders run at once.
    if (queuedCount != NULL) {
        InterlockedIncrement((volatile LONG*)queuedCount);
    }
    ZHP_PassOnStrandedIo(DeviceObject);
    return STATUS_PENDING;
}

NTSTATUS ZHP_HoldOrPass(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCSTR heldMessage, PULONG queuedCount) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(TRUE, Irp);
    }
    if (!ZHP_IsDiskBlocked(extension)) {
        return ZHP_ForwardIo(DeviceObject, Irp);
    }

    ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN, heldMessage, (ULONG)(ULONG_PTR)Irp);
    return ZHP_HoldIrp(DeviceObject, Irp, queuedCount);
}

}  // namespace

extern "C" {

_Use_decl_annotations_
VOID ZHP_CsqInsertIrp(PIO_CSQ Csq, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOfQueue(Csq);
    InsertTailList(&extension->PendingIrpList, &Irp->Tail.Overlay.ListEntry);
    if (extension->HeldIrpCount++ == 0) {
        KeClearEvent(&extension->HeldIoGone);
    }
}

_Use_decl_annotations_
VOID ZHP_CsqRemoveIrp(PIO_CSQ Csq, PIRP Irp) {
    UNREFERENCED_PARAMETER(Csq);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
}

_Use_decl_annotations_
PIRP ZHP_CsqPeekNextIrp(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext) {
    // Every held request matches: the peek context is not looked at.
    UNREFERENCED_PARAMETER(PeekContext);
    PLIST_ENTRY head = &ExtensionOfQueue(Csq)->PendingIrpList;
    PLIST_ENTRY next = (Irp == NULL) ? head->Flink : Irp->Tail.Overlay.ListEntry.Flink;
    if (next == head) {
        return NULL;
    }
    return CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}

_Use_decl_annotations_
VOID ZHP_CsqAcquireLock(PIO_CSQ Csq, PKIRQL Irql) {
    KeAcquireSpinLock(&ExtensionOfQueue(Csq)->QueueLock, Irql);
}

_Use_decl_annotations_
VOID ZHP_CsqReleaseLock(PIO_CSQ Csq, KIRQL Irql) {
    KeReleaseSpinLock(&ExtensionOfQueue(Csq)->QueueLock, Irql);
}

_Use_decl_annotations_
VOID ZHP_CsqCompleteCanceledIrp(PIO_CSQ Csq, PIRP Irp) {
    ZHP_CompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
    ZHP_HeldIrpGone(ExtensionOfQueue(Csq));
}

_Use_decl_annotations_
NTSTATUS ZHP_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    return ZHP_HoldOrPass(DeviceObject, Irp, "ZHP_Read(): IO (Irp = 0x%08x), is add into driver managed queue\n",
                          &extension->ReadQueued);
}

_Use_decl_annotations_
NTSTATUS ZHP_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    return ZHP_HoldOrPass(DeviceObject, Irp, "ZHP_Write(): IO (Irp = 0x%08x), is add into driver managed queue\n",
                          &extension->WriteQueued);
}

_Use_decl_annotations_
NTSTATUS ZHP_Flush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(TRUE, Irp);
        ZHP_IrpInfo(Irp, ZHP_TRACE_HELD_IO);
    }

    if (ZHP_IsDiskBlocked(extension)) {
        ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN,
                  "ZHP_Flush(): Flush Buffer (Irp = 0x%08x) Request while access blocked\n",
                  (ULONG)(ULONG_PTR)Irp);
        // While the notebook may still be falling the held writes must stay
        // held: passed down now they would queue behind the park and load
        // the heads again mid-fall. The flush joins them instead and goes
        // down after them when they are released.
        BOOLEAN falling = (extension->Flag & FLAG_FALL_CLEARED) == 0;
        if (!falling) {
            // The held requests go down ahead of the flush; the block itself
            // stays, so later reads and writes are held again. A new fall
            // that begins meanwhile stops this, and the flush waits with
            // what is left for its release.
            ZHP_TakeHeldIoDrain(extension);
            ZHP_PassHeldIoOn(DeviceObject, TRUE,
                             "ZHP_Flush(): Flush blocked  IO (Irp = 0x%08x) to lower storage stack \n");
            falling = !ZHP_MayPassHeldIo(extension, TRUE);
            ZHP_EndHeldIoDrain(DeviceObject);
        }
        if (falling) {
            ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN,
                      "ZHP_Flush(): IO (Irp = 0x%08x), is add into driver managed queue\n", (ULONG)(ULONG_PTR)Irp);
            return ZHP_HoldIrp(DeviceObject, Irp, NULL);
        }
    }

    return ZHP_ForwardIo(DeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS ZHP_Shutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // The control device holds no requests and no protection state.
    if (ZHP_IsControlDevice(DeviceObject)) {
        return ZHP_PassThrough(DeviceObject, Irp);
    }
    ZHP_ClearFlags((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, FLAG_SENSOR_ON);
    ZHP_PendingIOCancel(DeviceObject);
    return ZHP_PassThrough(DeviceObject, Irp);
}

_Use_decl_annotations_
VOID ZHP_PendingIOCancel(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIRP held;
    while ((held = IoCsqRemoveNextIrp(&extension->CancelSafeQueue, NULL)) != NULL) {
        ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN,
                  "ZHP_PendingIOCancel(): IO (Irp = 0x%08x) in driver managed queue is canceled\n",
                  (ULONG)(ULONG_PTR)held);
        ZHP_CompleteRequestInfo(held, STATUS_CANCELLED, 0);
        ZHP_HeldIrpGone(extension);
    }
}

_Use_decl_annotations_
VOID ZHP_WaitForHeldIo(PDEVICE_EXTENSION Extension) {
    ZHP_PAGED_CODE();
    // A sender's cancel can be past the point where the queue gives the
    // request up yet not have completed it; it still uses this record.
    KeWaitForSingleObject(&Extension->HeldIoGone, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(&Extension->DrainIdle, Executive, KernelMode, FALSE, NULL);
    // The last routine to signal may still be leaving the queue lock.
    KIRQL irql;
    KeAcquireSpinLock(&Extension->QueueLock, &irql);
    KeReleaseSpinLock(&Extension->QueueLock, irql);
}

_Use_decl_annotations_
VOID ZHP_RecoveryDPC(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)DeferredContext;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;

    ZHP_ClearFlags(extension, FLAG_IO_BLOCKED);
    ULONG flag = ZHP_SetFlags(extension, FLAG_IO_RESUMED);
    ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN,
              "ZHP_RecoveryDPC(): The IO will be resumed. Device 0x%p, Flag = 0x%08x\n", (PVOID)deviceObject, flag);

    // A new fall that blocks the disk again stops the release; the rest
    // stays queued for the next one. Another routine already passing held
    // requests on does this too, so they still leave one at a time.
    ZHP_DrainHeldIo(deviceObject, ZHP_DRAIN_RELEASE);
}

}  // extern "C"
