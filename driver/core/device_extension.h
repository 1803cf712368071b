// The device record shared by the disk filter device and the control device,
// and the driver's state word Flag.
#pragma once

#include <stddef.h>

#include <ntddk.h>
#include <csq.h>
#include <ntddscsi.h>

#include "shared/zhp_command.h"

// Bits of Flag. The disk is blocked (reads and writes are held) while
// FLAG_FREE_FALL or FLAG_IO_BLOCKED is set.
#define FLAG_INITIALIZED ZHP_FLAG_INITIALIZED
#define FLAG_SENSOR_ON ZHP_FLAG_SENSOR_ON
#define FLAG_SENSOR_OFF ZHP_FLAG_SENSOR_OFF
#define FLAG_CONFIG_IDLE ZHP_FLAG_CONFIG_IDLE
#define FLAG_FREE_FALL ZHP_FLAG_FREE_FALL
#define FLAG_FALL_CLEARED ZHP_FLAG_FALL_CLEARED
#define FLAG_IO_BLOCKED ZHP_FLAG_IO_BLOCKED
#define FLAG_IO_RESUMED ZHP_FLAG_IO_RESUMED

#define ZHP_SENSOR_DATA_SIZE 32

// One layout for both devices. The control device uses only Flag,
// DeviceObject, PhysicalDeviceObject and FilterExtension; a non-null
// FilterExtension marks the control device and points to the filter's record.
typedef struct _DEVICE_EXTENSION {
    ULONG Flag;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    struct _DEVICE_EXTENSION* FilterExtension;
    KEVENT PagingPathCountEvent;
    LONG PagingPathCount;
    PKEVENT FreeFallEvent;
    PKEVENT FreeFallClearedEvent;
    HANDLE FreeFallEventHandle;
    HANDLE FreeFallClearedEventHandle;
    LONG OutstandingIo;
    ULONG SensorOp;
    KTIMER RecoveryTimer;
    KDPC RecoveryDpc;
    ULONG DelayLevel;
    PKTHREAD SensorThread;
    KEVENT ThreadStopEvent;
    LIST_ENTRY PendingIrpList;
    IO_CSQ CancelSafeQueue;
    KSPIN_LOCK QueueLock;
    ULONG DevicePowerState;
    LONG IntState;
    KTIMER PollTimer;
    ULONG ReadQueued;
    ULONG WriteQueued;
    ULONG DispatchForwardCount;
    LONG RequestClaimed;
    PIRP SensorIrp;
    UCHAR SensorReadData[ZHP_SENSOR_DATA_SIZE];
    ULONG SensorXferPos;
    ULONG SensorXferCount;
    UCHAR SensorReadRegister;
    UCHAR SensorWriteData[ZHP_SENSOR_DATA_SIZE];
    // One routine at a time passes held requests on (guarded by QueueLock):
    // Draining marks it, DrainAsked is the work others left to it
    // (ZHP_DRAIN_* bits), DrainIdle is signalled while nobody drains.
    BOOLEAN Draining;
    ULONG DrainAsked;
    KEVENT DrainIdle;
    // Requests in the queue or taken out of it and not yet passed on or
    // completed (guarded by QueueLock); HeldIoGone is signalled at 0.
    LONG HeldIrpCount;
    KEVENT HeldIoGone;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The field order is part of the record's contract.
#define ZHP_FIELD_BEFORE(a, b) \
    static_assert(offsetof(DEVICE_EXTENSION, a) < offsetof(DEVICE_EXTENSION, b), #a " precedes " #b)
ZHP_FIELD_BEFORE(Flag, DeviceObject);
ZHP_FIELD_BEFORE(DeviceObject, LowerDeviceObject);
ZHP_FIELD_BEFORE(LowerDeviceObject, PhysicalDeviceObject);
ZHP_FIELD_BEFORE(PhysicalDeviceObject, FilterExtension);
ZHP_FIELD_BEFORE(FilterExtension, PagingPathCountEvent);
ZHP_FIELD_BEFORE(PagingPathCountEvent, PagingPathCount);
ZHP_FIELD_BEFORE(PagingPathCount, FreeFallEvent);
ZHP_FIELD_BEFORE(FreeFallEvent, FreeFallClearedEvent);
ZHP_FIELD_BEFORE(FreeFallClearedEvent, FreeFallEventHandle);
ZHP_FIELD_BEFORE(FreeFallEventHandle, FreeFallClearedEventHandle);
ZHP_FIELD_BEFORE(FreeFallClearedEventHandle, OutstandingIo);
ZHP_FIELD_BEFORE(OutstandingIo, SensorOp);
ZHP_FIELD_BEFORE(SensorOp, RecoveryTimer);
ZHP_FIELD_BEFORE(RecoveryTimer, RecoveryDpc);
ZHP_FIELD_BEFORE(RecoveryDpc, DelayLevel);
ZHP_FIELD_BEFORE(DelayLevel, SensorThread);
ZHP_FIELD_BEFORE(SensorThread, ThreadStopEvent);
ZHP_FIELD_BEFORE(ThreadStopEvent, PendingIrpList);
ZHP_FIELD_BEFORE(PendingIrpList, CancelSafeQueue);
ZHP_FIELD_BEFORE(CancelSafeQueue, QueueLock);
ZHP_FIELD_BEFORE(QueueLock, DevicePowerState);
ZHP_FIELD_BEFORE(DevicePowerState, IntState);
ZHP_FIELD_BEFORE(IntState, PollTimer);
ZHP_FIELD_BEFORE(PollTimer, ReadQueued);
ZHP_FIELD_BEFORE(ReadQueued, WriteQueued);
ZHP_FIELD_BEFORE(WriteQueued, DispatchForwardCount);
ZHP_FIELD_BEFORE(DispatchForwardCount, RequestClaimed);
ZHP_FIELD_BEFORE(RequestClaimed, SensorIrp);
ZHP_FIELD_BEFORE(SensorIrp, SensorReadData);
ZHP_FIELD_BEFORE(SensorReadData, SensorXferPos);
ZHP_FIELD_BEFORE(SensorXferPos, SensorXferCount);
ZHP_FIELD_BEFORE(SensorXferCount, SensorReadRegister);
ZHP_FIELD_BEFORE(SensorReadRegister, SensorWriteData);
ZHP_FIELD_BEFORE(SensorWriteData, Draining);
#undef ZHP_FIELD_BEFORE

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit words");
static_assert(sizeof(ATA_PASS_THROUGH_EX) == 48, "the 64-bit ATA pass-through header is 48 bytes");
static_assert(sizeof(ZHP_COMMAND_BLOCK) == ZHP_COMMAND_BLOCK_SIZE, "the command block is 80 bytes");
static_assert(offsetof(ZHP_COMMAND_BLOCK, OpMode) == 36, "OP word at offset 36");
static_assert(offsetof(ZHP_COMMAND_BLOCK, Data) == 40, "register data at offset 40");
static_assert(offsetof(ZHP_COMMAND_BLOCK, Count) == 64, "byte count at offset 64");
static_assert(offsetof(ZHP_COMMAND_BLOCK, Result) == 76, "result code at offset 76");

// Flag is shared by dispatch routines, the sensor status thread, the recovery
// DPC and the power completion routine: it changes only by interlocked OR and
// AND and is tested with plain reads.
inline ULONG ZHP_SetFlags(PDEVICE_EXTENSION Extension, ULONG Bits) {
    return (ULONG)InterlockedOr((volatile LONG*)&Extension->Flag, (LONG)Bits) | Bits;
}

inline ULONG ZHP_ClearFlags(PDEVICE_EXTENSION Extension, ULONG Bits) {
    return (ULONG)InterlockedAnd((volatile LONG*)&Extension->Flag, (LONG)~Bits) & ~Bits;
}

inline BOOLEAN ZHP_IsDiskBlocked(const DEVICE_EXTENSION* Extension) {
    return (*(volatile const ULONG*)&Extension->Flag & (FLAG_FREE_FALL | FLAG_IO_BLOCKED)) != 0;
}

// The control device's record points to the filter's; the filter's is its own state.
inline BOOLEAN ZHP_IsControlDevice(PDEVICE_OBJECT DeviceObject) {
    return ((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->FilterExtension != NULL;
}
