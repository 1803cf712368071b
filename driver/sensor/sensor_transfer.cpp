#include "sensor/sensor_transfer.h"

#include "core/forwarding.h"
#include "core/trace.h"
#include "sensor/smbus.h"

namespace {

volatile LONG* SensorOpWord(PDEVICE_EXTENSION Extension) {
    return (volatile LONG*)&Extension->SensorOp;
}

ZHP_COMMAND_BLOCK* CommandBlockOf(PIRP Irp) {
    return (ZHP_COMMAND_BLOCK*)Irp->AssociatedIrp.SystemBuffer;
}

// After IoSetCancelRoutine(NULL) has returned NULL the cancel routine has
// been called or is about to be; it works under the cancel spin lock, so
// taking the lock once waits until it is done with the request and the record.
VOID WaitForRunningCancelRoutine() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
}

// Common start of both transfers. The request is already validated.
NTSTATUS StartTransfer(PIRP Irp, PDEVICE_EXTENSION Extension, ULONG requestedOp) {
    // A transfer already pending refuses the new one at once.
    if (Extension->SensorOp != ZHP_SENSOR_OP_IDLE) {
        return STATUS_DEVICE_BUSY;
    }
    SM_AcquireBus();
    // Two callers starting at the same moment: only one wins.
    if (InterlockedCompareExchange(SensorOpWord(Extension), (LONG)requestedOp, ZHP_SENSOR_OP_IDLE) !=
        ZHP_SENSOR_OP_IDLE) {
        SM_ReleaseBus();
        return STATUS_DEVICE_BUSY;
    }

    ZHP_COMMAND_BLOCK* block = CommandBlockOf(Irp);
    Extension->SensorIrp = Irp;
    Extension->SensorXferPos = 0;
    Extension->SensorXferCount = block->Count;
    if (requestedOp == ZHP_SENSOR_OP_READ_REQUESTED) {
        Extension->SensorReadRegister = (UCHAR)block->ThresholdLow;
    } else {
        RtlCopyMemory(Extension->SensorWriteData, block->Data, block->Count);
    }
    InterlockedExchange(&Extension->RequestClaimed, 0);

    // Pending before the cancel routine is in place: from then on the
    // request may be completed at any moment.
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, ZHP_SensorRequestCancel);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before it could wait: complete it here.
        if (ZHP_ClaimSensorRequest(Extension)) {
            InterlockedExchange(SensorOpWord(Extension), ZHP_SENSOR_OP_IDLE);
            SM_ReleaseBus();
            ZHP_CompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
    }
    SM_ReleaseBus();
    return STATUS_PENDING;
}

// The end of a transfer, in state op: the request goes back to its sender
// unless its cancel routine got it first. Releases the bus.
VOID FinishTransfer(PDEVICE_EXTENSION Extension, ULONG op, BOOLEAN succeeded) {
    if (!ZHP_ClaimSensorRequest(Extension)) {
        // The cancel routine completed the request: back to idle, so that
        // free-fall detection resumes.
        InterlockedCompareExchange(SensorOpWord(Extension), ZHP_SENSOR_OP_IDLE, (LONG)op);
        SM_ReleaseBus();
        return;
    }

    PIRP irp = Extension->SensorIrp;
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
        WaitForRunningCancelRoutine();
    }
    ZHP_COMMAND_BLOCK* block = CommandBlockOf(irp);
    if (!succeeded) {
        block->Count = 0;
    } else if (op == ZHP_SENSOR_OP_READING) {
        RtlCopyMemory(block->Data, Extension->SensorReadData, Extension->SensorXferCount);
    }
    irp->IoStatus.Information = ZHP_COMMAND_BLOCK_SIZE;
    InterlockedExchange(SensorOpWord(Extension), ZHP_SENSOR_OP_IDLE);
    SM_ReleaseBus();
    ZHP_CompleteRequest(irp, STATUS_SUCCESS);
}

// A step moved the transfer from op to next; the cancel routine may have
// ended it meanwhile, in which case it stays ended.
VOID Advance(PDEVICE_EXTENSION Extension, ULONG op, ULONG next) {
    InterlockedCompareExchange(SensorOpWord(Extension), (LONG)next, (LONG)op);
}

}  // namespace

