#include "request_list.h"

namespace hw {
namespace {

RequestList* RequestListOf(PIO_CSQ csq) { return CONTAINING_RECORD(csq, RequestList, csq); }

VOID Insert(PIO_CSQ csq, PIRP irp) { InsertTailList(&RequestListOf(csq)->list, &irp->Tail.Overlay.ListEntry); }

VOID Remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }

PIRP PeekNext(PIO_CSQ csq, PIRP irp, PVOID) {
    RequestList* requests = RequestListOf(csq);
    PLIST_ENTRY next = irp != nullptr ? irp->Tail.Overlay.ListEntry.Flink : requests->list.Flink;
    return next == &requests->list ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}

VOID AcquireLock(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&RequestListOf(csq)->lock, irql); }

VOID ReleaseLock(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&RequestListOf(csq)->lock, irql); }

VOID CompleteCanceled(PIO_CSQ, PIRP irp) { CompleteDiskRequest(irp, STATUS_CANCELLED); }

}  // namespace

void InitializeRequestList(RequestList* requests) {
    KeInitializeSpinLock(&requests->lock);
    InitializeListHead(&requests->list);
    IoCsqInitialize(&requests->csq, Insert, Remove, PeekNext, AcquireLock, ReleaseLock, CompleteCanceled);
}

NTSTATUS CompleteDiskRequest(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, boost);
    return status;
}

bool RequestListHolds(const RequestList& requests, PIRP irp) {
    for (PLIST_ENTRY e = requests.list.Flink; e != &requests.list; e = e->Flink) {
        if (CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry) == irp) return true;
    }
    return false;
}

}  // namespace hw
