#include "sensor/free_fall.h"

#include "core/driver_globals.h"
#include "core/trace.h"
#include "sensor/hw_config.h"

static_assert(IOCTL_ATA_PASS_THROUGH == 0x0004D02C, "the platform's ATA pass-through code");

extern "C" {

// Held while the event fields of the filter's record are read for signalling
// or changed, so that an event is never set after its handle was closed.
KSPIN_LOCK FFEventLock;

_Use_decl_annotations_
VOID ZHP_InitializeFFEventLock(VOID) {
    KeInitializeSpinLock(&FFEventLock);
}

_Use_decl_annotations_
NTSTATUS ParkHeads(const UCHAR* AtaCommand) {
    union {
        ATA_PASS_THROUGH_EX Header;
        UCHAR Bytes[ZHP_PARK_REQUEST_SIZE];
    } request;
    static_assert(sizeof(request) == ZHP_PARK_REQUEST_SIZE, "one 560-byte buffer, in and out");

    RtlZeroMemory(&request, sizeof(request));
    request.Header.Length = sizeof(ATA_PASS_THROUGH_EX);
    request.Header.AtaFlags = ATA_FLAGS_DRDY_REQUIRED;
    request.Header.DataTransferLength = ZHP_PARK_DATA_SIZE;
    request.Header.TimeOutValue = ZHP_PARK_TIMEOUT_SECONDS;
    request.Header.DataBufferOffset = sizeof(ATA_PASS_THROUGH_EX);
    // Features, sector count, LBA low, mid, high, device, command; byte 7 of
    // the image is not sent.
    for (int i = 0; i < 7; ++i) {
        request.Header.CurrentTaskFile[i] = AtaCommand[i];
    }

    PDEVICE_OBJECT filter = FilterDeviceObject;
    if (filter == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT target = ((PDEVICE_EXTENSION)filter->DeviceExtension)->LowerDeviceObject;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ATA_PASS_THROUGH, target, &request, sizeof(request), &request,
                                             sizeof(request), FALSE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = IofCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

_Use_decl_annotations_
VOID ZHP_FFDetected(PDEVICE_EXTENSION Extension) {
    ZHP_ClearFlags(Extension, FLAG_IO_RESUMED);
    ZHP_ClearFlags(Extension, FLAG_FALL_CLEARED);

    // Reads and writes are held from here on, before the park: one passed
    // down while the heads unload would wait behind the park command in the
    // disk and load the heads again while the notebook is still falling.
    InterlockedExchange((volatile LONG*)&Extension->ReadQueued, 0);
    InterlockedExchange((volatile LONG*)&Extension->WriteQueued, 0);
    ZHP_SetFlags(Extension, FLAG_FREE_FALL);

    ParkHeads(SATA_CMD);

    LARGE_INTEGER dueTime;
    dueTime.QuadPart = ZHP_RECOVERY_DELAY_100NS;
    KeSetTimer(&Extension->RecoveryTimer, dueTime, &Extension->RecoveryDpc);
    // A release that was already queued belongs to the previous fall.
    KeRemoveQueueDpc(&Extension->RecoveryDpc);

    // FLAG_IO_BLOCKED takes over from FLAG_FREE_FALL; setting it first keeps
    // the disk blocked throughout.
    ZHP_SetFlags(Extension, FLAG_IO_BLOCKED);
    ULONG flag = ZHP_ClearFlags(Extension, FLAG_FREE_FALL);

    ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN,
              "ZHP_FFDetected(): The Filter driver will park disk, Flag = 0x%08x Outstanding IO = %d\n", flag,
              (int)Extension->OutstandingIo);

    SignalFFEvent(Extension->FreeFallEvent, Extension);
}

_Use_decl_annotations_
VOID ZHP_FFCleared(PDEVICE_EXTENSION Extension) {
    ULONG flag = Extension->Flag;
    ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN, "ZHP_FFCleared(): The sensor is resumed, Device 0x%p, Flag = 0x%08x ",
              (PVOID)Extension->DeviceObject, flag);

    // Only the first clearing of a fall re-arms the timer, and only while I/O is held.
    if ((flag & FLAG_FALL_CLEARED) == 0 && (flag & (FLAG_FREE_FALL | FLAG_IO_BLOCKED)) != 0) {
        flag = ZHP_SetFlags(Extension, FLAG_FALL_CLEARED);
        ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_PLAIN,
                  "ZHP_FFCleared(): The sensor is resumed, Flag = 0x%08x Reset the timer \n", flag);
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = ZHP_RECOVERY_DELAY_100NS;
        KeSetTimer(&Extension->RecoveryTimer, dueTime, &Extension->RecoveryDpc);
    }

    SignalFFEvent(Extension->FreeFallClearedEvent, Extension);
}

