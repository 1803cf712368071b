#include "sensor/port_io.h"

#include "core/debug_check.h"

extern "C" {

_Use_decl_annotations_
ULONG ReadPort(ULONG Port, ULONG Width) {
    ULONG_PTR port = Port & 0xFFFF;
    switch (Width) {
    case 8:
        return READ_PORT_UCHAR((PUCHAR)port);
    case 16:
        return READ_PORT_USHORT((PUSHORT)port);
    case 32:
        return READ_PORT_ULONG((PULONG)port);
    default:
        ZHP_ASSERT(Width == 8 || Width == 16 || Width == 32);
        return 0;
    }
}

_Use_decl_annotations_
VOID WritePort(ULONG Port, ULONG Value, ULONG Width) {
    ULONG_PTR port = Port & 0xFFFF;
    switch (Width) {
    case 8:
        WRITE_PORT_UCHAR((PUCHAR)port, (UCHAR)Value);
        break;
    case 16:
        WRITE_PORT_USHORT((PUSHORT)port, (USHORT)Value);
        break;
    case 32:
        WRITE_PORT_ULONG((PULONG)port, Value);
        break;
    default:
        ZHP_ASSERT(Width == 8 || Width == 16 || Width == 32);
        break;
    }
}

_Use_decl_annotations_
VOID DelayMs(int Milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;  // relative, in 100-ns units
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

_Use_decl_annotations_
ULONG PciConfigReadBar(ULONG ConfigAddress) {
    WritePort(PCI_CONFIG_ADDRESS_PORT, ConfigAddress, 32);
    ULONG value = ReadPort(PCI_CONFIG_DATA_PORT, 32);
    return value & ~(ULONG)0xF;
}

}  // extern "C"
