#include "core/filter_guard.h"

#include "core/debug_check.h"

extern "C" {

// One count for the open guard itself plus one per command inside.
volatile LONG FilterGuardUsers = 0;
volatile LONG FilterGuardClosed = 1;
// Set when the last user has left a closed guard.
KEVENT FilterGuardEmpty;

_Use_decl_annotations_
VOID ZHP_OpenFilterGuard(VOID) {
    KeInitializeEvent(&FilterGuardEmpty, NotificationEvent, FALSE);
    InterlockedExchange(&FilterGuardUsers, 1);
    InterlockedExchange(&FilterGuardClosed, 0);
}

_Use_decl_annotations_
BOOLEAN ZHP_EnterFilterGuard(VOID) {
    InterlockedIncrement(&FilterGuardUsers);
    if (FilterGuardClosed) {
        ZHP_LeaveFilterGuard();
        return FALSE;
    }
    return TRUE;
}

_Use_decl_annotations_
VOID ZHP_LeaveFilterGuard(VOID) {
    if (InterlockedDecrement(&FilterGuardUsers) == 0) {
        KeSetEvent(&FilterGuardEmpty, IO_NO_INCREMENT, FALSE);
    }
}

_Use_decl_annotations_
VOID ZHP_CloseFilterGuard(VOID) {
    ZHP_PAGED_CODE();
    if (InterlockedExchange(&FilterGuardClosed, 1) != 0) {
        return;
    }
    // Drop the open guard's own count; the last command out sets the event.
    ZHP_LeaveFilterGuard();
    KeWaitForSingleObject(&FilterGuardEmpty, Executive, KernelMode, FALSE, NULL);
}

}  // extern "C"
