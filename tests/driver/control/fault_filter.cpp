#include "fault_filter.h"

namespace zhptest {
namespace {

FaultFilterSettings gSettings;
FaultFilterRecord gRecord;

struct FilterExtension {
    PDEVICE_OBJECT lower;
    KTIMER startTimer;
    KDPC startDpc;
    PIRP heldStart;
};

FilterExtension* Ext(PDEVICE_OBJECT device) { return static_cast<FilterExtension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(device)->lower, irp);
}

VOID FailHeldStart(PKDPC, PVOID context, PVOID, PVOID) {
    FilterExtension* ext = static_cast<FilterExtension*>(context);
    PIRP irp = ext->heldStart;
    ext->heldStart = nullptr;
    DbgPrint("FaultFilter: start failed below\n");
    gRecord.startFailed = true;
    Complete(irp, gSettings.failStart);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* ext = Ext(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (NT_SUCCESS(gSettings.failStart)) return PassDown(device, irp);
        IoMarkIrpPending(irp);
        ext->heldStart = irp;
        gRecord.startPended = true;
        {
            LARGE_INTEGER due;
            due.QuadPart = -5 * 10000LL;  // 5 ms
            KeSetTimer(&ext->startTimer, due, &ext->startDpc);
        }
        return STATUS_PENDING;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        if (NT_SUCCESS(gSettings.failUsageNotification)) return PassDown(device, irp);
        return Complete(irp, gSettings.failUsageNotification);
    case IRP_MN_REMOVE_DEVICE: {
        KeCancelTimer(&ext->startTimer);
        KeFlushQueuedDpcs();
        NTSTATUS status = PassDown(device, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(device, irp);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
        !NT_SUCCESS(gSettings.failSetPower)) {
        return Complete(irp, gSettings.failSetPower);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, pdo->DeviceType, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    FilterExtension* ext = Ext(device);
    RtlZeroMemory(ext, sizeof(*ext));
    KeInitializeTimer(&ext->startTimer);
    KeInitializeDpc(&ext->startDpc, FailHeldStart, ext);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext->lower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

FaultFilterSettings& FaultFilter() { return gSettings; }
const FaultFilterRecord& FaultFilterSeen() { return gRecord; }

NTSTATUS FaultFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    gSettings = FaultFilterSettings();
    gRecord = FaultFilterRecord();
    for (auto& entry : driver->MajorFunction) entry = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

}  // namespace zhptest
