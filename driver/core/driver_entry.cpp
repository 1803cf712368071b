#include "core/add_device.h"
#include "core/create_close.h"
#include "core/forwarding.h"
#include "core/held_io_queue.h"
#include "core/pnp_power.h"
#include "control/device_control.h"

extern "C" {

_Use_decl_annotations_
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    // Cleanup, internal device control and every other request take the
    // default pass-through.
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = ZHP_DispatchDefault;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = ZHP_CreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = ZHP_CreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = ZHP_Read;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = ZHP_Write;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = ZHP_Flush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZHP_DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = ZHP_Shutdown;
    DriverObject->MajorFunction[IRP_MJ_POWER] = ZHP_DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = ZHP_DispatchPnp;

    DriverObject->DriverExtension->AddDevice = ZHP_AddDevice;
    DriverObject->DriverUnload = ZHP_Unload;
    return STATUS_SUCCESS;
}

}  // extern "C"
