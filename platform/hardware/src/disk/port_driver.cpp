// The disk port driver: the physical device object of each disk and the
// command queue in front of hw::Disk.
//
// One command is in the disk at a time. A request that needs the disk is
// stamped with its arrival time and put in a cancel-safe queue; whoever finds
// the disk idle (the dispatch routine, or the timer DPC that finished the
// previous command) takes the next request out, asks the disk for its
// timeline and arms the timer for its reply. `busy` says that somebody owns
// the disk; it is claimed and released under the queue lock.
#include "port_driver.h"

#include "hw/storage.h"
#include "request_list.h"

#include <csq.h>
#include <ntddscsi.h>
#include <hostkernel/kernel.h>

#include <algorithm>
#include <new>

#ifndef STATUS_MEDIA_WRITE_PROTECTED
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2L)
#endif

namespace hw {
namespace {

constexpr ULONG kPdoMagic = 0x6F447048;  // "HpDo"

struct PdoExtension {
    ULONG magic;
    PDEVICE_OBJECT self;
    Disk* disk;
    RequestList requests;  // its lock also guards busy and removed
    KTIMER timer;
    KDPC dpc;
    KEVENT idle;  // signalled while nobody owns the disk
    bool busy;
    bool removed;
    bool started;
    // Owned by whoever holds `busy`:
    PIRP current;
    bool answered;  // the current request was answered before the disk was done (time-out)
    DiskOperation op;
};

PdoExtension* Ext(PDEVICE_OBJECT device) { return static_cast<PdoExtension*>(device->DeviceExtension); }

// The disk keeps exact time, not the clock interrupt's.
hk::Time100ns Now() { return hk::Kernel::Current().Now(); }

// The arrival time rides in the request while the port driver owns it.
void StampArrival(PIRP irp) { irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(Now()); }
hk::Time100ns ArrivalOf(PIRP irp) { return reinterpret_cast<hk::Time100ns>(irp->Tail.Overlay.DriverContext[0]); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT) {
    return CompleteDiskRequest(irp, status, information, boost);
}

// ------------------------------------------------------------------ queue

// A queued request that is not being cancelled (caller holds the lock). A
// request whose cancel routine is gone belongs to its canceller, who may be
// waiting for this very lock.
bool AnyTakeable(PdoExtension* ext) {
    for (PLIST_ENTRY e = ext->requests.list.Flink; e != &ext->requests.list; e = e->Flink) {
        if (CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry)->CancelRoutine != nullptr) return true;
    }
    return false;
}

void FailQueued(PdoExtension* ext, NTSTATUS status) {
    while (PIRP irp = IoCsqRemoveNextIrp(&ext->requests.csq, nullptr)) Complete(irp, status);
}

// ------------------------------------------------------------------ commands

void ArmTimer(PdoExtension* ext, hk::Time100ns at) {
    LARGE_INTEGER due;
    due.QuadPart = -std::max<hk::Time100ns>(1, at - Now());
    KeSetTimer(&ext->timer, due, &ext->dpc);
}

DiskRequest RequestOf(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    DiskRequest request;
    request.received = ArrivalOf(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        request.kind = sp->MajorFunction == IRP_MJ_READ ? DiskCommandKind::Read : DiskCommandKind::Write;
        request.offset = static_cast<std::uint64_t>(sp->Parameters.Read.ByteOffset.QuadPart);
        request.length = sp->Parameters.Read.Length;
        break;
    case IRP_MJ_DEVICE_CONTROL: {
        const auto* header = static_cast<const ATA_PASS_THROUGH_EX*>(irp->AssociatedIrp.SystemBuffer);
        request.kind = DiskCommandKind::Ata;
        const UCHAR* r = header->CurrentTaskFile;
        request.task = AtaTaskFile{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]};
        request.timeout = static_cast<hk::Time100ns>(header->TimeOutValue) * hk::kSecond;
        break;
    }
    case IRP_MJ_POWER:
        request.kind = DiskCommandKind::Power;
        request.power = static_cast<DevicePower>(sp->Parameters.Power.State.DeviceState);
        break;
    default:  // flush and shutdown: the disk has nothing cached, but waits for the commands before them
        request.kind = DiskCommandKind::Flush;
        break;
    }
    return request;
}

PUCHAR TransferBuffer(PIRP irp) {
    if (irp->MdlAddress != nullptr) {
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    }
    if (irp->AssociatedIrp.SystemBuffer != nullptr) return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    return static_cast<PUCHAR>(irp->UserBuffer);
}

