#include "sensor/smbus.h"

#include "core/trace.h"
#include "sensor/hw_config.h"
#include "sensor/port_io.h"

#define SM_OUT_ATTEMPTS 20
#define SM_COMPLETION_EXTRA_READS 21

extern "C" {

KEVENT SmBusFree;

_Use_decl_annotations_
VOID SM_InitializeBusLock(VOID) {
    KeInitializeEvent(&SmBusFree, SynchronizationEvent, TRUE);
}

_Use_decl_annotations_
VOID SM_AcquireBus(VOID) {
    KeWaitForSingleObject(&SmBusFree, Executive, KernelMode, FALSE, NULL);
}

_Use_decl_annotations_
VOID SM_ReleaseBus(VOID) {
    KeSetEvent(&SmBusFree, IO_NO_INCREMENT, FALSE);
}

_Use_decl_annotations_
int SM_OutPortB(ULONG Base, UCHAR Offset, UCHAR Value) {
    if (Offset == SMBUS_WAIT_FOR_COMPLETION) {
        // The status lives at offset 0, not at base + 9.
        ULONG status = ReadPort(Base + SMBUS_HOST_STATUS, 8);
        for (int reads = 0; (status & SMBUS_STATUS_DONE) == 0 && reads < SM_COMPLETION_EXTRA_READS; ++reads) {
            DelayMs(1);
            status = ReadPort(Base + SMBUS_HOST_STATUS, 8);
        }
        if (status & SMBUS_STATUS_DONE) {
            return 1;
        }
        ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "SM_OutPortBSMBus transfer Error!\n");
        return 0;
    }

    ULONG mask;
    ULONG expected;
    switch (Offset) {
    case SMBUS_HOST_STATUS:
        // Writing 0xFF clears the status: the done bit must read back clear.
        mask = SMBUS_STATUS_DONE;
        expected = 0x00;
        break;
    case SMBUS_HOST_CONTROL:
        // The start bit reads back as 0.
        mask = 0xBF;
        expected = 0x08;
        break;
    default:
        mask = 0xFF;
        expected = Value;
        break;
    }

    for (int attempt = 0; attempt < SM_OUT_ATTEMPTS; ++attempt) {
        DelayMs(1);
        WritePort(Base + Offset, Value, 8);
        ULONG readBack = ReadPort(Base + Offset, 8);
        if ((readBack & mask) == expected) {
            return 1;
        }
    }
    return 0;
}

namespace {

// A sequence's result is the OR of its counted steps; any step that failed
// is remembered for the caller's error trace.
int CombineSteps(const int* Steps, SIZE_T Count, PBOOLEAN StepFailed) {
    int result = 0;
    *StepFailed = FALSE;
    for (SIZE_T i = 0; i < Count; ++i) {
        result |= Steps[i];
        if (Steps[i] == 0) {
            *StepFailed = TRUE;
        }
    }
    return result;
}

// The read start sequence: clear the status (not counted), then host
// command, slave address with the read bit, start, and the completion wait.
int StartByteRead(UCHAR Register, PBOOLEAN StepFailed) {
    ULONG base = PCI_SMBUS_ADDR;
    SM_OutPortB(base, SMBUS_HOST_STATUS, SMBUS_STATUS_CLEAR_ALL);
    const int steps[] = {
        SM_OutPortB(base, SMBUS_HOST_COMMAND, Register),
        SM_OutPortB(base, SMBUS_TRANSMIT_SLAVE_ADDRESS, (UCHAR)(DEV_SLAVE_ADDR + 1)),
        SM_OutPortB(base, SMBUS_HOST_CONTROL, SMBUS_START_BYTE_DATA),
        SM_OutPortB(base, SMBUS_WAIT_FOR_COMPLETION, 0),
    };
    return CombineSteps(steps, ARRAYSIZE(steps), StepFailed);
}

// The write start sequence: clear the status (not counted), then slave
// address (write), host command, both data bytes, start, and the completion
// wait. Note the slave address goes first here, the command first on a read.
int StartByteWrite(UCHAR Register, UCHAR Value, PBOOLEAN StepFailed) {
    ULONG base = PCI_SMBUS_ADDR;
    SM_OutPortB(base, SMBUS_HOST_STATUS, SMBUS_STATUS_CLEAR_ALL);
    const int steps[] = {
        SM_OutPortB(base, SMBUS_TRANSMIT_SLAVE_ADDRESS, DEV_SLAVE_ADDR),
        SM_OutPortB(base, SMBUS_HOST_COMMAND, Register),
        SM_OutPortB(base, SMBUS_HOST_DATA0, Value),
        SM_OutPortB(base, SMBUS_HOST_DATA1, 0x00),
        SM_OutPortB(base, SMBUS_HOST_CONTROL, SMBUS_START_BYTE_DATA),
        SM_OutPortB(base, SMBUS_WAIT_FOR_COMPLETION, 0),
    };
    return CombineSteps(steps, ARRAYSIZE(steps), StepFailed);
}

}  // namespace

