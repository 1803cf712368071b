// The hardware configuration and the sensor settings, read from the
// registry key the installer fills:
//   \Registry\Machine\SYSTEM\CurrentControlSet\Services\ZHP\INIT
// the sensor start-up sequence, the register presets, and the write-back of
// the settings the utility changes. Everything here runs at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include "shared/zhp_command.h"

#define ZHP_INIT_KEY_NAME L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT"
// The same key relative to the services root, for RtlWriteRegistryValue.
#define ZHP_INIT_KEY_SERVICES_PATH L"ZHP\\INIT"

// Size of the buffer a value is read into; longer values are cut to it.
#define ZHP_INIT_VALUE_BUFFER_SIZE 256

// Bits of the hardware probe's error byte (ERR_CODE).
#define ZHP_ERR_TRIG_PIN_MISSING 0x01
#define ZHP_ERR_GPIO_ADDR_MISSING 0x02
#define ZHP_ERR_CHIP_ID 0x04
#define ZHP_ERR_SLAVE_ADDR_MISSING 0x08

// Bits of the mode probe's result.
#define ZHP_MODE_OP_MODE_MISSING 0x01
#define ZHP_MODE_THRESHOLD_MISSING 0x02
#define ZHP_MODE_DELAY_TIME_MISSING 0x04

// Sensor registers that receive the delay time and the threshold (one pair
// per free-fall engine).
#define GSENSOR_REG_FF1_DURATION 0x52
#define GSENSOR_REG_FF1_THRESHOLD 0x56
#define GSENSOR_REG_FF2_DURATION 0x72
#define GSENSOR_REG_FF2_THRESHOLD 0x76

#define ZHP_PRESET_MAX_PAIRS 100

extern "C" {

// Hardware configuration (built-in values until the registry has been read).
extern volatile ULONG PCI_SMBUS_ADDR;  // I/O base of the SMBus host controller
extern volatile ULONG PCI_GPIO_ADDR;   // GPIO level register: port if <= 0xFFFF, else physical address
extern volatile UCHAR PCI_TRIG_PIN;    // single-bit mask of the interrupt pin
extern volatile UCHAR DEV_SLAVE_ADDR;  // the sensor's SMBus address, 8-bit form
extern volatile UCHAR DEV_CHIP_ID;     // the chip ID last read back from the sensor
extern UCHAR SATA_CMD[8];              // ATA task-file image of the park command

// Settings: raw sensor register values and the operating mode.
extern volatile UCHAR OP_MODE;
extern volatile UCHAR TH_L;
extern volatile UCHAR TH_H;
extern volatile UCHAR DT_L;
extern volatile UCHAR DT_H;

// Reads a value of the INIT key: its data bytes go to the start of Buffer
// (ZHP_INIT_VALUE_BUFFER_SIZE bytes; longer data is cut), its full length to
// DataLength. Returns 0 or the failing status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadInitValue(_In_z_ PCWSTR ValueName, _Out_ PULONG DataLength,
                       _Out_writes_bytes_(ZHP_INIT_VALUE_BUFFER_SIZE) PUCHAR Buffer);

// Reads the hardware values and checks the sensor's identity; writes and
// returns the error byte (0 = all present and the chip answered as expected).
_IRQL_requires_(PASSIVE_LEVEL)
UCHAR ZHP_Probe_RgtyKey_HW_INFO(VOID);

// Reads OP_MODE, P_THRESHOLD and P_DL_TIME and writes the threshold and
// delay registers; returns the missing-value bits.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG ZHP_Probe_RgtyKey_OP_MODE(VOID);

// Applies the register preset FUNC_W_<Command - 200>; returns the last
// write's result, or the read status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_Probe_RgtyKey_FUNC_W_X(_In_ ULONG Command);

// The sensor start-up sequence; ends with POW_RESUME = 0.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ZHP_SensorStartup(VOID);

// Stores OP_MODE from the command block and writes OP_MODE, P_THRESHOLD and
// P_DL_TIME to the registry; the block's result code and the return value
// are the status of the last write.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_WriteBack_Settings(_Inout_ ZHP_COMMAND_BLOCK* CommandBlock);

// Writes ERR_CODE.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ZHP_WriteErrCode(_In_ UCHAR ErrorCode);

// Traces the hardware configuration and the settings.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID Display_HWINFO(VOID);

}  // extern "C"