// Completes the request of a command with what the disk reports.
void Answer(PdoExtension* ext, PIRP irp, const DiskOperation& op) {
    const DiskRequest& request = op.request;
    switch (request.kind) {
    case DiskCommandKind::Read:
    case DiskCommandKind::Write: {
        if (op.outcome == DiskOutcome::WriteProtected) {
            Complete(irp, STATUS_MEDIA_WRITE_PROTECTED);
        } else if (op.outcome != DiskOutcome::Ok) {
            Complete(irp, STATUS_IO_DEVICE_ERROR);
        } else {
            PUCHAR buffer = TransferBuffer(irp);
            if (request.kind == DiskCommandKind::Read) {
                ext->disk->ReadData(request.offset, buffer, request.length);
            } else {
                ext->disk->WriteData(request.offset, buffer, request.length);
            }
            Complete(irp, STATUS_SUCCESS, request.length, IO_DISK_INCREMENT);
        }
        return;
    }
    case DiskCommandKind::Ata: {
        if (op.outcome == DiskOutcome::TimedOut) {
            Complete(irp, STATUS_IO_TIMEOUT);
            return;
        }
        auto* header = static_cast<ATA_PASS_THROUGH_EX*>(irp->AssociatedIrp.SystemBuffer);
        const AtaTaskFile& t = op.reply_task;
        const UCHAR registers[8] = {t.features, t.count, t.lba_low, t.lba_mid, t.lba_high, t.device, t.command, 0};
        RtlZeroMemory(header->PreviousTaskFile, sizeof(header->PreviousTaskFile));
        RtlCopyMemory(header->CurrentTaskFile, registers, sizeof(registers));
        // Non-data commands return the header only.
        Complete(irp, STATUS_SUCCESS, sizeof(ATA_PASS_THROUGH_EX));
        return;
    }
    case DiskCommandKind::Power: {
        POWER_STATE state;
        state.DeviceState = static_cast<DEVICE_POWER_STATE>(request.power);
        PoSetPowerState(ext->self, DevicePowerState, state);
        Complete(irp, STATUS_SUCCESS);
        return;
    }
    case DiskCommandKind::Flush:
        Complete(irp, STATUS_SUCCESS);
        return;
    }
}

// Runs commands while the caller owns the disk (`busy`); returns once a
// command is in the disk or the queue is empty, releasing the disk then.
void RunNext(PdoExtension* ext) {
    for (;;) {
        if (ext->removed) FailQueued(ext, STATUS_NO_SUCH_DEVICE);
        PIRP irp = IoCsqRemoveNextIrp(&ext->requests.csq, nullptr);
        if (irp != nullptr) {
            ext->current = irp;
            ext->answered = false;
            ext->op = ext->disk->Begin(RequestOf(irp), Now());
            ArmTimer(ext, ext->op.reply);
            return;
        }
        KIRQL irql;
        KeAcquireSpinLock(&ext->requests.lock, &irql);
        const bool more = AnyTakeable(ext);
        if (!more) {
            ext->busy = false;
            KeSetEvent(&ext->idle, IO_NO_INCREMENT, FALSE);
        }
        KeReleaseSpinLock(&ext->requests.lock, irql);
        if (!more) return;
    }
}

// Takes the disk if nobody owns it and starts the next command.
void Kick(PdoExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->requests.lock, &irql);
    const bool claimed = !ext->busy;
    if (claimed) {
        ext->busy = true;
        KeClearEvent(&ext->idle);
    }
    KeReleaseSpinLock(&ext->requests.lock, irql);
    if (claimed) RunNext(ext);
}

VOID CommandTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ext = static_cast<PdoExtension*>(context);
    const DiskOperation& op = ext->op;
    if (!ext->answered && op.reply < op.done) {
        // Timed out: the caller hears now, the disk carries on.
        ext->answered = true;
        Answer(ext, ext->current, op);
        ext->current = nullptr;
        ArmTimer(ext, op.done);
        return;
    }
    ext->disk->Finish(op);
    if (!ext->answered) Answer(ext, ext->current, op);
    ext->current = nullptr;
    RunNext(ext);
}

NTSTATUS Queue(PdoExtension* ext, PIRP irp) {
    StampArrival(irp);
    IoCsqInsertIrp(&ext->requests.csq, irp, nullptr);
    Kick(ext);
    return STATUS_PENDING;
}

// Requests the disk cannot take now fail here: gone, or not started yet.
bool Refuse(PdoExtension* ext, PIRP irp, NTSTATUS* status) {
    if (ext->removed) {
        *status = Complete(irp, STATUS_NO_SUCH_DEVICE);
        return true;
    }
    if (!ext->started) {
        *status = Complete(irp, STATUS_DEVICE_NOT_READY);
        return true;
    }
    return false;
}

