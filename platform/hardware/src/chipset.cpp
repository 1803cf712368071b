#include "hw/chipset.h"

namespace hw {

Chipset::Chipset(hk::TimeSource& clock, const ChipsetConfig& config)
    : motion_(config.motion_seed),
      sensor_(clock, motion_, config.noise_seed),
      smbus_(clock, config.smbus_base),
      gpio_(sensor_, config.gpio_address, config.sensor_pin_mask) {
    smbus_.Attach(config.sensor_address, sensor_);
    pci_.AddFunction(0, PciConfigSpace::kSmbusDevice, PciConfigSpace::kSmbusFunction,
                     PciConfigSpace::SmbusControllerImage(config.smbus_base));
}

std::vector<PortRange> Chipset::PortRanges() {
    std::vector<PortRange> ranges{
        {PciConfigSpace::kFirstPort, PciConfigSpace::kPortCount, &pci_},
        {smbus_.Base(), SmbusHostController::kPortCount, &smbus_},
    };
    if (!gpio_.InMemorySpace()) {
        ranges.push_back({static_cast<std::uint16_t>(gpio_.Address()), GpioLevelRegister::kSize, &gpio_});
    }
    return ranges;
}

std::vector<MemoryRange> Chipset::MemoryRanges() {
    if (!gpio_.InMemorySpace()) return {};
    return {{gpio_.Address(), GpioLevelRegister::kSize, &gpio_}};
}

}  // namespace hw
