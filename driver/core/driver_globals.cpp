#include "core/driver_globals.h"

extern "C" {

PDEVICE_OBJECT FilterDeviceObject = NULL;
volatile UCHAR POW_RESUME = 1;
ULONG TraceLevel = ZHP_TRACE_LEVEL;
ULONG TraceComponents = ZHP_TRACE_COMPONENTS;

}  // extern "C"
