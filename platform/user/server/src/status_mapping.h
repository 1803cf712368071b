// NT status -> Win32 error, as the system reports a request's status to the
// program that made it.
#pragma once

#include <cstdint>

#include <ntddk.h>

namespace hostuser {

// 0 for a success or informational status.
std::uint32_t Win32ErrorFromStatus(NTSTATUS status);

}  // namespace hostuser
