// Keeps the control device's commands off the filter's record once the disk
// is removed. The control device outlives the filter device, and its record
// still points to the filter's: every command that works through that
// pointer enters the guard first and leaves it when done; the removal closes
// the guard and waits until the commands inside have left before the
// filter's record goes.
#pragma once

#include <ntddk.h>

extern "C" {

// Opens the guard for a new filter device.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ZHP_OpenFilterGuard(VOID);

// FALSE once the removal has closed the guard: the filter's record is gone
// or about to go and must not be touched.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ZHP_EnterFilterGuard(VOID);

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_LeaveFilterGuard(VOID);

// Refuses new entries and waits until every command inside has left.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ZHP_CloseFilterGuard(VOID);

}  // extern "C"
