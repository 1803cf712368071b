#include "core/pnp_power.h"

#include "core/debug_check.h"
#include "core/device_extension.h"
#include "core/driver_globals.h"
#include "core/filter_guard.h"
#include "core/forwarding.h"
#include "core/held_io_queue.h"
#include "core/irp_decode.h"
#include "core/trace.h"
#include "sensor/free_fall.h"
#include "sensor/hw_config.h"
#include "sensor/power_resume.h"
#include "sensor/sensor_transfer.h"
#include "sensor/status_thread.h"

namespace {

// A paging file is being added to the disk (InPath) or removed from it.
NTSTATUS ZHP_PagingNotification(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN inPath = IoGetCurrentIrpStackLocation(Irp)->Parameters.UsageNotification.InPath;
    BOOLEAN setPagable = FALSE;

    KeWaitForSingleObject(&extension->PagingPathCountEvent, Executive, KernelMode, FALSE, NULL);

    // The last paging file goes: the device may be pageable again, unless
    // it needs inrush power.
    if (!inPath && extension->PagingPathCount == 1) {
        if (DeviceObject->Flags & DO_POWER_INRUSH) {
            ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO,
                      "ZHP_DispatchPnp(): last paging fileremoved but DO_POWER_INRUSH set, so not for DO %p\n",
                      (PVOID)DeviceObject);
        } else {
            ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_DispatchPnp(): Setting  PAGABLE bit for DO %p\n",
                      (PVOID)DeviceObject);
            DeviceObject->Flags |= DO_POWER_PAGABLE;
            setPagable = TRUE;
        }
    }

    NTSTATUS status = ZHP_ForwardIrpSynchronous(DeviceObject, Irp);

    if (NT_SUCCESS(status)) {
        LONG count = inPath ? InterlockedIncrement(&extension->PagingPathCount)
                            : InterlockedDecrement(&extension->PagingPathCount);
        // The first paging file arrives: paging I/O must not wait for pageable code.
        if (inPath && count == 1) {
            ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_DispatchPnp(): Clearing PAGABLE bit for DO %p\n",
                      (PVOID)DeviceObject);
            DeviceObject->Flags &= ~DO_POWER_PAGABLE;
        }
    } else if (setPagable) {
        DeviceObject->Flags &= ~DO_POWER_PAGABLE;
    }

    KeSetEvent(&extension->PagingPathCountEvent, IO_NO_INCREMENT, FALSE);
    return ZHP_CompleteRequest(Irp, status);
}

}  // namespace

extern "C" {

_Use_decl_annotations_
NTSTATUS ZHP_DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ZHP_PAGED_CODE();

    // The control device is in no Plug and Play stack.
    if (ZHP_IsControlDevice(DeviceObject)) {
        return ZHP_PassThrough(DeviceObject, Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_DispatchPnp(): Schedule completion for IRP_MN_START_DEVICE\n");
        NTSTATUS status = ZHP_StartDevice(DeviceObject, Irp);
        // The lower drivers have started the disk (or failed to); the sensor
        // is set up either way. Marked as a run of the start-up path, so the
        // sensor thread does not start a second sequence beside this one
        // once the settle time has passed.
        ZHP_EnterStartupPath();
        ZHP_SensorStartup();
        ZHP_LeaveStartupPath();
        return status;
    }

    case IRP_MN_REMOVE_DEVICE:
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO,
                  "ZHP_DispatchPnp(): Schedule completion for IRP_MN_REMOVE_DEVICE\n");
        return ZHP_RemoveDevice(DeviceObject, Irp);

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_DispatchPnp(): Processing DEVICE_USAGE_NOTIFICATION\n");
        if (stack->Parameters.UsageNotification.Type != DeviceUsageTypePaging) {
            return ZHP_PassThrough(DeviceObject, Irp);
        }
        return ZHP_PagingNotification(DeviceObject, Irp);

    default:
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_DispatchPnp(): PNP that filter will forwarding\n");
        ZHP_DumpIrpOperation(TRUE, Irp);
        return ZHP_PassThrough(DeviceObject, Irp);
    }
}

_Use_decl_annotations_
NTSTATUS ZHP_ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KEVENT WaitEvent;
    KeInitializeEvent(&WaitEvent, NotificationEvent, FALSE);

    NTSTATUS status = ZHP_ForwardWithCompletion(DeviceObject, Irp, ZHP_SyncCompletion, &WaitEvent);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(&WaitEvent, Executive, KernelMode, FALSE, NULL);
        ZHP_ASSERT(status == STATUS_SUCCESS);
        status = Irp->IoStatus.Status;
    }

    ZHP_ASSERT(KeReadStateEvent(&WaitEvent) || !NT_SUCCESS(Irp->IoStatus.Status));
    return status;
}

_Use_decl_annotations_
NTSTATUS ZHP_SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(FALSE, Irp);
    }
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    // The request goes back to the routine waiting for it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_
NTSTATUS ZHP_StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ZHP_PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    NTSTATUS status = ZHP_ForwardIrpSynchronous(DeviceObject, Irp);
    extension->DevicePowerState = PowerDeviceD0;
    return ZHP_CompleteRequest(Irp, status);
}

_Use_decl_annotations_
NTSTATUS ZHP_RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ZHP_PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // The lower drivers remove first.
    NTSTATUS status = ZHP_ForwardIrpSynchronous(DeviceObject, Irp);

    // Control commands working on this record finish first; later ones are
    // refused. They may start a transfer or queue the release, both handled below.
    ZHP_CloseFilterGuard();

    ZHP_StopSensorThread(extension);

    // A transfer the thread can no longer finish goes back as cancelled.
    ZHP_CancelSensorTransfer(extension);

    // No release may run against the deleted device: cancel the timer and
    // wait for a release already queued or running.
    KeCancelTimer(&extension->RecoveryTimer);
    KeFlushQueuedDpcs();

    ZHP_PendingIOCancel(DeviceObject);
    ZHP_WaitForHeldIo(extension);
    ZHP_CloseFFEvents(extension);

    IoDetachDevice(extension->LowerDeviceObject);
    FilterDeviceObject = NULL;
    IoDeleteDevice(DeviceObject);

    return ZHP_CompleteRequest(Irp, status);
}

}  // extern "C"
