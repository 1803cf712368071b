// Driver entry, adding the filter and control devices, and the name tests
// that keep the filter off removable, USB and SD stacks.
#pragma once

#include <ntddk.h>

#include "core/device_extension.h"

extern "C" {

DRIVER_INITIALIZE DriverEntry;

// Places the filter on the first qualifying disk and creates the control device.
DRIVER_ADD_DEVICE ZHP_AddDevice;

// Creates the control device "\DosDevices\VELMORACC" for the filter.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_AddGSensor(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_OBJECT PhysicalDeviceObject,
                        _In_ PDEVICE_EXTENSION FilterExtension);

DRIVER_UNLOAD ZHP_Unload;

// TRUE if Part equals Name or occurs anywhere in it, ignoring case.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ZHP_NameContains(_In_ PCUNICODE_STRING Name, _In_ PCUNICODE_STRING Part);

// The object manager name of the object, copied up to the capacity of
// Result; Result is left empty when the name cannot be had.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_QueryObjectName(_In_ PVOID Object, _Inout_ PUNICODE_STRING Result);

}  // extern "C"