_Use_decl_annotations_
int GsensorCmdGetByte(UCHAR Register) {
    BOOLEAN stepFailed;
    int result = StartByteRead(Register, &stepFailed);
    if (stepFailed) {
        ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO,
                  "GsensorCmdGetByte@@@@@@@@@@@@@@GsensorCmdGetByte Error(%x)!\n", result);
    }
    return result;
}

_Use_decl_annotations_
int GsensorGetByte(VOID) {
    ULONG base = PCI_SMBUS_ADDR;
    ULONG status = ReadPort(base + SMBUS_HOST_STATUS, 8);
    if (status & SMBUS_STATUS_DONE) {
        int byte = (int)ReadPort(base + SMBUS_HOST_DATA0, 8);
        WritePort(base + SMBUS_HOST_STATUS, SMBUS_STATUS_CLEAR_ALL, 8);
        return byte;
    }
    WritePort(base + SMBUS_HOST_STATUS, SMBUS_STATUS_CLEAR_ALL, 8);
    ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_INFO, "GsensorGetByte(): getbyte error\n");
    return -1;
}

_Use_decl_annotations_
int GsensorCmdPutByte(UCHAR Register, UCHAR Value) {
    BOOLEAN stepFailed;
    int result = StartByteWrite(Register, Value, &stepFailed);
    if (stepFailed) {
        ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO,
                  "GsensorCmdPutByte@@@@@@@@@@@@@@GsensorCmdPutByte Error(%x)!\n", result);
    }
    return result;
}

_Use_decl_annotations_
int GsensorPutByte(VOID) {
    ULONG base = PCI_SMBUS_ADDR;
    ULONG status = ReadPort(base + SMBUS_HOST_STATUS, 8);
    if (status & SMBUS_STATUS_DONE) {
        WritePort(base + SMBUS_HOST_STATUS, SMBUS_STATUS_CLEAR_ALL, 8);
        ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_INFO, "GsensorPutByte(): OK\n");
        return 1;
    }
    ZHP_Trace(ZHP_TRACE_HELD_IO, ZHP_LEVEL_INFO, "GsensorPutByte(): Write Error\n");
    WritePort(base + SMBUS_HOST_STATUS, SMBUS_STATUS_CLEAR_ALL, 8);
    return -1;
}

_Use_decl_annotations_
int GsensorReadRegister(UCHAR Register) {
    BOOLEAN stepFailed;
    SM_AcquireBus();
    StartByteRead(Register, &stepFailed);
    int byte = GsensorGetByte();
    SM_ReleaseBus();
    return byte;
}

_Use_decl_annotations_
int GsensorWriteRegister(UCHAR Register, UCHAR Value) {
    BOOLEAN stepFailed;
    SM_AcquireBus();
    // The host status stays as the transaction ended it; the next
    // transaction's first step clears it.
    int result = StartByteWrite(Register, Value, &stepFailed);
    SM_ReleaseBus();
    return result;
}

}  // extern "C"
