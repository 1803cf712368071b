#include "test_control_driver.h"

#include <cstring>
#include <vector>

#include <ntddk.h>

#include <hostkernel/kernel.h>

namespace usertest {

namespace {

Counters gCounters;
std::vector<PIRP> gHeld;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    for (auto it = gHeld.begin(); it != gHeld.end(); ++it) {
        if (*it == irp) {
            gHeld.erase(it);
            break;
        }
    }
    gCounters.held = static_cast<std::uint32_t>(gHeld.size());
    gCounters.cancelled++;
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS CreateClose(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE: gCounters.creates++; break;
        case IRP_MJ_CLEANUP: gCounters.cleanups++; break;
        case IRP_MJ_CLOSE: gCounters.closes++; break;
        default: break;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT, PIRP irp) {
    gCounters.controls++;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case kEchoReversed: {
            ULONG n = in < out ? in : out;
            std::vector<unsigned char> copy(buffer, buffer + in);
            for (ULONG i = 0; i < n; ++i) buffer[i] = copy[in - 1 - i];
            return Complete(irp, STATUS_SUCCESS, n);
        }
        case kHold: {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, CancelHeld);
            IoMarkIrpPending(irp);
            gHeld.push_back(irp);
            gCounters.held = static_cast<std::uint32_t>(gHeld.size());
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        }
        case kRelease: {
            std::vector<PIRP> release;
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            for (PIRP held : gHeld) {
                if (IoSetCancelRoutine(held, nullptr) != nullptr) release.push_back(held);
            }
            gHeld.clear();
            gCounters.held = 0;
            IoReleaseCancelSpinLock(irql);
            for (PIRP held : release) {
                ULONG length = IoGetCurrentIrpStackLocation(held)->Parameters.DeviceIoControl.OutputBufferLength;
                Complete(held, STATUS_SUCCESS, length);
            }
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case kFail:
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        case kWarn:
            std::memset(buffer, 0xAB, out);
            return Complete(irp, STATUS_BUFFER_OVERFLOW, out);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    return STATUS_SUCCESS;
}

}  // namespace

void Load(hk::Kernel& kernel) {
    PDRIVER_OBJECT driver = kernel.LoadDriver(L"usertest", Entry);
    kernel.Call([&] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, kDeviceName);
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    });
}

Counters Read() { return gCounters; }

}  // namespace usertest
