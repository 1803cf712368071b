// The control device's command protocol: one device I/O control code with an
// 80-byte command block that goes in and comes back. Sent to the filter
// device itself, the same code works on the filter's own record.
#pragma once

#include <ntddk.h>

extern "C" {

_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) DRIVER_DISPATCH ZHP_DeviceControl;

}  // extern "C"
