#include "core/pnp_power.h"

#include "core/debug_check.h"
#include "core/device_extension.h"
#include "core/driver_globals.h"
#include "core/forwarding.h"
#include "core/irp_decode.h"
#include "core/trace.h"
#include "sensor/power_resume.h"

extern "C" {

_Use_decl_annotations_
NTSTATUS ZHP_DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // The control device is in no power stack: nothing to pass on to.
    if (ZHP_IsControlDevice(DeviceObject)) {
        PoStartNextPowerIrp(Irp);
        return ZHP_CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
    }

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        PoStartNextPowerIrp(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        ZHP_SetCompletionRoutine(DeviceObject, Irp, ZHP_PowerComplete, NULL);
        return PoCallDriver(extension->LowerDeviceObject, Irp);
    }

    ZHP_DumpIrpOperation(TRUE, Irp);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS ZHP_PowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);

    ZHP_ASSERT(irpStack->MajorFunction == IRP_MJ_POWER);
    ZHP_ASSERT(irpStack->MinorFunction == IRP_MN_SET_POWER);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    ZHP_DumpIrpOperation(FALSE, Irp);

    // A failed power change changes nothing.
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        return Irp->IoStatus.Status;
    }

    ULONG newState = (ULONG)irpStack->Parameters.Power.State.DeviceState;

    // The sensor is held off until it has been set up again: by the next
    // control command, or by the sensor thread once the disk has settled.
    ZHP_NotePowerChange();
    ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN, "ZHP_PowerComplete():  POW_RESUME.12 = TRUE");
    POW_RESUME = 1;

    if (newState < extension->DevicePowerState) {
        ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN, "ZHP_PowerComplete(): The storage device is adding power");
        if (newState <= PowerDeviceD1) {
            // Protection comes back on, whatever it was before the disk lost power.
            ZHP_ClearFlags(extension, FLAG_SENSOR_OFF);
            ULONG flag = ZHP_SetFlags(extension, FLAG_SENSOR_ON);
            ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN,
                      "ZHP_PowerComplete(): The sensor status is resumed. Flag = 0x%08x\n", flag);
        }
    } else {
        ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN, "ZHP_PowerComplete(): The storage device is reducing power");
        ULONG flag = extension->Flag;
        if (newState > PowerDeviceD1 &&
            (extension->DevicePowerState == PowerDeviceD0 || extension->DevicePowerState == PowerDeviceD1) &&
            (flag & FLAG_SENSOR_ON)) {
            ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN,
                      "ZHP_PowerComplete(): The sensor status is stopped. Flag = 0x%08x, SensorOp=0x%08x\n", flag,
                      extension->SensorOp);
            ZHP_Trace(ZHP_TRACE_POWER, ZHP_LEVEL_PLAIN,
                      "ZHP_PowerComplete(): The sensor status is stopped. Flag = 0x%08x\n", flag);
        }
    }

    extension->DevicePowerState = newState;
    return Irp->IoStatus.Status;
}

}  // extern "C"
