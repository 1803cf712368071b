// The chipset wired through its own port and memory ranges, as the kernel
// routes the driver's accesses.
#include "hw/chipset.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

using hwtest::DriverLikeHost;
using hwtest::FakeClock;
using hwtest::PortBus;

TEST(Chipset, PortRangesCoverPciSmbusAndGpioPort) {
    FakeClock clock;
    hw::Chipset chipset(clock);
    const auto ports = chipset.PortRanges();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].first, 0xCF8);
    EXPECT_EQ(ports[0].count, 8);
    EXPECT_EQ(ports[1].first, 0xF040);
    EXPECT_EQ(ports[1].count, 32);
    EXPECT_EQ(ports[2].first, 0x1EBB);
    EXPECT_EQ(ports[2].count, 4);
    EXPECT_TRUE(chipset.MemoryRanges().empty());
}

TEST(Chipset, GpioAbovePortSpaceIsAMemoryRange) {
    FakeClock clock;
    hw::ChipsetConfig config;
    config.gpio_address = 0xFED0C000;
    hw::Chipset chipset(clock, config);
    EXPECT_EQ(chipset.PortRanges().size(), 2u);
    const auto memory = chipset.MemoryRanges();
    ASSERT_EQ(memory.size(), 1u);
    EXPECT_EQ(memory[0].first, 0xFED0C000u);
    EXPECT_EQ(memory[0].length, 4u);

    chipset.Gpio().ForcePin(true);
    EXPECT_EQ(memory[0].handler->ReadMemory(0xFED0C000, 32), 0x20u);
}

// The driver's way in: SMBus base from the PCI BAR, then the chip identity
// over the bus.
TEST(Chipset, DriverFindsTheSmbusThroughPciAndReadsTheChipId) {
    FakeClock clock;
    hw::ChipsetConfig config;
    config.smbus_base = 0x0580;
    hw::Chipset chipset(clock, config);
    PortBus bus(chipset.PortRanges());
    bus.Write(0xCF8, 0x8000FB20, 32);
    const auto base = static_cast<std::uint16_t>(bus.Read(0xCFC, 32) & ~0xFu);
    ASSERT_EQ(base, 0x0580);
    DriverLikeHost host(bus, clock, base);
    EXPECT_EQ(host.ReadRegister(0x0F), 0x3A);
}

TEST(Chipset, SensorOutputsOverTheBusAndSilentSensorFailsReads) {
    FakeClock clock;
    hw::Chipset chipset(clock);
    chipset.Sensor().SetNoise(0);
    chipset.Motion().Tilt(-90.0, 0.0, 0);  // standing on its edge: x = -1 g
    PortBus bus(chipset.PortRanges());
    DriverLikeHost host(bus, clock, 0xF040);
    ASSERT_TRUE(host.WriteRegister(0x20, 0x67));
    clock.Advance(10 * hk::kMillisecond);
    EXPECT_EQ(host.ReadRegister(0x32), 0x00);
    EXPECT_EQ(host.ReadRegister(0x33), 0xFC);  // -1024

    chipset.Sensor().SetAnswering(false);
    EXPECT_EQ(host.ReadRegister(0x0F), -1);
    EXPECT_FALSE(host.WriteRegister(0x20, 0x00));
    EXPECT_TRUE(chipset.Sensor().PoweredOn()) << "the write never reached it";
}

TEST(Chipset, SensorLineReachesTheGpioPortAndCanBeForced) {
    FakeClock clock;
    hw::Chipset chipset(clock);
    PortBus bus(chipset.PortRanges());
    chipset.Sensor().WriteRegister(0x20, 0x67);
    chipset.Sensor().WriteRegister(0x56, 38);
    chipset.Sensor().WriteRegister(0x50, 0xC7);
    chipset.Sensor().WriteRegister(0x22, 0x90);
    chipset.Motion().Drop(1.0, 0);
    clock.Advance(100 * hk::kMillisecond);
    EXPECT_EQ(bus.Read(0x1EBB, 32) & 0x20, 0x20u);
    chipset.Gpio().ForcePin(false);
    EXPECT_EQ(bus.Read(0x1EBB, 32) & 0x20, 0u);
    chipset.Gpio().ReleaseForce();
    EXPECT_EQ(bus.Read(0x1EBB, 32) & 0x20, 0x20u);
}

}  // namespace
