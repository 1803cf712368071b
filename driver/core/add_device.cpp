#include "core/add_device.h"

#include "core/debug_check.h"
#include "core/driver_globals.h"
#include "core/filter_guard.h"
#include "core/held_io_queue.h"
#include "core/trace.h"
#include "sensor/hw_config.h"
#include "sensor/status_thread.h"

// Only the first 64 characters of the bottom driver's name take part in the tests.
#define ZHP_DRIVER_NAME_CHARACTERS 64
#define ZHP_OBJECT_NAME_BUFFER_SIZE 512

namespace {

// Deletes a filter device that never joined the disk stack, after its thread
// has ended: nothing may run against a device that is never attached.
VOID AbandonFilterDevice(PDEVICE_OBJECT FilterDevice, PDEVICE_EXTENSION Extension, BOOLEAN ThreadStarted) {
    Extension->Flag &= ~(ULONG)FLAG_INITIALIZED;
    if (ThreadStarted) {
        ZHP_StopSensorThread(Extension);
    }
    FilterDeviceObject = NULL;
    IoDeleteDevice(FilterDevice);
}

}  // namespace

extern "C" {

_Use_decl_annotations_
BOOLEAN ZHP_NameContains(PCUNICODE_STRING Name, PCUNICODE_STRING Part) {
    if (RtlEqualUnicodeString(Name, Part, TRUE)) {
        return TRUE;
    }
    ULONG nameLength = Name->Length / sizeof(WCHAR);
    ULONG partLength = Part->Length / sizeof(WCHAR);
    for (ULONG i = 0; i + partLength <= nameLength; ++i) {
        UNICODE_STRING window;
        window.Buffer = Name->Buffer + i;
        window.Length = (USHORT)(partLength * sizeof(WCHAR));
        window.MaximumLength = window.Length;
        if (RtlEqualUnicodeString(&window, Part, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

_Use_decl_annotations_
VOID ZHP_QueryObjectName(PVOID Object, PUNICODE_STRING Result) {
    ZHP_PAGED_CODE();
    union {
        OBJECT_NAME_INFORMATION Information;
        UCHAR Bytes[ZHP_OBJECT_NAME_BUFFER_SIZE];
    } name;
    ULONG returnedLength = 0;
    NTSTATUS status = ObQueryNameString(Object, &name.Information, sizeof(name), &returnedLength);

    Result->Length = 0;
    if (NT_SUCCESS(status)) {
        RtlCopyUnicodeString(Result, &name.Information.Name);
    }
}

_Use_decl_annotations_
NTSTATUS ZHP_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    ZHP_PAGED_CODE();

    if (PhysicalDeviceObject->Characteristics &
        (FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE)) {
        return STATUS_SUCCESS;
    }

    // The driver at the bottom of the stack tells USB and SD card disks apart.
    WCHAR driverNameBuffer[ZHP_DRIVER_NAME_CHARACTERS];
    UNICODE_STRING driverName;
    driverName.Buffer = driverNameBuffer;
    driverName.Length = 0;
    driverName.MaximumLength = sizeof(driverNameBuffer);
    PDEVICE_OBJECT bottomDevice = IoGetDeviceAttachmentBaseRef(PhysicalDeviceObject);
    ZHP_QueryObjectName(bottomDevice->DriverObject, &driverName);
    ObDereferenceObject(bottomDevice);

    UNICODE_STRING usbStorage;
    RtlInitUnicodeString(&usbStorage, L"USBSTOR");
    if (ZHP_NameContains(&driverName, &usbStorage)) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING sdCard;
    RtlInitUnicodeString(&sdCard, L"SD");
    if (ZHP_NameContains(&driverName, &sdCard)) {
        return STATUS_SUCCESS;
    }

    // Only the first qualifying disk is filtered; the control device keeps
    // counting after that disk is gone.
    if (DriverObject->DeviceObject != NULL) {
        return STATUS_SUCCESS;
    }

    ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_PLAIN, "ZHP_AddDevice(): Filter driver 0x%x, physical device 0x%x",
              (ULONG)(ULONG_PTR)DriverObject, (ULONG)(ULONG_PTR)PhysicalDeviceObject);
    ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_AddDevice(): Adding First Device.\n");

    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, PhysicalDeviceObject->DeviceType,
                                     PhysicalDeviceObject->Characteristics, FALSE, &FilterDeviceObject);
    if (!NT_SUCCESS(status)) {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_ERROR, "ZHP_AddDevice(): Fail to create a devcie object");
        FilterDeviceObject = NULL;
        return status;
    }
    PDEVICE_OBJECT filterDevice = FilterDeviceObject;

    if (PhysicalDeviceObject->Flags & DO_BUFFERED_IO) {
        filterDevice->Flags |= DO_BUFFERED_IO;
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_AddDevice(): Set Buffered IO.\n");
    }
    if (PhysicalDeviceObject->Flags & DO_DIRECT_IO) {
        filterDevice->Flags |= DO_DIRECT_IO;
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_INFO, "ZHP_AddDevice(): Set Direct IO.\n");
    }

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)filterDevice->DeviceExtension;
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->DeviceObject = filterDevice;
    KeInitializeSpinLock(&extension->QueueLock);
    InitializeListHead(&extension->PendingIrpList);
    IoCsqInitialize(&extension->CancelSafeQueue, ZHP_CsqInsertIrp, ZHP_CsqRemoveIrp, ZHP_CsqPeekNextIrp,
                    ZHP_CsqAcquireLock, ZHP_CsqReleaseLock, ZHP_CsqCompleteCanceledIrp);
    KeInitializeEvent(&extension->DrainIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&extension->HeldIoGone, NotificationEvent, TRUE);
    KeInitializeEvent(&extension->PagingPathCountEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&extension->ThreadStopEvent, NotificationEvent, FALSE);
    KeInitializeTimer(&extension->RecoveryTimer);
    KeInitializeDpc(&extension->RecoveryDpc, ZHP_RecoveryDPC, FilterDeviceObject);
    ZHP_InitializeSensorEngine();
    ZHP_OpenFilterGuard();

    HANDLE threadHandle;
    status = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ZHP_SensorStatusThread,
                                  FilterDeviceObject);
    if (!NT_SUCCESS(status)) {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_ERROR,
                  "ZHP_AddDevice(): Fail to create sensor thread to handle state transaction.\n");
        AbandonFilterDevice(filterDevice, extension, FALSE);
        return status;
    }

    status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       (PVOID*)&extension->SensorThread, NULL);
    ZwClose(threadHandle);
    if (!NT_SUCCESS(status)) {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_ERROR, "ZHP_AddDevice(): sensor thread can not be referenced. \n");
        extension->SensorThread = NULL;
        AbandonFilterDevice(filterDevice, extension, TRUE);
        return status;
    }

    // Without a sensor that answers as configured there is nothing to
    // protect with. The probe has written ERR_CODE and traced its findings;
    // the filter declines the disk and leaves nothing behind. Failing the
    // add instead would keep the disk from starting, and the first
    // qualifying disk is normally the one Windows boots from.
    UCHAR errorCode = ZHP_Probe_RgtyKey_HW_INFO();
    if (errorCode != 0) {
        AbandonFilterDevice(filterDevice, extension, TRUE);
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_WARNING,
                  "ZHP_AddDevice(): No usable sensor (Err_code = 0x%x), physical device 0x%x is left unprotected\n",
                  (unsigned)errorCode, (ULONG)(ULONG_PTR)PhysicalDeviceObject);
        return STATUS_SUCCESS;
    }

    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(filterDevice, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_ERROR, "ZHP_AddDevice(): Fail to attach 0x%x to physical device 0x%x\n",
                  (ULONG)(ULONG_PTR)filterDevice, (ULONG)(ULONG_PTR)PhysicalDeviceObject);
        AbandonFilterDevice(filterDevice, extension, TRUE);
        return STATUS_NO_SUCH_DEVICE;
    }

    extension->DelayLevel = 5;
    extension->DispatchForwardCount = 0;

    // Without a control device the disk is still filtered.
    ZHP_AddGSensor(DriverObject, PhysicalDeviceObject, extension);

    filterDevice->Flags |= DO_POWER_PAGABLE;
    ZHP_SetFlags(extension, FLAG_INITIALIZED);
    filterDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    ZHP_Probe_RgtyKey_HW_INFO();
    ZHP_Probe_RgtyKey_OP_MODE();
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS ZHP_AddGSensor(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                        PDEVICE_EXTENSION FilterExtension) {
    UNICODE_STRING controlName;
    RtlInitUnicodeString(&controlName, ZHP_CONTROL_DEVICE_KERNEL_NAME);
    PDEVICE_OBJECT controlDevice;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &controlName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &controlDevice);
    if (!NT_SUCCESS(status)) {
        ZHP_Trace(ZHP_TRACE_PNP, ZHP_LEVEL_ERROR, "ZHP_AddGSensor(): Fail to create sensor device.\n");
        return status;
    }

    controlDevice->Flags |= DO_BUFFERED_IO;
    PDEVICE_EXTENSION controlExtension = (PDEVICE_EXTENSION)controlDevice->DeviceExtension;
    RtlZeroMemory(controlExtension, sizeof(DEVICE_EXTENSION));
    controlDevice->Flags |= DO_POWER_PAGABLE;

    controlExtension->DeviceObject = controlDevice;
    controlExtension->PhysicalDeviceObject = PhysicalDeviceObject;
    FilterExtension->FilterExtension = NULL;
    controlExtension->FilterExtension = FilterExtension;
    controlExtension->Flag |= FLAG_INITIALIZED;
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN, "ZHP_AddGSensor():  POW_RESUME.11 = TRUE");
    POW_RESUME = 1;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID ZHP_Unload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    ZHP_PAGED_CODE();
}

}  // extern "C"
