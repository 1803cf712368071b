#include "hw/pci_config_space.h"

#include <gtest/gtest.h>

namespace {

using hw::PciConfigSpace;

class PciConfigSpaceTest : public ::testing::Test {
protected:
    PciConfigSpaceTest() { pci.AddFunction(0, 31, 3, PciConfigSpace::SmbusControllerImage(0xF040)); }

    std::uint32_t Read32(std::uint32_t address) {
        pci.WritePort(0xCF8, address, 32);
        return pci.ReadPort(0xCFC, 32);
    }

    PciConfigSpace pci;
};

TEST_F(PciConfigSpaceTest, SmbusBaseAddressRegisterReadsIoBaseWithIoSpaceBit) {
    const std::uint32_t bar = Read32(0x8000FB20);
    EXPECT_EQ(bar, 0xF041u);
    EXPECT_EQ(bar & ~0xFu, 0xF040u);  // what the driver keeps
    EXPECT_EQ(PciConfigSpace::Address(0, 31, 3, 0x20), 0x8000FB20u);
}

TEST_F(PciConfigSpaceTest, SmbusFunctionIdentifiesAsIntelSmbusController) {
    EXPECT_EQ(Read32(0x8000FB00), 0x1C228086u);
    EXPECT_EQ(Read32(0x8000FB08) >> 8, 0x0C0500u);  // class: serial bus, SMBus
}

TEST_F(PciConfigSpaceTest, AbsentFunctionsAndDisabledAddressesReadAllOnes) {
    EXPECT_EQ(Read32(0x8000F820), 0xFFFFFFFFu);  // 0:31.0
    EXPECT_EQ(Read32(0x8001FB20), 0xFFFFFFFFu);  // bus 1
    EXPECT_EQ(Read32(0x0000FB20), 0xFFFFFFFFu);  // enable bit clear
    EXPECT_EQ(pci.ReadPort(0xCFC, 8), 0xFFu);
}

TEST_F(PciConfigSpaceTest, NarrowDataAccessesSelectBytesOfTheRegister) {
    pci.WritePort(0xCF8, 0x8000FB00, 32);
    EXPECT_EQ(pci.ReadPort(0xCFC, 16), 0x8086u);
    EXPECT_EQ(pci.ReadPort(0xCFE, 16), 0x1C22u);
    EXPECT_EQ(pci.ReadPort(0xCFD, 8), 0x80u);
    EXPECT_EQ(pci.ReadPort(0xCF8, 32), 0x8000FB00u);  // the address reads back
}

TEST_F(PciConfigSpaceTest, ConfigurationRegistersIgnoreWrites) {
    pci.WritePort(0xCF8, 0x8000FB20, 32);
    pci.WritePort(0xCFC, 0x12345678, 32);
    EXPECT_EQ(Read32(0x8000FB20), 0xF041u);
}

TEST(PciConfigSpaceImage, BarFollowsTheConfiguredBase) {
    PciConfigSpace pci;
    pci.AddFunction(0, 31, 3, PciConfigSpace::SmbusControllerImage(0x0400));
    pci.WritePort(0xCF8, 0x8000FB20, 32);
    EXPECT_EQ(pci.ReadPort(0xCFC, 32), 0x0401u);
}

}  // namespace
