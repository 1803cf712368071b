// Requests a disk driver keeps waiting: a cancel-safe queue over a list,
// oldest first, under its own spin lock. The lock may guard more of the
// owner's state; RequestListOf finds the list from the queue. A request
// cancelled while it waits completes with STATUS_CANCELLED (a power request
// also starts the next one).
#pragma once

#include <ntddk.h>
#include <csq.h>

namespace hw {

struct RequestList {
    IO_CSQ csq;
    KSPIN_LOCK lock;
    LIST_ENTRY list;
};

void InitializeRequestList(RequestList* requests);

// Completes a request with no data; a power request also starts the next one.
NTSTATUS CompleteDiskRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT);

// True if the request is in the list (caller holds the lock, or the machine is paused).
bool RequestListHolds(const RequestList& requests, PIRP irp);

}  // namespace hw
