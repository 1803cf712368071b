// SMBus host-controller access (Intel ICH/PCH register layout, I/O ports at
// PCI_SMBUS_ADDR) and the sensor register commands built on it. Every sensor
// access is one byte-data transaction: one register, one byte. All of it runs
// at PASSIVE_LEVEL because every verified register write sleeps 1 ms first.
//
// One whole transaction at a time: the status thread and the configuration
// commands would otherwise overwrite each other's host registers. The bus
// lock is taken by the synchronous commands themselves; the split commands
// leave it to their caller, who holds it from the start of a transaction to
// the fetch of its result.
#pragma once

#include <ntddk.h>

// Host-controller register offsets.
#define SMBUS_HOST_STATUS 0
#define SMBUS_HOST_CONTROL 2
#define SMBUS_HOST_COMMAND 3
#define SMBUS_TRANSMIT_SLAVE_ADDRESS 4
#define SMBUS_HOST_DATA0 5
#define SMBUS_HOST_DATA1 6
// Not a register: SM_OutPortB waits for the end of the transaction.
#define SMBUS_WAIT_FOR_COMPLETION 9

#define SMBUS_STATUS_DONE 0x02         // host status bit 1: the transaction has completed
#define SMBUS_STATUS_CLEAR_ALL 0xFF    // write-1-to-clear every status bit
#define SMBUS_START_BYTE_DATA 0x48     // start (bit 6) + byte-data protocol (bits 4..2 = 010)

// PCI configuration address of the controller's base address register:
// enable bit, bus 0, device 31, function 3, register 0x20.
#define SMBUS_PCI_BAR_ADDRESS 0x8000FB20

extern "C" {

// The bus lock: a synchronization event that is signalled while the bus is free.
_IRQL_requires_(PASSIVE_LEVEL)
VOID SM_InitializeBusLock(VOID);
_IRQL_requires_(PASSIVE_LEVEL)
VOID SM_AcquireBus(VOID);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID SM_ReleaseBus(VOID);

// Writes one host register and reads it back until it matches (at most 20
// attempts, 1 ms before each); offset 9 waits for the end of the transaction
// instead. Returns 1 (done) or 0 (failed).
_IRQL_requires_(PASSIVE_LEVEL)
int SM_OutPortB(_In_ ULONG Base, _In_ UCHAR Offset, _In_ UCHAR Value);

// Split commands; the caller holds the bus lock from the start to the fetch.
// Starts a byte read and waits for its end; returns the OR of the counted steps.
_IRQL_requires_(PASSIVE_LEVEL)
int GsensorCmdGetByte(_In_ UCHAR Register);
// The byte of the read started last (0..255), or -1.
_IRQL_requires_(PASSIVE_LEVEL)
int GsensorGetByte(VOID);
// Starts a byte write and waits for its end; returns the OR of the counted steps.
_IRQL_requires_(PASSIVE_LEVEL)
int GsensorCmdPutByte(_In_ UCHAR Register, _In_ UCHAR Value);
// 1 if the write started last has completed, else -1.
_IRQL_requires_(PASSIVE_LEVEL)
int GsensorPutByte(VOID);

// Synchronous commands; each takes the bus lock for its whole transaction.
// The register's byte, or -1.
_IRQL_requires_(PASSIVE_LEVEL)
int GsensorReadRegister(_In_ UCHAR Register);
// Writes the register; the result (OR of the counted steps) is seldom used.
_IRQL_requires_(PASSIVE_LEVEL)
int GsensorWriteRegister(_In_ UCHAR Register, _In_ UCHAR Value);

}  // extern "C"
