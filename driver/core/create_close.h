// Opening and closing the control device and the filter device.
#pragma once

#include <ntddk.h>

extern "C" {

_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH ZHP_CreateClose;

}  // extern "C"
