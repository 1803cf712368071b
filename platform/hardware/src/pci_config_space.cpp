#include "hw/pci_config_space.h"

namespace hw {
namespace {

constexpr std::uint32_t kFunctionMask = 0x00FFFF00u;  // bus, device, function

void Put16(PciConfigSpace::ConfigImage& image, std::size_t offset, std::uint16_t value) {
    image[offset] = static_cast<std::uint8_t>(value);
    image[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(PciConfigSpace::ConfigImage& image, std::size_t offset, std::uint32_t value) {
    Put16(image, offset, static_cast<std::uint16_t>(value));
    Put16(image, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

std::uint32_t PciConfigSpace::Address(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg) {
    return kEnable | (std::uint32_t{bus} << 16) | (std::uint32_t{device & 0x1Fu} << 11) |
           (std::uint32_t{function & 0x07u} << 8) | (reg & 0xFCu);
}

PciConfigSpace::ConfigImage PciConfigSpace::SmbusControllerImage(std::uint16_t io_base) {
    ConfigImage image{};
    Put16(image, 0x00, kIntelVendorId);
    Put16(image, 0x02, kSmbusDeviceId);
    Put16(image, 0x04, 0x0001);  // command: I/O space decoding on
    Put16(image, 0x06, 0x0280);  // status: medium DEVSEL timing, fast back-to-back
    image[0x08] = 0x05;          // revision
    image[0x09] = 0x00;          // programming interface
    image[0x0A] = 0x05;          // subclass: SMBus
    image[0x0B] = 0x0C;          // class: serial bus controller
    Put32(image, kSmbusBaseRegister, std::uint32_t{io_base} | 0x1u);  // bit 0: I/O space
    Put16(image, 0x2C, kIntelVendorId);  // subsystem vendor
    Put16(image, 0x2E, 0x7270);          // subsystem
    image[0x3C] = 0x0B;                  // interrupt line
    image[0x3D] = 0x03;                  // interrupt pin INTC
    image[0x40] = 0x01;                  // host configuration: SMBus host enabled
    return image;
}

void PciConfigSpace::AddFunction(std::uint8_t bus, std::uint8_t device, std::uint8_t function, const ConfigImage& image) {
    functions_[Address(bus, device, function, 0) & kFunctionMask] = image;
}

std::uint32_t PciConfigSpace::ReadPort(std::uint16_t port, unsigned width) {
    if (port == kAddressPort && width == 32) return address_;
    if (port < kDataPort || port + width / 8 > kDataPort + 4) return 0xFFFFFFFFu >> (32 - width);

    auto function = functions_.find(address_ & kFunctionMask);
    if (!(address_ & kEnable) || function == functions_.end()) return 0xFFFFFFFFu >> (32 - width);
    const unsigned first = (address_ & 0xFCu) + (port - kDataPort);
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width / 8; ++i) value |= std::uint32_t{function->second[first + i]} << (8 * i);
    return value;
}

void PciConfigSpace::WritePort(std::uint16_t port, std::uint32_t value, unsigned width) {
    // Only a full 32-bit write hits the address register; byte writes to
    // 0xCF8..0xCFB belong to other chipset registers.
    if (port == kAddressPort && width == 32) address_ = value & 0xFFFFFFFCu;
}

}  // namespace hw

