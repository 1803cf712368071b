// The simulated notebook's chipset with the acceleration sensor on its SMBus
// and the motion the sensor feels. The kernel registers PortRanges() and
// MemoryRanges() with its port and memory routing and the driver's accesses
// reach the models.
//
// The models are not internally synchronised: the host kernel calls them only
// from the thread that holds its one processor.
#pragma once

#include "hw/acceleration_sensor.h"
#include "hw/gpio_level_register.h"
#include "hw/motion_model.h"
#include "hw/pci_config_space.h"
#include "hw/smbus.h"

#include <hostkernel/io_space.h>

#include <cstdint>
#include <vector>

namespace hw {

struct PortRange {
    std::uint16_t first;
    std::uint16_t count;
    hk::PortHandler* handler;
};

struct MemoryRange {
    std::uint64_t first;
    std::uint64_t length;  // bytes
    hk::MemoryHandler* handler;
};

struct ChipsetConfig {
    std::uint16_t smbus_base = SmbusHostController::kDefaultBase;
    std::uint8_t sensor_address = AccelerationSensor::kDefaultAddress;  // 8-bit form
    std::uint64_t gpio_address = GpioLevelRegister::kDefaultAddress;    // port if <= 0xFFFF
    std::uint32_t sensor_pin_mask = GpioLevelRegister::kDefaultPinMask;
    std::uint64_t noise_seed = 1;
    std::uint64_t motion_seed = 0x7A11;
};

class Chipset {
public:
    explicit Chipset(hk::TimeSource& clock, const ChipsetConfig& config = {});
    Chipset(const Chipset&) = delete;
    Chipset& operator=(const Chipset&) = delete;

    // PCI configuration ports, the SMBus register block and, when it sits at
    // an I/O port, the GPIO level register.
    std::vector<PortRange> PortRanges();
    // The GPIO level register when it sits in physical memory; else empty.
    std::vector<MemoryRange> MemoryRanges();

    MotionModel& Motion() { return motion_; }
    AccelerationSensor& Sensor() { return sensor_; }
    SmbusHostController& Smbus() { return smbus_; }
    PciConfigSpace& Pci() { return pci_; }
    GpioLevelRegister& Gpio() { return gpio_; }

private:
    MotionModel motion_;
    AccelerationSensor sensor_;
    SmbusHostController smbus_;
    PciConfigSpace pci_;
    GpioLevelRegister gpio_;
};

}  // namespace hw
