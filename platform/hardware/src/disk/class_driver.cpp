// The disk class driver: one functional device object per disk, named
// \Device\HarddiskN\DR N with the link \DosDevices\PhysicalDriveN, that
// passes every request down to the disk's physical device object. Start is
// forwarded synchronously (the lower drivers start first); removal is
// forwarded, then the device detaches from the disk and is deleted.
//
// An upper filter that waits for the lower drivers' removal before it
// detaches is still attached when the removal reaches this driver; deleting
// the device then leaves it pending until the filter detaches.
//
// Power: the driver follows the disk's device power state from the
// set-power requests that pass through it. A read or write that arrives
// while the disk is in D3 waits here, in a cancel-safe queue, while the
// driver asks for D0 with PoRequestPowerIrp, as Windows' disk class driver
// does for a disk that was powered down when idle: that request goes down the
// whole stack, upper filters included. Once it is done the waiting requests
// go down in arrival order; if it fails they fail with its status. A device
// control that arrives meanwhile (an ATA command, a park) waits behind them,
// so that it reaches the disk after the reads and writes sent before it.

#include "hw/storage.h"
#include "request_list.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <new>
#include <vector>

namespace hw {
namespace {

constexpr ULONG kFdoMagic = 0x6F446448;  // "HdDo"

struct FdoExtension {
    ULONG magic;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    ULONG number;
    bool removed;
    WCHAR link[48];
    KSPIN_LOCK powerLock;  // guards power and poweringUp; taken before the waiting list's lock
    DEVICE_POWER_STATE power;
    bool poweringUp;  // a D0 request of ours is on its way
    RequestList waiting;  // reads and writes waiting for D0
};

// Disk numbers of this driver's load; DriverEntry starts them at 0.
ULONG gNextDiskNumber = 0;

FdoExtension* Ext(PDEVICE_OBJECT device) { return static_cast<FdoExtension*>(device->DeviceExtension); }

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* ext = Ext(device);
    if (ext->removed) return CompleteRequest(irp, STATUS_DELETE_PENDING);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

// ------------------------------------------------------------------ waiting for D0

// Passes the waiting requests down (or fails them) until none is left; only
// then does a new read or write stop waiting, so none overtakes them.
void ReleaseWaiting(FdoExtension* ext, NTSTATUS status) {
    for (;;) {
        while (PIRP irp = IoCsqRemoveNextIrp(&ext->waiting.csq, nullptr)) {
            if (NT_SUCCESS(status) && !ext->removed) {
                IoSkipCurrentIrpStackLocation(irp);
                IoCallDriver(ext->lower, irp);
            } else {
                CompleteRequest(irp, NT_SUCCESS(status) ? STATUS_DELETE_PENDING : status);
            }
        }
        KIRQL powerIrql;
        KeAcquireSpinLock(&ext->powerLock, &powerIrql);
        KIRQL queueIrql;
        KeAcquireSpinLock(&ext->waiting.lock, &queueIrql);
        const bool empty = IsListEmpty(&ext->waiting.list);
        KeReleaseSpinLock(&ext->waiting.lock, queueIrql);
        if (empty) ext->poweringUp = false;
        KeReleaseSpinLock(&ext->powerLock, powerIrql);
        if (empty) return;
    }
}

VOID PoweredUp(PDEVICE_OBJECT device, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK ioStatus) {
    ReleaseWaiting(Ext(device), ioStatus->Status);
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* ext = Ext(device);
    if (ext->removed) return CompleteRequest(irp, STATUS_DELETE_PENDING);
    KIRQL irql;
    KeAcquireSpinLock(&ext->powerLock, &irql);
    const bool wait = ext->power == PowerDeviceD3 || ext->poweringUp;
    const bool powerUp = wait && !ext->poweringUp;
    if (powerUp) ext->poweringUp = true;
    if (wait) IoCsqInsertIrp(&ext->waiting.csq, irp, nullptr);
    KeReleaseSpinLock(&ext->powerLock, irql);
    if (!wait) return PassDown(device, irp);
    if (powerUp) {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        const NTSTATUS status = PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, PoweredUp, nullptr, nullptr);
        if (status != STATUS_PENDING) ReleaseWaiting(ext, status);
    }
    return STATUS_PENDING;
}

// A device control needs no power of its own, but one that arrives while
// reads and writes wait for D0 must not overtake them.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* ext = Ext(device);
    if (ext->removed) return CompleteRequest(irp, STATUS_DELETE_PENDING);
    KIRQL irql;
    KeAcquireSpinLock(&ext->powerLock, &irql);
    const bool wait = ext->poweringUp;
    if (wait) IoCsqInsertIrp(&ext->waiting.csq, irp, nullptr);
    KeReleaseSpinLock(&ext->powerLock, irql);
    return wait ? STATUS_PENDING : PassDown(device, irp);
}

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits until the lower drivers are done with it.
NTSTATUS ForwardAndWait(FdoExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

// Follows the disk's device power state as the lower drivers set it.
NTSTATUS DevicePowerSet(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        FdoExtension* ext = Ext(device);
        KIRQL irql;
        KeAcquireSpinLock(&ext->powerLock, &irql);
        ext->power = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
        KeReleaseSpinLock(&ext->powerLock, irql);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* ext = Ext(device);
    PoStartNextPowerIrp(irp);
    if (ext->removed) return CompleteRequest(irp, STATUS_DELETE_PENDING);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, DevicePowerSet, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(ext->lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* ext = Ext(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        const NTSTATUS status = ForwardAndWait(ext, irp);
        return CompleteRequest(irp, status);
    }
    case IRP_MN_REMOVE_DEVICE: {
        ext->removed = true;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(ext->lower, irp);
        // The lower drivers have answered every request of ours, a D0
        // request included; what still waits for power fails.
        ReleaseWaiting(ext, STATUS_DELETE_PENDING);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->link);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    const ULONG number = gNextDiskNumber++;
    WCHAR name[48];
    swprintf(name, 48, L"\\Device\\Harddisk%lu\\DR%lu", static_cast<unsigned long>(number),
             static_cast<unsigned long>(number));
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT fdo = nullptr;
    const ULONG characteristics =
        pdo->Characteristics & (FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE);
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), &deviceName, FILE_DEVICE_DISK,
                                     characteristics | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = new (fdo->DeviceExtension) FdoExtension{};
    ext->magic = kFdoMagic;
    ext->self = fdo;
    ext->pdo = pdo;
    ext->number = number;
    ext->power = PowerDeviceD0;  // the notebook has booted from the disk: it is spinning
    KeInitializeSpinLock(&ext->powerLock);
    InitializeRequestList(&ext->waiting);
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    swprintf(ext->link, 48, L"\\DosDevices\\PhysicalDrive%lu", static_cast<unsigned long>(number));
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->link);
    IoCreateSymbolicLink(&link, &deviceName);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DiskClassDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    gNextDiskNumber = 0;
    for (auto& entry : driver->MajorFunction) entry = PassDown;
    driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

}  // namespace hw
