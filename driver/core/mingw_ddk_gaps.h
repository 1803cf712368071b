// Force-included by the Windows build only. mingw-w64's DDK headers leave
// out three kernel exports the driver calls (the WDK declares the first two
// in ntifs.h, the third comes with the kernel's C runtime); ntoskrnl.exe
// exports all three.
#pragma once

#include <ntddk.h>

extern "C" {
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                             PULONG ReturnLength);
int __cdecl _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Arguments);
}
