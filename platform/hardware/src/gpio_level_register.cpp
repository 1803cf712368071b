#include "hw/gpio_level_register.h"

namespace hw {

GpioLevelRegister::GpioLevelRegister(InterruptLine& sensor_line, std::uint64_t address, std::uint32_t pin_mask)
    : sensor_line_(sensor_line), address_(address), pin_mask_(pin_mask) {}

std::uint32_t GpioLevelRegister::Level() {
    const bool pin = forced_ ? *forced_ : sensor_line_.Level();
    return other_inputs_ | (pin ? pin_mask_ : 0);
}

// Bytes of an access that fall outside the register read as all ones, like
// unclaimed ports.
std::uint32_t GpioLevelRegister::ReadAt(std::uint64_t address, unsigned width) {
    const std::uint32_t level = Level();
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width / 8; ++i) {
        const std::uint64_t a = address + i;
        const std::uint32_t byte = (a >= address_ && a < address_ + kSize) ? (level >> (8 * (a - address_))) & 0xFF : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

std::uint32_t GpioLevelRegister::ReadPort(std::uint16_t port, unsigned width) { return ReadAt(port, width); }

void GpioLevelRegister::WritePort(std::uint16_t, std::uint32_t, unsigned) {}

std::uint32_t GpioLevelRegister::ReadMemory(std::uint64_t address, unsigned width) { return ReadAt(address, width); }

void GpioLevelRegister::WriteMemory(std::uint64_t, std::uint32_t, unsigned) {}

}  // namespace hw
