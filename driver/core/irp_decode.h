// Describing requests in the trace output: major and minor function names,
// power states, request flags and file object flags. Nothing here changes
// any state; everything prints through ZHP_Trace.
#pragma once

#include <ntddk.h>

extern "C" {

// One dump of a request: TRUE before it is passed on, FALSE in a completion routine.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_DumpIrpOperation(_In_ BOOLEAN PreOperation, _In_ PIRP Irp);

// The names of the request's flags and of its file object's flags, under the component.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_IrpInfo(_In_ PIRP Irp, _In_ ULONG Component);

// Name lookups; a code outside a table gives that table's "Unknown ..." text.
PCSTR ZHP_MajorFunctionName(_In_ ULONG MajorFunction);
PCSTR ZHP_PnpMinorFunctionName(_In_ ULONG MinorFunction);
PCSTR ZHP_PowerMinorFunctionName(_In_ ULONG MinorFunction);
PCSTR ZHP_SystemPowerStateName(_In_ ULONG State);
PCSTR ZHP_DevicePowerStateName(_In_ ULONG State);
PCSTR ZHP_SystemControlMinorFunctionName(_In_ ULONG MinorFunction);

// The trace component of every line of a request's dump.
ULONG ZHP_DumpComponent(_In_ ULONG MajorFunction);

}  // extern "C"
