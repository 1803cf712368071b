#include "core/create_close.h"

#include "core/debug_check.h"
#include "core/device_extension.h"
#include "core/driver_globals.h"
#include "core/forwarding.h"
#include "core/irp_decode.h"
#include "core/trace.h"

extern "C" {

_Use_decl_annotations_
NTSTATUS ZHP_CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ZHP_PAGED_CODE();
    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(TRUE, Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN isCreate = stack->MajorFunction == IRP_MJ_CREATE;

    // Opening the control device has no effect besides the message.
    if (ZHP_IsControlDevice(DeviceObject)) {
        Irp->IoStatus.Information = 0;
        ZHP_Trace(ZHP_TRACE_CREATE_CLOSE, ZHP_LEVEL_INFO,
                  isCreate ? "ZHP_CreateClose(): Gsensor is opened\n" : "ZHP_CreateClose(): Gsensor is closed\n");
        return ZHP_CompleteRequest(Irp, STATUS_SUCCESS);
    }

    ZHP_Trace(ZHP_TRACE_CREATE_CLOSE, ZHP_LEVEL_INFO,
              isCreate ? "ZHP_CreateClose(): Disk is opened\n" : "ZHP_CreateClose(): Disk is closed\n");

    // Opened on the filter device itself rather than through the disk's name.
    if (stack->FileObject != NULL && stack->FileObject->DeviceObject == DeviceObject) {
        switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            ZHP_Trace(ZHP_TRACE_CREATE_CLOSE, ZHP_LEVEL_INFO, "ZHP_CreateClose(): Filter is opened\n");
            return ZHP_CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLOSE:
            ZHP_Trace(ZHP_TRACE_CREATE_CLOSE, ZHP_LEVEL_INFO, "ZHP_CreateClose(): Filter is closed\n");
            return ZHP_CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
        default:
            ZHP_Trace(ZHP_TRACE_CREATE_CLOSE, ZHP_LEVEL_INFO, "ZHP_CreateClose(): Invalid CreateClose Parameter\n");
            return ZHP_CompleteRequestInfo(Irp, STATUS_INVALID_PARAMETER, 0);
        }
    }

    return ZHP_PassThrough(DeviceObject, Irp);
}

}  // extern "C"
