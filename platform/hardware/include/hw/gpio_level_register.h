// The chipset's 32-bit GPIO level register: the input levels of the GPIO
// pins, one bit each. One pin carries the acceleration sensor's interrupt
// output (active high). The register sits either at an I/O port or, for
// addresses above 0xFFFF, in physical memory; it is read-only.
#pragma once

#include "hw/interrupt_line.h"

#include <hostkernel/io_space.h>

#include <cstdint>
#include <optional>

namespace hw {

class GpioLevelRegister : public hk::PortHandler, public hk::MemoryHandler {
public:
    static constexpr std::uint64_t kDefaultAddress = 0x1EBB;
    static constexpr std::uint32_t kDefaultPinMask = 0x20;
    static constexpr unsigned kSize = 4;  // bytes

    GpioLevelRegister(InterruptLine& sensor_line, std::uint64_t address = kDefaultAddress,
                      std::uint32_t pin_mask = kDefaultPinMask);

    std::uint64_t Address() const { return address_; }
    bool InMemorySpace() const { return address_ > 0xFFFF; }
    std::uint32_t PinMask() const { return pin_mask_; }

    // The register's value now.
    std::uint32_t Level();

    // Levels of the pins other than the sensor's (default all low).
    void SetOtherInputs(std::uint32_t levels) { other_inputs_ = levels & ~pin_mask_; }
    // Drive the sensor pin regardless of the sensor, until ReleaseForce().
    void ForcePin(bool on) { forced_ = on; }
    void ReleaseForce() { forced_.reset(); }

    std::uint32_t ReadPort(std::uint16_t port, unsigned width) override;
    void WritePort(std::uint16_t port, std::uint32_t value, unsigned width) override;
    std::uint32_t ReadMemory(std::uint64_t address, unsigned width) override;
    void WriteMemory(std::uint64_t address, std::uint32_t value, unsigned width) override;

private:
    std::uint32_t ReadAt(std::uint64_t address, unsigned width);

    InterruptLine& sensor_line_;
    std::uint64_t address_;
    std::uint32_t pin_mask_;
    std::uint32_t other_inputs_ = 0;
    std::optional<bool> forced_;
};

}  // namespace hw
