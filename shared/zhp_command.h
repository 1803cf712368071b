/*
 * The interface between the ZHP driver and its user-mode clients: the control
 * device, the one device I/O control code, the 80-byte command block that
 * goes in and comes back with it, the User Command numbers and result codes,
 * and the names of the events the driver signals.
 *
 * Plain C definitions, shared by the driver (kernel mode), the utility and
 * zhpctl (user mode, 32 or 64 bit). Every word of the block is a 32-bit
 * little-endian value; 8-bit values travel in the low byte of their word.
 */
#ifndef ZHP_SHARED_ZHP_COMMAND_H
#define ZHP_SHARED_ZHP_COMMAND_H

/* Device type FILE_DEVICE_DISK (7), function 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define ZHP_IOCTL_COMMAND 0x00072020u

/* The control device: its kernel name and the path user mode opens. */
#define ZHP_CONTROL_DEVICE_KERNEL_NAME L"\\DosDevices\\VELMORACC"
#define ZHP_CONTROL_DEVICE_USER_PATH "\\\\.\\VELMORACC"

/* Notification events the driver sets and the utility resets. */
#define ZHP_FREE_FALL_EVENT_KERNEL_NAME L"\\BaseNamedObjects\\VrFFEvent01"
#define ZHP_FREE_FALL_CLEARED_EVENT_KERNEL_NAME L"\\BaseNamedObjects\\VrFFEvent02"
#define ZHP_FREE_FALL_EVENT_USER_NAME "Global\\VrFFEvent01"
#define ZHP_FREE_FALL_CLEARED_EVENT_USER_NAME "Global\\VrFFEvent02"
/* The utility's own quit event. */
#define ZHP_QUIT_EVENT_USER_NAME "Global\\ApEvent01"

#define ZHP_COMMAND_BLOCK_SIZE 80
#define ZHP_COMMAND_DATA_SIZE 24 /* the register data area, offsets 40..63 */

/*
 * The command block. The same buffer is input and output; what each word
 * carries depends on the command (see the comments).
 */
typedef struct ZHP_COMMAND_BLOCK {
    unsigned int Command;       /*  0 in: User Command number (unchanged on output) */
    unsigned int Report0;       /*  4 out: 106 ReadQueued; 107 SensorOp */
    unsigned int Report1;       /*  8 out: 106 WriteQueued; 107 the driver's Flag word */
    unsigned int Report2;       /* 12 out: 107 DispatchForwardCount */
    unsigned int ThresholdLow;  /* 16 in: 101 first register; 102 TH_L; 111, 200..215 threshold low word.
                                      out: 107 TH_L */
    unsigned int ThresholdHigh; /* 20 in: 102 TH_H; 111, 200..215 threshold high word. out: 107 TH_H */
    unsigned int DelayLow;      /* 24 in: 102 DT_L; 111, 200..215 delay-time low word. out: 107 DT_L */
    unsigned int DelayHigh;     /* 28 in: 102 DT_H; 111, 200..215 delay-time high word. out: 107 DT_H */
    unsigned int DelayLevel;    /* 32 in: 102 delay level 1..4 (else 5). out: 107 DelayLevel */
    unsigned int OpMode;        /* 36 in: 102 on (non-zero) / off (zero); 111, 201..215 OP_MODE to store.
                                      out: 107, 200 and the start-up path: OP_MODE */
    unsigned char Data[ZHP_COMMAND_DATA_SIZE]; /* 40 in: 100 register/value pairs. out: 101 bytes read */
    unsigned int Count;         /* 64 in: 100, 101 byte count (at most 24). out: 0 when refused or failed */
    unsigned int Unused[2];     /* 68, 72 */
    unsigned int Result;        /* 76 out: result code (ZHP_RESULT_*) or registry write status */
} ZHP_COMMAND_BLOCK;

/* User Commands. */
#define ZHP_CMD_WRITE_SENSOR 100
#define ZHP_CMD_READ_SENSOR 101
#define ZHP_CMD_SWITCH_PROTECTION 102
#define ZHP_CMD_RELEASE_DISK 106
#define ZHP_CMD_QUERY 107
#define ZHP_CMD_RELOAD_CONFIG 110
#define ZHP_CMD_STORE_SETTINGS 111
#define ZHP_CMD_SENSOR_STARTUP 200
#define ZHP_CMD_PRESET_FIRST 201        /* 201..209 apply FUNC_W_1 .. FUNC_W_9 */
#define ZHP_CMD_REPORT_ONLY_PRESET_FIRST 210 /* 210..215 apply FUNC_W_10 .. FUNC_W_15, report-only mode */
#define ZHP_CMD_PRESET_LAST 215
/* Presets that switch the sensor's own free-fall interrupt on and off. */
#define ZHP_CMD_PRESET_INTERRUPT_ON 203
#define ZHP_CMD_PRESET_INTERRUPT_OFF 204

/* Result codes at offset 76. */
#define ZHP_RESULT_OK 0x000
#define ZHP_RESULT_TRANSFER_REFUSED 0x001
#define ZHP_RESULT_ALREADY_ON 0x100
#define ZHP_RESULT_ALREADY_OFF 0x200

/* Bits of the driver's state word, reported by command 107. */
#define ZHP_FLAG_INITIALIZED 0x01
#define ZHP_FLAG_SENSOR_ON 0x02
#define ZHP_FLAG_SENSOR_OFF 0x04
#define ZHP_FLAG_CONFIG_IDLE 0x08
#define ZHP_FLAG_FREE_FALL 0x10
#define ZHP_FLAG_FALL_CLEARED 0x20
#define ZHP_FLAG_IO_BLOCKED 0x40
#define ZHP_FLAG_IO_RESUMED 0x80

/* Sensor transfer states, reported by command 107 as SensorOp. */
#define ZHP_SENSOR_OP_IDLE 0x00
#define ZHP_SENSOR_OP_READING 0x01
#define ZHP_SENSOR_OP_WRITING 0x02
#define ZHP_SENSOR_OP_READ_REQUESTED 0x81
#define ZHP_SENSOR_OP_WRITE_REQUESTED 0x82

#endif /* ZHP_SHARED_ZHP_COMMAND_H */
