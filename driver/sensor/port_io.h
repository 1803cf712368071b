// Raw hardware access for the SMBus layer: x86 port input and output, a
// millisecond sleep, and a PCI configuration read (mechanism 1).
#pragma once

#include <ntddk.h>

#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC

extern "C" {

// One port input of 8, 16 or 32 bits from the low 16 bits of Port, zero-extended.
_IRQL_requires_max_(HIGH_LEVEL)
ULONG ReadPort(_In_ ULONG Port, _In_ ULONG Width);

// One port output of 8, 16 or 32 bits; Value is truncated to the width.
_IRQL_requires_max_(HIGH_LEVEL)
VOID WritePort(_In_ ULONG Port, _In_ ULONG Value, _In_ ULONG Width);

// Sleeps the calling thread for the given number of milliseconds.
_IRQL_requires_(PASSIVE_LEVEL)
VOID DelayMs(_In_ int Milliseconds);

// Reads a base address register through configuration mechanism 1 and
// returns it with the low four bits (the space indicator among them) cleared.
_IRQL_requires_max_(HIGH_LEVEL)
ULONG PciConfigReadBar(_In_ ULONG ConfigAddress);

}  // extern "C"