extern "C" {

_Use_decl_annotations_
BOOLEAN ZHP_ClaimSensorRequest(PDEVICE_EXTENSION Extension) {
    return InterlockedOr(&Extension->RequestClaimed, 1) == 0;
}

_Use_decl_annotations_
NTSTATUS ZHP_StartSensorRead(PIRP Irp, PDEVICE_EXTENSION Extension) {
    if (CommandBlockOf(Irp)->Count > ZHP_SENSOR_TRANSFER_MAX) {
        return STATUS_DEVICE_BUSY;
    }
    return StartTransfer(Irp, Extension, ZHP_SENSOR_OP_READ_REQUESTED);
}

_Use_decl_annotations_
NTSTATUS ZHP_StartSensorWrite(PIRP Irp, PDEVICE_EXTENSION Extension) {
    // Whole register/value pairs only, within the data area.
    ULONG count = CommandBlockOf(Irp)->Count;
    if (count == 0 || (count % 2) != 0 || count > ZHP_SENSOR_TRANSFER_MAX) {
        return STATUS_DEVICE_BUSY;
    }
    return StartTransfer(Irp, Extension, ZHP_SENSOR_OP_WRITE_REQUESTED);
}

_Use_decl_annotations_
VOID ZHP_SensorTransferTick(PDEVICE_EXTENSION Extension, ULONG Op, PBOOLEAN BusHeld) {
    if (!*BusHeld) {
        SM_AcquireBus();
        *BusHeld = TRUE;
    }
    // Under the bus lock only the cancel routine can still change the state.
    if (Extension->SensorOp != Op) {
        SM_ReleaseBus();
        *BusHeld = FALSE;
        return;
    }
    if (Extension->RequestClaimed != 0) {
        // Completed by its cancel routine.
        InterlockedCompareExchange(SensorOpWord(Extension), ZHP_SENSOR_OP_IDLE, (LONG)Op);
        SM_ReleaseBus();
        *BusHeld = FALSE;
        return;
    }

    switch (Op) {
    case ZHP_SENSOR_OP_READ_REQUESTED:
        GsensorCmdGetByte(Extension->SensorReadRegister);
        Advance(Extension, Op, ZHP_SENSOR_OP_READING);
        return;  // the transaction's byte is fetched on the next tick

    case ZHP_SENSOR_OP_READING: {
        int byte = GsensorGetByte();
        if (byte >= 0) {
            Extension->SensorReadData[Extension->SensorXferPos] = (UCHAR)byte;
            Extension->SensorXferPos += 1;
            if (Extension->SensorXferPos < Extension->SensorXferCount) {
                GsensorCmdGetByte((UCHAR)((Extension->SensorReadRegister + Extension->SensorXferPos) % 256));
                return;
            }
        }
        FinishTransfer(Extension, Op, byte >= 0);
        *BusHeld = FALSE;
        return;
    }

    case ZHP_SENSOR_OP_WRITE_REQUESTED:
        GsensorCmdPutByte(Extension->SensorWriteData[0], Extension->SensorWriteData[1]);
        Advance(Extension, Op, ZHP_SENSOR_OP_WRITING);
        return;

    case ZHP_SENSOR_OP_WRITING: {
        int result = GsensorPutByte();
        if (result >= 0) {
            Extension->SensorXferPos += 2;
            ULONG pos = Extension->SensorXferPos;
            if (pos < Extension->SensorXferCount) {
                GsensorCmdPutByte(Extension->SensorWriteData[pos], Extension->SensorWriteData[pos + 1]);
                return;
            }
        }
        FinishTransfer(Extension, Op, result >= 0);
        *BusHeld = FALSE;
        return;
    }

    default:
        SM_ReleaseBus();
        *BusHeld = FALSE;
        return;
    }
}

_Use_decl_annotations_
VOID ZHP_SensorRequestCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // The claim is made before the cancel spin lock is released: whoever
    // takes that lock afterwards (the thread completing the request, the
    // removal of the disk) knows this routine is done with the record.
    KIRQL cancelIrql = Irp->CancelIrql;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_EXTENSION state = extension->FilterExtension != NULL ? extension->FilterExtension : extension;

    BOOLEAN claimed = ZHP_ClaimSensorRequest(state);
    if (claimed) {
        InterlockedExchange(SensorOpWord(state), ZHP_SENSOR_OP_IDLE);
    }
    IoReleaseCancelSpinLock(cancelIrql);

    if (claimed) {
        ZHP_CompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
    }
}

_Use_decl_annotations_
VOID ZHP_CancelSensorTransfer(PDEVICE_EXTENSION Extension) {
    // Under the cancel spin lock no cancel routine of ours is between its
    // claim and the end of its work on the record, and none can start.
    PIRP irp = NULL;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Extension->SensorOp != ZHP_SENSOR_OP_IDLE && Extension->RequestClaimed == 0 &&
        ZHP_ClaimSensorRequest(Extension)) {
        irp = Extension->SensorIrp;
        IoSetCancelRoutine(irp, NULL);
    }
    InterlockedExchange(SensorOpWord(Extension), ZHP_SENSOR_OP_IDLE);
    IoReleaseCancelSpinLock(irql);

    if (irp != NULL) {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_PLAIN,
                  "ZHP_CancelSensorTransfer(): Sensor request (Irp = 0x%08x) is canceled\n", (ULONG)(ULONG_PTR)irp);
        ZHP_CompleteRequestInfo(irp, STATUS_CANCELLED, 0);
    }
}

}  // extern "C"
