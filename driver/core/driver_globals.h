// Global state of the driver (one of each).
#pragma once

#include <ntddk.h>

#ifndef ZHP_TRACE_LEVEL
#define ZHP_TRACE_LEVEL 8
#endif
#ifndef ZHP_TRACE_COMPONENTS
#define ZHP_TRACE_COMPONENTS 0xFFFFFFFF
#endif

// Bit of TraceLevel that switches on the request dumps of the I/O paths.
#define ZHP_TRACE_LEVEL_DUMPS 0x100

extern "C" {

// The disk filter device; context of the sensor status thread and of the
// recovery DPC, target of the park request. Null while no filter exists.
extern PDEVICE_OBJECT FilterDeviceObject;

// 1 while the sensor start-up sequence is pending: set when the control
// device is created and after every successful device power change of the
// disk, cleared at the end of ZHP_SensorStartup. The free-fall engine does
// nothing while it is 1, and the next control command runs the start-up path.
extern volatile UCHAR POW_RESUME;

// Highest trace level printed (bit 0x100 also switches on request dumps) and
// the mask of printed components. Constants of the build: the driver never
// changes them.
extern ULONG TraceLevel;
extern ULONG TraceComponents;

}  // extern "C"
