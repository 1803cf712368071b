#include "hw/gpio_level_register.h"

#include <gtest/gtest.h>

namespace {

using hw::GpioLevelRegister;

class FakeLine : public hw::InterruptLine {
public:
    bool Level() override { return level; }
    bool level = false;
};

TEST(GpioLevelRegister, PortRegisterCarriesTheSensorLineOnItsPin) {
    FakeLine line;
    GpioLevelRegister gpio(line);
    EXPECT_FALSE(gpio.InMemorySpace());
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 32), 0u);
    line.level = true;
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 32), 0x20u);
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 8), 0x20u);
    EXPECT_EQ(gpio.ReadPort(0x1EBC, 8), 0x00u);
}

TEST(GpioLevelRegister, OtherInputsKeepTheirLevelsAroundThePin) {
    FakeLine line;
    GpioLevelRegister gpio(line);
    gpio.SetOtherInputs(0x8C0000FF);
    EXPECT_EQ(gpio.Level(), 0x8C0000DFu) << "the pin's own bit stays the sensor's";
    line.level = true;
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 32), 0x8C0000FFu);
    EXPECT_EQ(gpio.ReadPort(0x1EBE, 8), 0x8Cu);
    EXPECT_EQ(gpio.ReadPort(0x1EBD, 16), 0x8C00u);
    EXPECT_EQ(gpio.ReadPort(0x1EBE, 16), 0xFF8Cu) << "bytes past the register read as ones";
}

TEST(GpioLevelRegister, MemoryRegisterAboveThePortSpace) {
    FakeLine line;
    GpioLevelRegister gpio(line, 0xFED0C000, 0x20);
    EXPECT_TRUE(gpio.InMemorySpace());
    line.level = true;
    EXPECT_EQ(gpio.ReadMemory(0xFED0C000, 32), 0x20u);
    line.level = false;
    EXPECT_EQ(gpio.ReadMemory(0xFED0C000, 32), 0x00u);
}

TEST(GpioLevelRegister, ForcedPinOverridesTheSensorUntilReleased) {
    FakeLine line;
    GpioLevelRegister gpio(line);
    gpio.ForcePin(true);
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 32), 0x20u);
    line.level = true;
    gpio.ForcePin(false);
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 32), 0x00u);
    gpio.ReleaseForce();
    EXPECT_EQ(gpio.ReadPort(0x1EBB, 32), 0x20u);
}

TEST(GpioLevelRegister, OtherPinMaskAndWritesIgnored) {
    FakeLine line;
    line.level = true;
    GpioLevelRegister gpio(line, 0x430, 0x04);
    gpio.WritePort(0x430, 0, 32);
    EXPECT_EQ(gpio.ReadPort(0x430, 32), 0x04u);
}

}  // namespace
