// Win32 error codes and wait results as numbers, for the server (which sees
// the kernel's headers, not <windows.h>) and the protocol's replies.
#pragma once

#include <cstdint>

namespace hostuser::win32 {

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kInvalidFunction = 1;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kInvalidHandle = 6;
constexpr std::uint32_t kNotEnoughMemory = 8;
constexpr std::uint32_t kNotReady = 21;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kNotSupported = 50;
constexpr std::uint32_t kDevNotExist = 55;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kSemTimeout = 121;
constexpr std::uint32_t kInsufficientBuffer = 122;
constexpr std::uint32_t kInvalidName = 123;
constexpr std::uint32_t kAlreadyExists = 183;
constexpr std::uint32_t kMoreData = 234;
constexpr std::uint32_t kMrMidNotFound = 317;  // an NT status with no Win32 counterpart
constexpr std::uint32_t kOperationAborted = 995;
constexpr std::uint32_t kNoToken = 1008;
constexpr std::uint32_t kDeviceNotConnected = 1167;
constexpr std::uint32_t kNoSystemResources = 1450;

constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::uint32_t kMaximumWaitObjects = 64;

}  // namespace hostuser::win32
