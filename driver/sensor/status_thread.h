// The sensor status thread: every millisecond it either runs one step of the
// free-fall state machine (no transfer pending) or moves the pending sensor
// register transfer on by one byte. While it runs it holds a 1 ms timer
// resolution (ExSetTimerResolution), without which neither its tick nor the
// 1 ms waits of the SMBus register writes would be shorter than the clock
// interrupt's default 15.6 ms.
#pragma once

#include <ntddk.h>

#include "core/device_extension.h"

#define ZHP_INT_RELEASE_ATTEMPTS 10
// After the attempts the thread gives up: a round of reports that repeats
// about every 1.1 s, ending in a 1 s pause; the pause includes the one
// release (two source reads, about 10 ms of bus time) that closes each round.
#define ZHP_GIVE_UP_PAUSE_MS 1000
#define ZHP_GIVE_UP_RELEASE_MS 10
// Sensor registers whose reading releases the latched free-fall interrupt.
#define GSENSOR_REG_FF1_SOURCE 0x5F
#define GSENSOR_REG_FF2_SOURCE 0x7F

extern "C" {

// 1 while a configuration command runs, and after commands 210..215:
// interrupts then only signal the events (no park, no held I/O).
extern volatile UCHAR CONFIG_BUSY;
// Interrupt-release attempts made while the interrupt stays asserted.
extern volatile UCHAR INT_RELEASE_RETRY;

// Prepares the locks of the sensor engine (SMBus, named events) for a new
// filter device, before its thread starts.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_InitializeSensorEngine(VOID);

// The thread; the start context is the filter device object.
KSTART_ROUTINE ZHP_SensorStatusThread;

// Asks the thread to end and waits until it no longer touches the record.
// Releases the reference on the thread object if there is one.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_StopSensorThread(_In_ PDEVICE_EXTENSION Extension);

// One idle tick: sample the interrupt line and drive the free-fall state machine.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_Proc_INT_Status(_In_ PDEVICE_EXTENSION Extension);

// TRUE if the pin bit of the GPIO level register is 1 (the sensor's
// interrupt is asserted). Addresses up to 0xFFFF are I/O ports, others
// physical memory.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN TriggerPinConfirm(_In_ ULONG Address, _In_ UCHAR Pin);

}  // extern "C"
