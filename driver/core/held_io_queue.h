// The held-I/O queue: while the disk is blocked after a free fall, reads and
// writes wait in a cancel-safe queue over PendingIrpList; the recovery DPC
// releases them oldest first once the fall is over. Flush, shutdown and the
// removal of the disk treat held requests as described at each routine.
#pragma once

#include <ntddk.h>
#include <csq.h>

#include "core/device_extension.h"

extern "C" {

// Cancel-safe queue callbacks over PendingIrpList, guarded by QueueLock.
VOID ZHP_CsqInsertIrp(_In_ PIO_CSQ Csq, _In_ PIRP Irp);
VOID ZHP_CsqRemoveIrp(_In_ PIO_CSQ Csq, _In_ PIRP Irp);
PIRP ZHP_CsqPeekNextIrp(_In_ PIO_CSQ Csq, _In_opt_ PIRP Irp, _In_opt_ PVOID PeekContext);
_IRQL_raises_(DISPATCH_LEVEL)
VOID ZHP_CsqAcquireLock(_In_ PIO_CSQ Csq, _Out_ PKIRQL Irql);
VOID ZHP_CsqReleaseLock(_In_ PIO_CSQ Csq, _In_ KIRQL Irql);
VOID ZHP_CsqCompleteCanceledIrp(_In_ PIO_CSQ Csq, _In_ PIRP Irp);

// Hold or pass on a read or write.
_Dispatch_type_(IRP_MJ_READ) DRIVER_DISPATCH ZHP_Read;
_Dispatch_type_(IRP_MJ_WRITE) DRIVER_DISPATCH ZHP_Write;

// Pass on a flush (PASSIVE_LEVEL); while blocked, first pass on every held
// request, after any other routine passing them on has finished. While
// the fall is not yet over (blocked, FLAG_FALL_CLEARED clear) the flush is
// held behind them instead and released with them.
_Dispatch_type_(IRP_MJ_FLUSH_BUFFERS) DRIVER_DISPATCH ZHP_Flush;

// Switch protection off, cancel every held request, pass the shutdown on.
_Dispatch_type_(IRP_MJ_SHUTDOWN) DRIVER_DISPATCH ZHP_Shutdown;

// Complete every held request as cancelled.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_PendingIOCancel(_In_ PDEVICE_OBJECT DeviceObject);

// Waits until every held request has been passed on or completed, also by
// a cancel running elsewhere, and nobody passes held requests on any more;
// after this the record may go. No request may be held meanwhile.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_WaitForHeldIo(_In_ PDEVICE_EXTENSION Extension);

// Ends the block and passes the held requests on; the deferred context is
// the filter device object.
KDEFERRED_ROUTINE ZHP_RecoveryDPC;

}  // extern "C"
