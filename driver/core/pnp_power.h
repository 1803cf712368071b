// Plug and Play and power handling of the filter device: start, removal,
// paging-file notifications, and following the disk's device power state.
#pragma once

#include <ntddk.h>

extern "C" {

_Dispatch_type_(IRP_MJ_PNP) DRIVER_DISPATCH ZHP_DispatchPnp;

// Passes the request down and waits until the lower drivers are done with
// it; the request stays with the caller, who completes it.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ZHP_ForwardIrpSynchronous(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// Completion routine of ZHP_ForwardIrpSynchronous; the context is its event.
IO_COMPLETION_ROUTINE ZHP_SyncCompletion;

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_StartDevice(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_RemoveDevice(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

_Dispatch_type_(IRP_MJ_POWER) DRIVER_DISPATCH ZHP_DispatchPower;

// Completion routine of device set-power requests.
IO_COMPLETION_ROUTINE ZHP_PowerComplete;

}  // extern "C"
