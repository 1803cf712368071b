// Passing requests on to the disk stack and completing them. Every dispatch
// routine of the driver ends in one of these. Requests that reach them on the
// control device (which is in no stack) are completed with success and
// information 0, never passed on.
#pragma once

#include <ntddk.h>

extern "C" {

// Completes the request with the status and no priority boost; returns the status.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ZHP_CompleteRequest(_In_ PIRP Irp, _In_ NTSTATUS Status);

// The same, also storing the information value.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ZHP_CompleteRequestInfo(_In_ PIRP Irp, _In_ NTSTATUS Status, _In_ ULONG_PTR Information);

// Passes the request on without a completion routine, reusing the current
// stack location.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ZHP_PassThrough(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// Copies the stack location to the next one, sets the completion routine to
// be called on success, error and cancel, and passes the request on.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ZHP_ForwardWithCompletion(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                                   _In_ PIO_COMPLETION_ROUTINE CompletionRoutine, _In_opt_ PVOID Context);

// Passes a read, write or flush on: below DISPATCH_LEVEL with the counting
// completion routine, at or above it counted in DispatchForwardCount.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ZHP_ForwardIo(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp);

// Completion routine of the requests that ZHP_ForwardIo passes on below DISPATCH_LEVEL.
IO_COMPLETION_ROUTINE ZHP_IoCompletion;

// Sets a completion routine to be called on success, error and cancel in the
// next stack location (which the caller has prepared).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_SetCompletionRoutine(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                              _In_ PIO_COMPLETION_ROUTINE CompletionRoutine, _In_opt_ PVOID Context);

// Every request without a handler of its own.
DRIVER_DISPATCH ZHP_DispatchDefault;

}  // extern "C"
