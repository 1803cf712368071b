#include "control/device_control.h"

#include "core/device_extension.h"
#include "core/driver_globals.h"
#include "core/filter_guard.h"
#include "core/forwarding.h"
#include "core/irp_decode.h"
#include "core/trace.h"
#include "sensor/free_fall.h"
#include "sensor/hw_config.h"
#include "sensor/power_resume.h"
#include "sensor/sensor_transfer.h"
#include "sensor/status_thread.h"

static_assert(ZHP_IOCTL_COMMAND == CTL_CODE(FILE_DEVICE_DISK, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "the control code: disk device type, function 0x808, buffered, any access");

namespace {

// What a command asks of the request: its completion status, the bytes
// returned, or that it stays pending for the sensor status thread.
struct CommandOutcome {
    NTSTATUS Status;
    ULONG_PTR Information;
    BOOLEAN Pending;
};

struct CommandContext {
    PDEVICE_OBJECT DeviceObject;  // the receiving device
    PDEVICE_EXTENSION Receiver;   // its record, which holds FLAG_CONFIG_IDLE
    PDEVICE_EXTENSION State;      // the filter's record, where the protection state lives
    PIRP Irp;
    ZHP_COMMAND_BLOCK* Block;
    ULONG OutputLength;
};

VOID RefuseTransfer(const CommandContext& context) {
    context.Block->Count = 0;
    context.Block->Result = ZHP_RESULT_TRANSFER_REFUSED;
}

VOID WriteSensor(const CommandContext& context, CommandOutcome* outcome) {
    PDEVICE_EXTENSION state = context.State;
    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_INFO, "ZHP_DeviceControl(): Device 0x%p, Flag =  0x%08x, Write Sensor\n",
              (PVOID)context.DeviceObject, state->Flag);
    // Register writes would fight the running protection for the sensor.
    if ((state->Flag & FLAG_SENSOR_ON) == 0 &&
        ZHP_StartSensorWrite(context.Irp, state) == STATUS_PENDING) {
        outcome->Pending = TRUE;
        return;
    }
    RefuseTransfer(context);
}

VOID ReadSensor(const CommandContext& context, CommandOutcome* outcome) {
    if (CONFIG_BUSY != 1 && ZHP_StartSensorRead(context.Irp, context.State) == STATUS_PENDING) {
        outcome->Pending = TRUE;
        return;
    }
    RefuseTransfer(context);
}

VOID SwitchProtection(const CommandContext& context, CommandOutcome* outcome) {
    PDEVICE_EXTENSION state = context.State;
    ZHP_COMMAND_BLOCK* block = context.Block;

    if ((state->Flag & FLAG_INITIALIZED) == 0) {
        ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_ERROR,
                  "ZHP_DeviceControl(): The filter is not initialized yet, Device 0x%p, Flag = 0x%08x \n",
                  (PVOID)context.DeviceObject, state->Flag);
        outcome->Information = 0;
        return;
    }

    // Stored even when the switch is refused.
    OP_MODE = (UCHAR)block->OpMode;

    if (block->OpMode != 0) {
        if (state->Flag & FLAG_SENSOR_ON) {
            block->Result = ZHP_RESULT_ALREADY_ON;
            return;
        }
        ZHP_CreateFFEvents(state);
        ZHP_ClearFlags(state, FLAG_SENSOR_OFF);
        ZHP_SetFlags(state, FLAG_SENSOR_ON);
        state->DelayLevel = (block->DelayLevel >= 1 && block->DelayLevel <= 4) ? block->DelayLevel : 5;
        // Only stored here; command 111 takes them to the sensor and the registry.
        TH_L = (UCHAR)block->ThresholdLow;
        TH_H = (UCHAR)block->ThresholdHigh;
        DT_L = (UCHAR)block->DelayLow;
        DT_H = (UCHAR)block->DelayHigh;
        return;
    }

    if (state->Flag & FLAG_SENSOR_ON) {
        ZHP_ClearFlags(state, FLAG_SENSOR_ON);
        ZHP_SetFlags(state, FLAG_SENSOR_OFF);
        ZHP_CloseFFEvents(state);
    } else {
        block->Result = ZHP_RESULT_ALREADY_OFF;
    }
}

