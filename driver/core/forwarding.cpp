#include "core/forwarding.h"

#include "core/device_extension.h"
#include "core/driver_globals.h"
#include "core/irp_decode.h"

extern "C" {

_Use_decl_annotations_
NTSTATUS ZHP_CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

_Use_decl_annotations_
NTSTATUS ZHP_CompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Information = Information;
    return ZHP_CompleteRequest(Irp, Status);
}

_Use_decl_annotations_
NTSTATUS ZHP_PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (extension->FilterExtension != NULL) {
        return ZHP_CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(extension->LowerDeviceObject, Irp);
}

_Use_decl_annotations_
VOID ZHP_SetCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                              PVOID Context) {
    // The Ex form keeps the driver loaded until the routine has run. The
    // driver is never unloaded while its devices exist, so when the kernel
    // cannot provide that guarantee the plain form is just as safe.
    NTSTATUS status = IoSetCompletionRoutineEx(DeviceObject, Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    }
}

_Use_decl_annotations_
NTSTATUS ZHP_ForwardWithCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (extension->FilterExtension != NULL) {
        return ZHP_CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    ZHP_SetCompletionRoutine(DeviceObject, Irp, CompletionRoutine, Context);
    return IofCallDriver(extension->LowerDeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS ZHP_ForwardIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(TRUE, Irp);
    }

    // The control device is in no stack: complete at once and leave its
    // record's counters untouched.
    if (extension->FilterExtension != NULL) {
        return ZHP_PassThrough(DeviceObject, Irp);
    }

    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        InterlockedIncrement(&extension->OutstandingIo);
        return ZHP_ForwardWithCompletion(DeviceObject, Irp, ZHP_IoCompletion, NULL);
    }

    InterlockedIncrement((volatile LONG*)&extension->DispatchForwardCount);
    return ZHP_PassThrough(DeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS ZHP_IoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(FALSE, Irp);
    }
    if (extension->OutstandingIo != 0) {
        InterlockedDecrement(&extension->OutstandingIo);
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return Irp->IoStatus.Status;
}

_Use_decl_annotations_
NTSTATUS ZHP_DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(TRUE, Irp);
    }
    return ZHP_PassThrough(DeviceObject, Irp);
}

}  // extern "C"
