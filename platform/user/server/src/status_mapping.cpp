#include "status_mapping.h"

#include "win32_errors.h"

namespace hostuser {

std::uint32_t Win32ErrorFromStatus(NTSTATUS status) {
    if (NT_SUCCESS(status)) return win32::kSuccess;
    switch (static_cast<std::uint32_t>(status)) {
        case 0x80000005u: return win32::kMoreData;            // STATUS_BUFFER_OVERFLOW
        case 0xC0000002u: return win32::kInvalidFunction;     // STATUS_NOT_IMPLEMENTED
        case 0xC000000Du: return win32::kInvalidParameter;    // STATUS_INVALID_PARAMETER
        case 0xC000000Eu: return win32::kFileNotFound;        // STATUS_NO_SUCH_DEVICE
        case 0xC0000010u: return win32::kInvalidFunction;     // STATUS_INVALID_DEVICE_REQUEST
        case 0xC0000022u: return win32::kAccessDenied;        // STATUS_ACCESS_DENIED
        case 0xC0000023u: return win32::kInsufficientBuffer;  // STATUS_BUFFER_TOO_SMALL
        case 0xC0000034u: return win32::kFileNotFound;        // STATUS_OBJECT_NAME_NOT_FOUND
        case 0xC0000056u: return win32::kAccessDenied;        // STATUS_DELETE_PENDING
        case 0xC000009Au: return win32::kNoSystemResources;   // STATUS_INSUFFICIENT_RESOURCES
        case 0xC00000A3u: return win32::kNotReady;            // STATUS_DEVICE_NOT_READY
        case 0xC00000B5u: return win32::kSemTimeout;          // STATUS_IO_TIMEOUT
        case 0xC00000BBu: return win32::kNotSupported;        // STATUS_NOT_SUPPORTED
        case 0xC00000C0u: return win32::kDevNotExist;         // STATUS_DEVICE_DOES_NOT_EXIST
        case 0xC0000120u: return win32::kOperationAborted;    // STATUS_CANCELLED
        default: return win32::kMrMidNotFound;
    }
}

}  // namespace hostuser
