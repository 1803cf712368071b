// Reading values of the INIT key and writing back the driver's own values.
#include "sensor/hw_config.h"

#include "core/trace.h"

// Pool tag "Char" (reads as such in a pool dump).
#define ZHP_POOL_TAG_CHAR ((ULONG)'C' | ((ULONG)'h' << 8) | ((ULONG)'a' << 16) | ((ULONG)'r' << 24))

extern "C" {

_Use_decl_annotations_
NTSTATUS ReadInitValue(PCWSTR ValueName, PULONG DataLength, PUCHAR Buffer) {
    *DataLength = 0;

    WCHAR keyNameBuffer[256 / sizeof(WCHAR)];
    UNICODE_STRING keyName;
    keyName.Buffer = keyNameBuffer;
    keyName.Length = 0;
    keyName.MaximumLength = sizeof(keyNameBuffer);
    UNICODE_STRING keyNameSource;
    RtlInitUnicodeString(&keyNameSource, ZHP_INIT_KEY_NAME);
    RtlCopyUnicodeString(&keyName, &keyNameSource);

    // The configuration commands run in the calling program's thread: a
    // handle opened there without OBJ_KERNEL_HANDLE would go into that
    // program's handle table. Reading needs nothing beyond KEY_QUERY_VALUE;
    // the write-backs go through RtlWriteRegistryValue, which needs no handle.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE key;
    NTSTATUS status = ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);

    // A small first query tells the length the value needs.
    ULONG probe[4];
    ULONG resultLength = 0;
    NTSTATUS probeStatus =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, probe, sizeof(probe), &resultLength);
    if (!NT_SUCCESS(probeStatus) && probeStatus != STATUS_BUFFER_OVERFLOW && probeStatus != STATUS_BUFFER_TOO_SMALL) {
        ZwClose(key);
        return probeStatus;
    }

    PKEY_VALUE_PARTIAL_INFORMATION information =
        (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, resultLength, ZHP_POOL_TAG_CHAR);
    if (information == NULL) {
        ZwClose(key);
        // Never report success without data.
        return NT_SUCCESS(probeStatus) ? STATUS_INSUFFICIENT_RESOURCES : probeStatus;
    }

    ULONG allocatedLength = resultLength;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, information, allocatedLength,
                             &resultLength);
    if (NT_SUCCESS(status)) {
        ULONG available = allocatedLength - (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG length = information->DataLength;
        if (length > available) {
            length = available;
        }
        *DataLength = length;
        // A value longer than the read buffer is cut to it.
        RtlCopyMemory(Buffer, information->Data,
                      length < ZHP_INIT_VALUE_BUFFER_SIZE ? length : ZHP_INIT_VALUE_BUFFER_SIZE);
    }

    ExFreePoolWithTag(information, ZHP_POOL_TAG_CHAR);
    ZwClose(key);
    return status;
}

_Use_decl_annotations_
NTSTATUS ZHP_WriteErrCode(UCHAR ErrorCode) {
    UCHAR value = ErrorCode;
    return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, ZHP_INIT_KEY_SERVICES_PATH, L"ERR_CODE", REG_BINARY, &value,
                                 sizeof(value));
}

_Use_decl_annotations_
NTSTATUS ZHP_WriteBack_Settings(ZHP_COMMAND_BLOCK* CommandBlock) {
    OP_MODE = (UCHAR)CommandBlock->OpMode;
    UCHAR opMode = OP_MODE;
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, ZHP_INIT_KEY_SERVICES_PATH, L"OP_MODE", REG_BINARY, &opMode,
                          sizeof(opMode));
    DbgPrint("W: OP_Mode=0x%X\n", (unsigned)opMode);

    ULONG threshold = CommandBlock->ThresholdHigh * 256 + CommandBlock->ThresholdLow;
    UCHAR thresholdBytes[2] = {(UCHAR)(threshold & 0xFF), (UCHAR)((threshold >> 8) & 0xFF)};
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, ZHP_INIT_KEY_SERVICES_PATH, L"P_THRESHOLD", REG_BINARY,
                          thresholdBytes, sizeof(thresholdBytes));
    DbgPrint("W: THRESHOLD[0]=0x%X,THRESHOLD[1]=0x%X\n", (unsigned)(threshold & 0xFF), (unsigned)(threshold >> 8));

    ULONG delayTime = CommandBlock->DelayHigh * 256 + CommandBlock->DelayLow;
    UCHAR delayTimeBytes[2] = {(UCHAR)(delayTime & 0xFF), (UCHAR)((delayTime >> 8) & 0xFF)};
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, ZHP_INIT_KEY_SERVICES_PATH, L"P_DL_TIME",
                                            REG_BINARY, delayTimeBytes, sizeof(delayTimeBytes));
    DbgPrint("W: DL_TIME[0]=0x%X,DL_TIME[1]=0x%X\n", (unsigned)(delayTime & 0xFF), (unsigned)(delayTime >> 8));

    CommandBlock->Result = (unsigned int)status;
    return status;
}

}  // extern "C"
