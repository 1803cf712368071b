// Interfaces between the host kernel and the simulated hardware.
//
// The kernel routes the driver's port instructions (READ_PORT_*/WRITE_PORT_*),
// register accesses (READ_REGISTER_*/WRITE_REGISTER_*) and MmMapIoSpace
// mappings to the handlers registered for the address, and gives the
// hardware the kernel's clock so that bus transactions and motion unfold in
// the same (virtual or real) time as the driver runs in.
#pragma once

#include <cstdint>

namespace hk {

// Time in 100-ns units since boot, the unit of KeQueryInterruptTime.
using Time100ns = std::int64_t;

constexpr Time100ns kMicrosecond = 10;
constexpr Time100ns kMillisecond = 10'000;
constexpr Time100ns kSecond = 10'000'000;

class TimeSource {
public:
    virtual ~TimeSource() = default;
    virtual Time100ns Now() const = 0;
};

// An I/O port range. Width is 8, 16 or 32 bits; ports not claimed by any
// handler read as all ones and ignore writes, as on a PC.
class PortHandler {
public:
    virtual ~PortHandler() = default;
    virtual std::uint32_t ReadPort(std::uint16_t port, unsigned width) = 0;
    virtual void WritePort(std::uint16_t port, std::uint32_t value, unsigned width) = 0;
};

// A physical memory range of device registers.
class MemoryHandler {
public:
    virtual ~MemoryHandler() = default;
    virtual std::uint32_t ReadMemory(std::uint64_t address, unsigned width) = 0;
    virtual void WriteMemory(std::uint64_t address, std::uint32_t value, unsigned width) = 0;
};

}  // namespace hk
