// The driver's message routine.
//
// Every message begins with the name of the routine that writes it followed
// by "(): ". A message is printed only if its component is in TraceComponents
// and its level is at most TraceLevel. Tracing never blocks and allocates
// nothing: a message is formatted into one of eight fixed 1024-byte slots and
// dropped when all are busy.
#pragma once

#include <ntddk.h>

// Components (first argument).
#define ZHP_TRACE_HELD_IO 0x001      // held-I/O queue, recovery, flush, free fall, byte-read errors
#define ZHP_TRACE_PNP 0x002          // add-device and Plug and Play
#define ZHP_TRACE_POWER 0x004        // power handling and POW_RESUME changes
#define ZHP_TRACE_CONTROL 0x008      // control interface
#define ZHP_TRACE_CREATE_CLOSE 0x010 // create and close
#define ZHP_TRACE_DUMP_SYSCTL 0x020  // request dumps of system-control requests
#define ZHP_TRACE_DUMP_IO 0x080      // request dumps of read, write and device-control requests
#define ZHP_TRACE_SENSOR 0x100       // sensor thread, SMBus access, registry configuration

// Levels (second argument).
#define ZHP_LEVEL_ERROR 1
#define ZHP_LEVEL_WARNING 2
#define ZHP_LEVEL_PLAIN 4
#define ZHP_LEVEL_INFO 8

#define ZHP_TRACE_SLOT_COUNT 8
#define ZHP_TRACE_SLOT_SIZE 1024

extern "C" {

typedef struct _ZHP_TRACE_SLOT {
    volatile LONG Busy;  // 0 free, 1 claimed by a message being formatted and printed
    CHAR Text[ZHP_TRACE_SLOT_SIZE];
} ZHP_TRACE_SLOT;

extern ZHP_TRACE_SLOT TraceSlots[ZHP_TRACE_SLOT_COUNT];

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZHP_Trace(_In_ ULONG Component, _In_ ULONG Level, _In_z_ _Printf_format_string_ PCSTR Format, ...)
    __attribute__((format(printf, 3, 4)));

}  // extern "C"
