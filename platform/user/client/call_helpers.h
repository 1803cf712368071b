// Small helpers shared by the API files: handle values on the wire and the
// last-error conventions of the Win32 calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "connection.h"

namespace hostuser::client {

inline std::uint64_t HandleValue(HANDLE h) { return reinterpret_cast<std::uintptr_t>(h); }
inline HANDLE HandleFrom(std::uint64_t value) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)); }

inline wire::Writer Request(wire::Op op) {
    wire::Writer w;
    w.U32(static_cast<std::uint32_t>(op));
    return w;
}

// Sends the request; on success returns the reply (error word 0) and on any
// failure sets the last error (ERROR_DEVICE_NOT_CONNECTED without a notebook)
// and returns nullopt.
inline std::optional<Reply> CallOrFail(const wire::Writer& request) {
    std::optional<Reply> reply = Call(request);
    if (!reply) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return std::nullopt;
    }
    if (reply->error != ERROR_SUCCESS) {
        SetLastError(reply->error);
        return std::nullopt;
    }
    return reply;
}

// Pseudo handles of the current process and thread, and the two values
// that are never a handle.
inline bool IsPseudoHandle(HANDLE h) { return h == GetCurrentProcess() || h == GetCurrentThread(); }
inline bool IsNeverAHandle(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

}  // namespace hostuser::client