_Use_decl_annotations_
VOID ZHP_CreateFFEvents(PDEVICE_EXTENSION Extension) {
    UNICODE_STRING fallName;
    RtlInitUnicodeString(&fallName, ZHP_FREE_FALL_EVENT_KERNEL_NAME);
    HANDLE fallHandle;
    PKEVENT fallEvent = IoCreateNotificationEvent(&fallName, &fallHandle);
    if (fallEvent == NULL) {
        return;
    }

    UNICODE_STRING clearedName;
    RtlInitUnicodeString(&clearedName, ZHP_FREE_FALL_CLEARED_EVENT_KERNEL_NAME);
    HANDLE clearedHandle;
    PKEVENT clearedEvent = IoCreateNotificationEvent(&clearedName, &clearedHandle);
    if (clearedEvent == NULL) {
        ZwClose(fallHandle);
        return;
    }

    KeClearEvent(fallEvent);
    KeClearEvent(clearedEvent);

    // Events opened earlier (switching on again after a power change) are
    // replaced; their handles are closed so that none leaks.
    KIRQL irql;
    KeAcquireSpinLock(&FFEventLock, &irql);
    HANDLE oldFallHandle = Extension->FreeFallEventHandle;
    HANDLE oldClearedHandle = Extension->FreeFallClearedEventHandle;
    Extension->FreeFallEvent = fallEvent;
    Extension->FreeFallEventHandle = fallHandle;
    Extension->FreeFallClearedEvent = clearedEvent;
    Extension->FreeFallClearedEventHandle = clearedHandle;
    KeReleaseSpinLock(&FFEventLock, irql);

    if (oldFallHandle != NULL) {
        ZwClose(oldFallHandle);
    }
    if (oldClearedHandle != NULL) {
        ZwClose(oldClearedHandle);
    }
}

_Use_decl_annotations_
VOID ZHP_CloseFFEvents(PDEVICE_EXTENSION Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&FFEventLock, &irql);
    HANDLE fallHandle = Extension->FreeFallEventHandle;
    HANDLE clearedHandle = Extension->FreeFallClearedEventHandle;
    Extension->FreeFallEvent = NULL;
    Extension->FreeFallEventHandle = NULL;
    Extension->FreeFallClearedEvent = NULL;
    Extension->FreeFallClearedEventHandle = NULL;
    KeReleaseSpinLock(&FFEventLock, irql);

    if (fallHandle != NULL) {
        ZwClose(fallHandle);
    }
    if (clearedHandle != NULL) {
        ZwClose(clearedHandle);
    }
}

_Use_decl_annotations_
VOID SignalFFEvent(PKEVENT Event, PDEVICE_EXTENSION Extension) {
    ULONG flag = Extension->Flag;
    if ((flag & FLAG_INITIALIZED) == 0 || (flag & FLAG_SENSOR_ON) == 0 || Event == NULL) {
        return;
    }
    // The event is set only if it is still one of the open events.
    KIRQL irql;
    KeAcquireSpinLock(&FFEventLock, &irql);
    if (Event == Extension->FreeFallEvent || Event == Extension->FreeFallClearedEvent) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&FFEventLock, irql);
}

}  // extern "C"
