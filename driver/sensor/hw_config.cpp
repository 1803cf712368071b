// The hardware probe, the mode probe, the register presets and the sensor
// start-up sequence.
#include "sensor/hw_config.h"

#include "core/driver_globals.h"
#include "core/trace.h"
#include "sensor/port_io.h"
#include "sensor/smbus.h"

extern "C" {

volatile ULONG PCI_SMBUS_ADDR = 0xF040;
volatile ULONG PCI_GPIO_ADDR = 0x1EBB;
volatile UCHAR PCI_TRIG_PIN = 0x20;
volatile UCHAR DEV_SLAVE_ADDR = 0x3A;
volatile UCHAR DEV_CHIP_ID = 0x0F;
UCHAR SATA_CMD[8] = {0x00, 0x44, 0x00, 0x4C, 0x4E, 0x55, 0xE0, 0x00};

volatile UCHAR OP_MODE = 0;
volatile UCHAR TH_L = 0;
volatile UCHAR TH_H = 0;
volatile UCHAR DT_L = 0;
volatile UCHAR DT_H = 0;

}  // extern "C"

namespace {

const PCWSTR PresetValueNames[] = {
    L"FUNC_W_0",  L"FUNC_W_1",  L"FUNC_W_2",  L"FUNC_W_3",  L"FUNC_W_4",  L"FUNC_W_5",
    L"FUNC_W_6",  L"FUNC_W_7",  L"FUNC_W_8",  L"FUNC_W_9",  L"FUNC_W_10", L"FUNC_W_11",
    L"FUNC_W_12", L"FUNC_W_13", L"FUNC_W_14", L"FUNC_W_15",
};

// A value read into the probe's buffer. The buffer is zeroed once per probe,
// not per value: a value shorter than the bytes used leaves the bytes of an
// earlier value behind it.
BOOLEAN ReadValue(PCWSTR name, PUCHAR buffer) {
    ULONG length;
    return ReadInitValue(name, &length, buffer) == STATUS_SUCCESS;
}

}  // namespace

extern "C" {

_Use_decl_annotations_
UCHAR ZHP_Probe_RgtyKey_HW_INFO(VOID) {
    UCHAR buffer[ZHP_INIT_VALUE_BUFFER_SIZE];
    RtlZeroMemory(buffer, sizeof(buffer));
    UCHAR error = 0;

    // A missing or zero SMBus base falls back to the controller's PCI base
    // address register, silently.
    BOOLEAN found = ReadValue(L"PCI_SMBUS_ADDR", buffer);
    ULONG smbusBase = found ? (ULONG)buffer[0] * 256 + buffer[1] : 0;
    PCI_SMBUS_ADDR = smbusBase;
    if (!found || smbusBase == 0) {
        PCI_SMBUS_ADDR = PciConfigReadBar(SMBUS_PCI_BAR_ADDRESS);
    }

    error = (UCHAR)(error * 2);
    if (ReadValue(L"DEV_SLAVE_ADDR", buffer)) {
        DEV_SLAVE_ADDR = buffer[0];
    } else {
        error += 1;
    }

    // Byte 0 names the chip-ID register, byte 1 the identity expected there.
    error = (UCHAR)(error * 2);
    if (ReadValue(L"DEV_CHIP_ID", buffer)) {
        UCHAR expected = buffer[1];
        DEV_CHIP_ID = (UCHAR)GsensorReadRegister(buffer[0]);
        if (DEV_CHIP_ID != expected) {
            error += 1;
        }
    } else {
        error += 1;
    }

    error = (UCHAR)(error * 2);
    if (ReadValue(L"PCI_GPIO_ADDR", buffer)) {
        PCI_GPIO_ADDR = (((ULONG)buffer[0] * 256 + buffer[1]) * 256 + buffer[2]) * 256 + buffer[3];
    } else {
        error += 1;
    }

    error = (UCHAR)(error * 2);
    if (ReadValue(L"PCI_TRIG_PIN", buffer)) {
        PCI_TRIG_PIN = buffer[0];
    } else {
        error += 1;
    }

    if (ReadValue(L"SATA_CMD", buffer)) {
        RtlCopyMemory(SATA_CMD, buffer, sizeof(SATA_CMD));
    }

    ZHP_WriteErrCode(error);
    Display_HWINFO();
    if (error != 0) {
        ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO,
                  "ZHP_Probe_RgtyKey_HW_INFO():H/W Parameter Fail >_<!  Err_code = 0x%x", (unsigned)error);
    } else {
        ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "ZHP_Probe_RgtyKey_HW_INFO():H/W Parameter PASS!!! ^_^");
    }
    return error;
}

