// Reacting to a free fall: parking the disk heads, holding disk I/O, arming
// the release timer, and signalling the named events the utility waits on.
#pragma once

#include <ntddk.h>

#include "core/device_extension.h"

#define ZHP_PARK_REQUEST_SIZE 560  // the ATA pass-through header plus a 512-byte data area
#define ZHP_PARK_DATA_SIZE 512
#define ZHP_PARK_TIMEOUT_SECONDS 2
// Held I/O is released 3 s after the recovery timer was last armed.
#define ZHP_RECOVERY_DELAY_100NS (-30000000LL)

extern "C" {

// Prepares the lock that keeps event signalling and event closing apart.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_InitializeFFEventLock(VOID);

// A fall has begun: park the heads, block reads and writes, arm the recovery
// timer, signal VrFFEvent01.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_FFDetected(_In_ PDEVICE_EXTENSION Extension);

// Sends the park command (the task file from AtaCommand) to the disk below
// the filter and waits for it; returns the request's status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ParkHeads(_In_reads_bytes_(8) const UCHAR* AtaCommand);

// The fall is over: re-arm the recovery timer once per fall, signal VrFFEvent02.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_FFCleared(_In_ PDEVICE_EXTENSION Extension);

// Create (or open) and reset the two named events; close them.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_CreateFFEvents(_In_ PDEVICE_EXTENSION Extension);
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_CloseFFEvents(_In_ PDEVICE_EXTENSION Extension);

// Sets the event while the filter is initialised and protection is on;
// does nothing when the event does not exist (any more).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID SignalFFEvent(_In_opt_ PKEVENT Event, _In_ PDEVICE_EXTENSION Extension);

}  // extern "C"
