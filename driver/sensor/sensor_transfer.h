// The utility's sensor register transfers (commands 100 and 101): the
// command's dispatch starts a transfer and leaves the request pending; the
// sensor status thread moves it on by one byte (read) or one register/value
// pair (write) per tick and completes it. The request is completed exactly
// once: whoever completes it (thread, cancel routine, removal) first claims
// it through RequestClaimed.
//
// The thread holds the SMBus lock from the first step of a transfer to its
// end, because each tick fetches the result of the transaction the previous
// tick started. A transfer is set up under the same lock, so that no step of
// the thread is under way while SensorOp and the transfer fields change.
#pragma once

#include <ntddk.h>

#include "core/device_extension.h"

// The command block's data area holds at most 24 bytes.
#define ZHP_SENSOR_TRANSFER_MAX ZHP_COMMAND_DATA_SIZE

extern "C" {

// Start a read of Count consecutive registers, or a write of Count/2
// register/value pairs, from the request's command block. STATUS_PENDING
// when started (the request is marked pending); STATUS_DEVICE_BUSY when
// refused (another transfer is pending, or the count is out of range) with
// the request untouched, for the caller to complete.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_StartSensorRead(_In_ PIRP Irp, _In_ PDEVICE_EXTENSION Extension);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_StartSensorWrite(_In_ PIRP Irp, _In_ PDEVICE_EXTENSION Extension);

// One tick of the pending transfer in state Op (0x81, 1, 0x82 or 2).
// *BusHeld tells whether the thread holds the SMBus lock, and is updated.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_SensorTransferTick(_In_ PDEVICE_EXTENSION Extension, _In_ ULONG Op, _Inout_ PBOOLEAN BusHeld);

// Cancel routine of a pending transfer request.
DRIVER_CANCEL ZHP_SensorRequestCancel;

// Removal of the disk: completes a pending transfer as cancelled and waits
// until no cancel routine is working on the record any more. The status
// thread must have ended.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_CancelSensorTransfer(_In_ PDEVICE_EXTENSION Extension);

// TRUE for the caller that claims the pending request first.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ZHP_ClaimSensorRequest(_In_ PDEVICE_EXTENSION Extension);

}  // extern "C"