_Use_decl_annotations_
ULONG ZHP_Probe_RgtyKey_OP_MODE(VOID) {
    UCHAR buffer[ZHP_INIT_VALUE_BUFFER_SIZE];
    RtlZeroMemory(buffer, sizeof(buffer));
    ULONG missing = 0;

    if (ReadValue(L"OP_MODE", buffer)) {
        OP_MODE = buffer[0];
    } else {
        missing |= ZHP_MODE_OP_MODE_MISSING;
    }
    if (ReadValue(L"P_THRESHOLD", buffer)) {
        TH_L = buffer[0];
        TH_H = buffer[1];
    } else {
        missing |= ZHP_MODE_THRESHOLD_MISSING;
    }
    if (ReadValue(L"P_DL_TIME", buffer)) {
        DT_L = buffer[0];
        DT_H = buffer[1];
    } else {
        missing |= ZHP_MODE_DELAY_TIME_MISSING;
    }

    // Found or not, the sensor gets the bytes in memory. TH_H and DT_H are
    // never written to the sensor.
    GsensorWriteRegister(GSENSOR_REG_FF1_DURATION, DT_L);
    GsensorWriteRegister(GSENSOR_REG_FF1_THRESHOLD, TH_L);
    GsensorWriteRegister(GSENSOR_REG_FF2_DURATION, DT_L);
    GsensorWriteRegister(GSENSOR_REG_FF2_THRESHOLD, TH_L);
    return missing;
}

_Use_decl_annotations_
NTSTATUS ZHP_Probe_RgtyKey_FUNC_W_X(ULONG Command) {
    ULONG preset = Command - ZHP_CMD_SENSOR_STARTUP;
    if (preset >= RTL_NUMBER_OF(PresetValueNames)) {
        return STATUS_INVALID_PARAMETER;
    }

    UCHAR buffer[ZHP_INIT_VALUE_BUFFER_SIZE];
    RtlZeroMemory(buffer, sizeof(buffer));
    ULONG length;
    NTSTATUS status = ReadInitValue(PresetValueNames[preset], &length, buffer);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    // Register/value pairs up to the end mark 0xFF 0xFF, at most 100 pairs.
    // Zero bytes after the value's data read as pairs that write 0 to
    // register 0, which is why every preset ends with the mark.
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG i = 0; i < ZHP_PRESET_MAX_PAIRS; ++i) {
        UCHAR reg = buffer[2 * i];
        UCHAR value = buffer[2 * i + 1];
        if (reg == 0xFF && value == 0xFF) {
            break;
        }
        result = GsensorWriteRegister(reg, value);
        ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO,
                  "ZHP_Probe_RgtyKey_FUNC_W_X():(FUNC_W_%d)I2C_W: Addr[0x%x] = 0x%x", (int)preset, (unsigned)reg,
                  (unsigned)value);
    }
    return result;
}

_Use_decl_annotations_
VOID ZHP_SensorStartup(VOID) {
    ZHP_Probe_RgtyKey_HW_INFO();
    ZHP_Probe_RgtyKey_FUNC_W_X(ZHP_CMD_SENSOR_STARTUP + 0);
    ZHP_Probe_RgtyKey_FUNC_W_X(ZHP_CMD_SENSOR_STARTUP + 1);
    ZHP_Probe_RgtyKey_OP_MODE();
    ZHP_Probe_RgtyKey_FUNC_W_X(ZHP_CMD_SENSOR_STARTUP + 2);
    // Protection on: FUNC_W_3 switches the sensor's interrupt on; off: FUNC_W_4.
    ZHP_Probe_RgtyKey_FUNC_W_X(OP_MODE != 0 ? ZHP_CMD_SENSOR_STARTUP + 3 : ZHP_CMD_SENSOR_STARTUP + 4);
    POW_RESUME = 0;
}

_Use_decl_annotations_
VOID Display_HWINFO(VOID) {
    // Each line carries the two bytes 0xA1 0x40 after "Registry ".
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@PCI_SMBUS_ADDR = 0x%x",
              (unsigned)PCI_SMBUS_ADDR);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@PCI_GPIO_ADDR = 0x%x",
              (unsigned)PCI_GPIO_ADDR);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@PCI_TRIG_PIN = 0x%x",
              (unsigned)PCI_TRIG_PIN);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@DEV_SLAVE_ADDR = 0x%x",
              (unsigned)DEV_SLAVE_ADDR);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@DEV_CHIP_ID = 0x%x",
              (unsigned)DEV_CHIP_ID);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@OP_STATUS = 0x%x",
              (unsigned)OP_MODE);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@THRESHOLD = 0x%x,%x",
              (unsigned)TH_H, (unsigned)TH_L);
    ZHP_Trace(ZHP_TRACE_SENSOR, ZHP_LEVEL_INFO, "Display_HWINFO(): Registry \xA1" "@DL_TIME = 0x%x,%x",
              (unsigned)DT_H, (unsigned)DT_L);
}

}  // extern "C"
