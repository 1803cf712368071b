// PCI configuration mechanism 1: a 32-bit address at port 0xCF8 selects a
// function's configuration register, ports 0xCFC..0xCFF carry its data.
#pragma once

#include <hostkernel/io_space.h>

#include <array>
#include <cstdint>
#include <map>

namespace hw {

class PciConfigSpace : public hk::PortHandler {
public:
    static constexpr std::uint16_t kAddressPort = 0xCF8;
    static constexpr std::uint16_t kDataPort = 0xCFC;
    static constexpr std::uint16_t kFirstPort = kAddressPort;
    static constexpr std::uint16_t kPortCount = 8;
    static constexpr std::uint32_t kEnable = 0x80000000u;

    // The SMBus controller of an Intel 6 Series PCH, at 0:31.3.
    static constexpr std::uint8_t kSmbusDevice = 31;
    static constexpr std::uint8_t kSmbusFunction = 3;
    static constexpr std::uint16_t kIntelVendorId = 0x8086;
    static constexpr std::uint16_t kSmbusDeviceId = 0x1C22;
    static constexpr std::uint8_t kSmbusBaseRegister = 0x20;  // I/O BAR

    using ConfigImage = std::array<std::uint8_t, 256>;

    static std::uint32_t Address(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg);
    // The configuration header of the SMBus controller with its I/O base.
    static ConfigImage SmbusControllerImage(std::uint16_t io_base);

    void AddFunction(std::uint8_t bus, std::uint8_t device, std::uint8_t function, const ConfigImage& image);

    // Configuration registers are read-only in this model; writes to the
    // data ports are ignored. Functions that are absent read all ones.
    std::uint32_t ReadPort(std::uint16_t port, unsigned width) override;
    void WritePort(std::uint16_t port, std::uint32_t value, unsigned width) override;

private:
    std::map<std::uint32_t, ConfigImage> functions_;  // key: bus/device/function bits of the address
    std::uint32_t address_ = 0;
};

}  // namespace hw
