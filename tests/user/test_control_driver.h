// A small control-device driver for exercising the user-mode server: a
// named device (\DosDevices\USERTEST) whose device I/O control codes echo,
// fail, warn, or hold the request until released or cancelled.
//
// No kernel or Win32 header here: the tests include <windows.h>, the driver
// <ntddk.h>.
#pragma once

#include <cstdint>

namespace hk {
class Kernel;
}

namespace usertest {

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr std::uint32_t UsertestCode(std::uint32_t function) { return 0x22u << 16 | function << 2; }

// Output = the input bytes in reverse order; information = bytes written.
constexpr std::uint32_t kEchoReversed = UsertestCode(0x800);
// Held until kRelease (completed with success, information = output length)
// or cancelled (STATUS_CANCELLED).
constexpr std::uint32_t kHold = UsertestCode(0x801);
// Completes every held request.
constexpr std::uint32_t kRelease = UsertestCode(0x802);
// STATUS_BUFFER_TOO_SMALL, information 0.
constexpr std::uint32_t kFail = UsertestCode(0x803);
// STATUS_BUFFER_OVERFLOW with the output filled with 0xAB, information = output length.
constexpr std::uint32_t kWarn = UsertestCode(0x804);

constexpr const wchar_t* kDeviceName = L"\\DosDevices\\USERTEST";
constexpr const char* kUserPath = "\\\\.\\USERTEST";

// What the driver has seen, read on an emulated thread.
struct Counters {
    std::uint32_t creates = 0;
    std::uint32_t cleanups = 0;
    std::uint32_t closes = 0;
    std::uint32_t held = 0;        // requests held now
    std::uint32_t cancelled = 0;   // held requests completed as cancelled
    std::uint32_t controls = 0;    // device I/O control requests received
};

// Loads the driver and creates its device. Host thread.
void Load(hk::Kernel& kernel);
// Emulated thread.
Counters Read();

}  // namespace usertest
