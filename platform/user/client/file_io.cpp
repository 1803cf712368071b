// Devices: open, device I/O control, close.
#include <windows.h>

#include <cstring>
#include <string>

#include "call_helpers.h"
#include "local_handles.h"

using namespace hostuser;
using namespace hostuser::client;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Only devices: "\\.\NAME". Files of the notebook's drives are opened
    // with the C runtime through HostMapPath (hostuser/paths.h).
    static const char kDevicePrefix[] = "\\\\.\\";
    std::string path(lpFileName);
    if (path.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) != 0 || path.size() == sizeof kDevicePrefix - 1) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    wire::Writer w = Request(wire::Op::CreateFile);
    w.Str(path.substr(sizeof kDevicePrefix - 1)).U32(dwDesiredAccess);
    std::optional<Reply> reply = Call(w);
    if (!reply) {
        // No notebook, no device.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (reply->error != ERROR_SUCCESS) {
        SetLastError(reply->error);
        return INVALID_HANDLE_VALUE;
    }
    wire::Reader r(reply->body);
    HANDLE h = HandleFrom(r.U64());
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (lpBytesReturned == nullptr || (lpInBuffer == nullptr && nInBufferSize != 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (IsNeverAHandle(hDevice) || IsLocalHandle(HandleValue(hDevice))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    wire::Writer w = Request(wire::Op::DeviceIoControl);
    w.U64(HandleValue(hDevice)).U32(dwIoControlCode).Bytes(lpInBuffer, nInBufferSize).U32(nOutBufferSize);
    std::optional<Reply> reply = Call(w);
    if (!reply) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    wire::Reader r(reply->body);
    DWORD bytesReturned = r.U32();
    std::vector<std::uint8_t> output = r.Bytes();
    // The I/O manager copies back what the request's information says,
    // also for a warning status such as a partial buffer.
    std::size_t copy = output.size() < nOutBufferSize ? output.size() : nOutBufferSize;
    if (copy > 0) std::memcpy(lpOutBuffer, output.data(), copy);
    *lpBytesReturned = bytesReturned;
    if (reply->error != ERROR_SUCCESS) {
        SetLastError(reply->error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (IsPseudoHandle(hObject)) return TRUE;
    if (IsNeverAHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::uintptr_t value = HandleValue(hObject);
    if (IsLocalHandle(value)) {
        std::optional<LocalObject> object = FindLocalHandle(value);
        // Registry keys are closed with RegCloseKey, as on Windows.
        if (!object || object->kind != LocalKind::Token || !RemoveLocalHandle(value)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    }
    wire::Writer w = Request(wire::Op::CloseHandle);
    w.U64(value);
    return CallOrFail(w) ? TRUE : FALSE;
}

}  // extern "C"