// ------------------------------------------------------------------ dispatch

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp) {
    PdoExtension* ext = Ext(device);
    NTSTATUS status;
    if (Refuse(ext, irp, &status)) return status;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const LONGLONG offset = sp->Parameters.Read.ByteOffset.QuadPart;
    const ULONG length = sp->Parameters.Read.Length;
    const auto capacity = static_cast<LONGLONG>(ext->disk->CapacityBytes());
    if (offset < 0 || offset % kSectorSize != 0 || length % kSectorSize != 0 || offset > capacity ||
        static_cast<LONGLONG>(length) > capacity - offset) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    if (length == 0) return Complete(irp, STATUS_SUCCESS);
    if (TransferBuffer(irp) == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Queue(ext, irp);
}

NTSTATUS DispatchFlush(PDEVICE_OBJECT device, PIRP irp) {
    PdoExtension* ext = Ext(device);
    NTSTATUS status;
    if (Refuse(ext, irp, &status)) return status;
    return Queue(ext, irp);
}

bool ValidAtaPassThrough(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const auto* header = static_cast<const ATA_PASS_THROUGH_EX*>(irp->AssociatedIrp.SystemBuffer);
    if (header == nullptr || in < sizeof(ATA_PASS_THROUGH_EX) || out < sizeof(ATA_PASS_THROUGH_EX)) return false;
    if (header->Length != sizeof(ATA_PASS_THROUGH_EX)) return false;
    if (header->DataTransferLength == 0) return true;
    const ULONG_PTR size = std::max(in, out);
    return header->DataBufferOffset >= sizeof(ATA_PASS_THROUGH_EX) && header->DataBufferOffset <= size &&
           header->DataTransferLength <= size - header->DataBufferOffset;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PdoExtension* ext = Ext(device);
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode != IOCTL_ATA_PASS_THROUGH) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    NTSTATUS status;
    if (Refuse(ext, irp, &status)) return status;
    if (!ValidAtaPassThrough(irp)) return Complete(irp, STATUS_INVALID_PARAMETER);
    return Queue(ext, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PdoExtension* ext = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (sp->Parameters.Power.Type == DevicePowerState) {
            if (ext->removed) return Complete(irp, STATUS_NO_SUCH_DEVICE);
            const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
            if (state < PowerDeviceD0 || state > PowerDeviceD3) return Complete(irp, STATUS_INVALID_PARAMETER);
            return Queue(ext, irp);  // D3 spins the disk down: a command like the others
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

void RemoveDevice(PdoExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->requests.lock, &irql);
    ext->removed = true;
    ext->started = false;
    KeReleaseSpinLock(&ext->requests.lock, irql);
    FailQueued(ext, STATUS_NO_SUCH_DEVICE);
    KeWaitForSingleObject(&ext->idle, Executive, KernelMode, FALSE, nullptr);
    KeFlushQueuedDpcs();
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PdoExtension* ext = Ext(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ext->removed = false;
        ext->started = true;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        ext->started = false;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        RemoveDevice(ext);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return Complete(irp, STATUS_SUCCESS);
    default:
        // A bus driver leaves requests it does not handle as they are.
        return Complete(irp, irp->IoStatus.Status);
    }
}

}  // namespace

NTSTATUS DiskPortDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchFlush;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

namespace port_driver {

NTSTATUS ReportDisk(PDRIVER_OBJECT bus, Disk& disk, const std::wstring& name, PDEVICE_OBJECT* pdo) {
    const DiskConfig& config = disk.Config();
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN | FILE_AUTOGENERATED_DEVICE_NAME;
    if (config.removable) characteristics |= FILE_REMOVABLE_MEDIA;
    if (config.read_only) characteristics |= FILE_READ_ONLY_DEVICE;
    if (config.floppy) characteristics |= FILE_FLOPPY_DISKETTE;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.c_str());
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(bus, sizeof(PdoExtension), &deviceName, FILE_DEVICE_DISK, characteristics, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = new (device->DeviceExtension) PdoExtension{};
    ext->magic = kPdoMagic;
    ext->self = device;
    ext->disk = &disk;
    InitializeRequestList(&ext->requests);
    KeInitializeTimer(&ext->timer);
    hk::MarkTimerExact(&ext->timer);  // the disk's own timing, not the clock interrupt's
    KeInitializeDpc(&ext->dpc, CommandTimerDpc, ext);
    KeInitializeEvent(&ext->idle, NotificationEvent, TRUE);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *pdo = device;
    return STATUS_SUCCESS;
}

void DeleteGoneDisk(PDEVICE_OBJECT pdo) {
    PdoExtension* ext = Ext(pdo);
    if (!ext->removed) RemoveDevice(ext);  // never started, or started and not removed: quiesce first
    IoDeleteDevice(pdo);
}

bool HoldsRequest(PDEVICE_OBJECT pdo, PIRP irp) {
    PdoExtension* ext = Ext(pdo);
    return ext->current == irp || RequestListHolds(ext->requests, irp);
}

}  // namespace port_driver
}  // namespace hw