VOID ReleaseDisk(const CommandContext& context, CommandOutcome* outcome) {
    PDEVICE_EXTENSION state = context.State;

    if ((state->Flag & FLAG_SENSOR_ON) == 0) {
        ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_ERROR,
                  "ZHP_DeviceControl(): The sensor is not enable yet 001, Device 0x%p, Flag = 0x%08x \n",
                  (PVOID)context.DeviceObject, state->Flag);
        outcome->Information = 0;
        return;
    }

    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_INFO,
              "ZHP_DeviceControl(): Device 0x%p, Flag =  0x%08x, received release disk request \n",
              (PVOID)context.DeviceObject, state->Flag);
    context.Block->Report0 = state->ReadQueued;
    context.Block->Report1 = state->WriteQueued;

    // Release now instead of at the timer's expiry; a timer that has already
    // fired is releasing anyway.
    if ((state->Flag & FLAG_IO_BLOCKED) && KeCancelTimer(&state->RecoveryTimer)) {
        KeInsertQueueDpc(&state->RecoveryDpc, NULL, NULL);
    }
}

VOID Query(const CommandContext& context) {
    PDEVICE_EXTENSION state = context.State;
    ZHP_COMMAND_BLOCK* block = context.Block;

    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_INFO, "ZHP_DeviceControl(): %x,%x,%x,%x\n", (unsigned)TH_L,
              (unsigned)TH_H, (unsigned)DT_L, (unsigned)DT_H);
    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_INFO, "ZHP_DeviceControl(): TH_L=%x,TH_H=%x,DT_L=%x,DT_H=%x,OP=%x,RW=%x\n",
              (unsigned)TH_L, (unsigned)TH_H, (unsigned)DT_L, (unsigned)DT_H, (unsigned)OP_MODE, state->SensorOp);

    block->DelayLevel = state->DelayLevel;
    block->ThresholdLow = TH_L;
    block->ThresholdHigh = TH_H;
    block->DelayLow = DT_L;
    block->DelayHigh = DT_H;
    block->Report0 = state->SensorOp;
    block->Report1 = state->Flag;
    block->Report2 = state->DispatchForwardCount;
    block->OpMode = OP_MODE;
}

BOOLEAN IsConfigurationCommand(ULONG command) {
    return command == ZHP_CMD_RELOAD_CONFIG || command == ZHP_CMD_STORE_SETTINGS ||
           (command >= ZHP_CMD_SENSOR_STARTUP && command <= ZHP_CMD_PRESET_LAST);
}

// Commands 110, 111, 200 and 201..215 drive the SMBus from this thread while
// CONFIG_BUSY keeps sensor reads from starting and turns interrupts into
// report-only events.
NTSTATUS Configure(const CommandContext& context, ULONG command) {
    ZHP_COMMAND_BLOCK* block = context.Block;
    NTSTATUS status = STATUS_SUCCESS;

    ZHP_ClearFlags(context.Receiver, FLAG_CONFIG_IDLE);
    CONFIG_BUSY = 1;

    if (command == ZHP_CMD_RELOAD_CONFIG) {
        ZHP_Probe_RgtyKey_HW_INFO();
        status = (NTSTATUS)ZHP_Probe_RgtyKey_OP_MODE();
        CONFIG_BUSY = 0;
    } else if (command == ZHP_CMD_STORE_SETTINGS) {
        NTSTATUS writeStatus = ZHP_WriteBack_Settings(block);
        status = (NTSTATUS)ZHP_Probe_RgtyKey_OP_MODE();
        // A failed registry write outweighs missing values.
        if (!NT_SUCCESS(writeStatus)) {
            status = writeStatus;
        }
        CONFIG_BUSY = 0;
    } else if (command == ZHP_CMD_SENSOR_STARTUP) {
        ZHP_SensorStartup();
        block->OpMode = OP_MODE;
        status = ZHP_WriteBack_Settings(block);
        CONFIG_BUSY = 0;
    } else if (command < ZHP_CMD_REPORT_ONLY_PRESET_FIRST) {
        Display_HWINFO();
        ZHP_Probe_RgtyKey_FUNC_W_X(command);
        status = ZHP_WriteBack_Settings(block);
        CONFIG_BUSY = 0;
    } else {
        // Report-only mode stays on until one of 110, 111, 200..209 runs.
        ZHP_Probe_RgtyKey_FUNC_W_X(command);
        status = ZHP_WriteBack_Settings(block);
    }

    ZHP_SetFlags(context.Receiver, FLAG_CONFIG_IDLE);
    return status;
}

// The first command after the control device's creation or a device power
// change of the disk sets the sensor up again instead of doing its own work.
NTSTATUS StartUpPath(const CommandContext& context) {
    ZHP_Probe_RgtyKey_HW_INFO();
    NTSTATUS status = (NTSTATUS)ZHP_Probe_RgtyKey_OP_MODE();
    context.Block->OpMode = OP_MODE;
    ZHP_CreateFFEvents(context.State);
    ZHP_ClearFlags(context.State, FLAG_SENSOR_OFF);
    ZHP_SetFlags(context.State, FLAG_SENSOR_ON);
    return status;
}

CommandOutcome RunCommand(const CommandContext& context, ULONG command) {
    CommandOutcome outcome = {STATUS_SUCCESS, context.OutputLength, FALSE};

    BOOLEAN startUp = POW_RESUME == 1;
    if (startUp) {
        // Keeps the sensor status thread from starting the same path now.
        ZHP_EnterStartupPath();
        outcome.Status = StartUpPath(context);
        command = ZHP_CMD_SENSOR_STARTUP;
    }

    switch (command) {
    case ZHP_CMD_WRITE_SENSOR:
        WriteSensor(context, &outcome);
        break;
    case ZHP_CMD_READ_SENSOR:
        ReadSensor(context, &outcome);
        break;
    case ZHP_CMD_SWITCH_PROTECTION:
        SwitchProtection(context, &outcome);
        break;
    case ZHP_CMD_RELEASE_DISK:
        ReleaseDisk(context, &outcome);
        break;
    case ZHP_CMD_QUERY:
        Query(context);
        break;
    default:
        if (IsConfigurationCommand(command)) {
            outcome.Status = Configure(context, command);
        } else {
            outcome.Status = STATUS_NOT_IMPLEMENTED;
        }
        break;
    }
    if (startUp) {
        ZHP_LeaveStartupPath();
    }
    return outcome;
}

}  // namespace

extern "C" {

_Use_decl_annotations_
NTSTATUS ZHP_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_PLAIN,
              "ZHP_DeviceControl(): IRP_MJ_DEVICE_CONTROL\xA1" "@@@@@@@@@@@@@@@@@@@@@@@@");
    if (TraceLevel & ZHP_TRACE_LEVEL_DUMPS) {
        ZHP_DumpIrpOperation(TRUE, Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    if (controlCode != ZHP_IOCTL_COMMAND) {
        return ZHP_PassThrough(DeviceObject, Irp);
    }

    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inputLength < ZHP_COMMAND_BLOCK_SIZE || outputLength < ZHP_COMMAND_BLOCK_SIZE) {
        ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_PLAIN,
                  "ZHP_DeviceControl(): DeviceIo Control: 0x%x, Irp = 0x%p, Buffer too small", controlCode,
                  (PVOID)Irp);
        return ZHP_CompleteRequestInfo(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }

    ZHP_COMMAND_BLOCK* block = (ZHP_COMMAND_BLOCK*)Irp->AssociatedIrp.SystemBuffer;
    // A completed command returns the whole output length, but only the
    // block is ever written: the system buffer past it holds whatever the
    // pool held before, which must not reach the caller.
    if (outputLength > ZHP_COMMAND_BLOCK_SIZE) {
        RtlZeroMemory((PUCHAR)block + ZHP_COMMAND_BLOCK_SIZE, outputLength - ZHP_COMMAND_BLOCK_SIZE);
    }
    ULONG command = block->Command;
    block->Result = ZHP_RESULT_OK;
    ZHP_Trace(ZHP_TRACE_CONTROL, ZHP_LEVEL_PLAIN, "ZHP_DeviceControl(): Flag = : 0x%x, User Command = %d",
              extension->Flag, (int)command);

    // Through the control device the commands work on the filter's record,
    // which must not be touched once the disk has been removed.
    BOOLEAN throughControlDevice = extension->FilterExtension != NULL;
    if (throughControlDevice && !ZHP_EnterFilterGuard()) {
        return ZHP_CompleteRequestInfo(Irp, STATUS_NO_SUCH_DEVICE, 0);
    }

    CommandContext context;
    context.DeviceObject = DeviceObject;
    context.Receiver = extension;
    context.State = throughControlDevice ? extension->FilterExtension : extension;
    context.Irp = Irp;
    context.Block = block;
    context.OutputLength = outputLength;

    CommandOutcome outcome = RunCommand(context, command);

    if (throughControlDevice) {
        ZHP_LeaveFilterGuard();
    }
    if (outcome.Pending) {
        return STATUS_PENDING;
    }
    return ZHP_CompleteRequestInfo(Irp, outcome.Status, outcome.Information);
}

}  // extern "C"

