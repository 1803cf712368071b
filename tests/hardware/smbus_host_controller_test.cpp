#include "hw/smbus.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using hw::SmbusHostController;
using hwtest::FakeClock;

// A slave with a plain register file that records the writes it receives.
class RecordingSlave : public hw::SmbusDevice {
public:
    std::uint8_t ReadRegister(std::uint8_t reg) override {
        ++reads;
        return regs[reg];
    }
    void WriteRegister(std::uint8_t reg, std::uint8_t value) override {
        regs[reg] = value;
        writes.emplace_back(reg, value);
    }
    std::uint8_t regs[256] = {};
    int reads = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> writes;
};

constexpr std::uint16_t kBase = 0xF040;

class SmbusHostControllerTest : public ::testing::Test {
protected:
    SmbusHostControllerTest() : smbus(clock, kBase) { smbus.Attach(0x3A, slave); }

    std::uint8_t In(std::uint8_t offset) { return static_cast<std::uint8_t>(smbus.ReadPort(kBase + offset, 8)); }
    void Out(std::uint8_t offset, std::uint8_t value) { smbus.WritePort(kBase + offset, value, 8); }

    void StartByteRead(std::uint8_t slave_address8, std::uint8_t reg) {
        Out(0, 0xFF);
        Out(3, reg);
        Out(4, slave_address8 | 1);
        Out(2, 0x48);
    }
    void StartByteWrite(std::uint8_t slave_address8, std::uint8_t reg, std::uint8_t value) {
        Out(0, 0xFF);
        Out(4, slave_address8);
        Out(3, reg);
        Out(5, value);
        Out(6, 0);
        Out(2, 0x48);
    }

    FakeClock clock;
    SmbusHostController smbus;
    RecordingSlave slave;
};

TEST_F(SmbusHostControllerTest, ByteReadIsBusyForItsBusTimeThenDoneWithTheByte) {
    slave.regs[0x0F] = 0x3A;
    Out(5, 0x00);
    StartByteRead(0x3A, 0x0F);

    EXPECT_EQ(In(0) & 0x03, 0x01) << "busy, not yet done";
    clock.Advance(200 * hk::kMicrosecond);
    EXPECT_EQ(In(0) & 0x03, 0x01);
    EXPECT_EQ(In(5), 0x00) << "data arrives with the end of the transaction";

    clock.Advance(300 * hk::kMicrosecond);  // a byte read at 100 kHz is about 0.4 ms
    EXPECT_EQ(In(0) & 0x03, 0x02) << "done, no longer busy";
    EXPECT_EQ(In(5), 0x3A);
    EXPECT_EQ(In(0) & 0x1C, 0) << "no error bits";
}

TEST_F(SmbusHostControllerTest, ByteWriteReachesTheSlaveAsRegisterAndValue) {
    StartByteWrite(0x3A, 0x52, 0x10);
    clock.Advance(hk::kMillisecond);
    EXPECT_EQ(In(0) & 0x03, 0x02);
    ASSERT_EQ(slave.writes.size(), 1u);
    EXPECT_EQ(slave.writes[0], std::make_pair(std::uint8_t{0x52}, std::uint8_t{0x10}));
    EXPECT_EQ(slave.reads, 0);
}

TEST_F(SmbusHostControllerTest, DoneBitIsWriteOneToClear) {
    StartByteRead(0x3A, 0x00);
    clock.Advance(hk::kMillisecond);
    ASSERT_EQ(In(0) & 0x02, 0x02);
    Out(0, 0x00);
    EXPECT_EQ(In(0) & 0x02, 0x02) << "writing 0 leaves it";
    Out(0, 0xFD);
    EXPECT_EQ(In(0) & 0x02, 0x02) << "writing 1 to other bits leaves it";
    Out(0, 0xFF);
    EXPECT_EQ(In(0), 0x00);
}

TEST_F(SmbusHostControllerTest, StartBitReadsBackAsZeroOtherControlBitsStay) {
    Out(2, 0x48);
    EXPECT_EQ(In(2), 0x08);
    EXPECT_EQ(In(2) & 0xBF, 0x08);  // the driver's read-back check
}

TEST_F(SmbusHostControllerTest, RegistersTheDriverVerifiesReadBackWhatWasWritten) {
    Out(3, 0x56);
    Out(4, 0x3B);
    Out(5, 0xA5);
    Out(6, 0x00);
    EXPECT_EQ(In(3), 0x56);
    EXPECT_EQ(In(4), 0x3B);
    EXPECT_EQ(In(5), 0xA5);
    EXPECT_EQ(In(6), 0x00);
}

TEST_F(SmbusHostControllerTest, SlaveThatDoesNotAnswerGivesDeviceErrorAndNeverDone) {
    slave.SetAnswering(false);
    StartByteRead(0x3A, 0x0F);
    clock.Advance(hk::kSecond);
    EXPECT_EQ(In(0) & 0x07, 0x04) << "device error, not busy, not done";
    EXPECT_EQ(slave.reads, 0);

    slave.SetAnswering(true);
    StartByteRead(0x3A, 0x0F);
    clock.Advance(hk::kMillisecond);
    EXPECT_EQ(In(0) & 0x06, 0x02) << "status cleared by the start sequence; answers again";
}

TEST_F(SmbusHostControllerTest, EmptyAddressBehavesLikeASilentSlave) {
    StartByteWrite(0x40, 0x20, 0x01);
    clock.Advance(hk::kSecond);
    EXPECT_EQ(In(0) & 0x06, 0x04);
    EXPECT_TRUE(slave.writes.empty());
}

TEST_F(SmbusHostControllerTest, HungControllerStaysBusyUntilKilled) {
    smbus.SetHung(true);
    StartByteRead(0x3A, 0x0F);
    clock.Advance(10 * hk::kSecond);
    EXPECT_EQ(In(0) & 0x03, 0x01) << "busy, never done";

    Out(2, 0x02);  // kill
    EXPECT_EQ(In(0) & 0x13, 0x10) << "failed, not busy";
}

TEST_F(SmbusHostControllerTest, StartWhileBusyDoesNotStartASecondTransaction) {
    StartByteWrite(0x3A, 0x20, 0x01);
    Out(2, 0x48);
    clock.Advance(hk::kMillisecond);
    EXPECT_EQ(smbus.TransactionsStarted(), 1u);
    EXPECT_EQ(slave.writes.size(), 1u);
}

TEST_F(SmbusHostControllerTest, WordDataReadsTwoConsecutiveRegisters) {
    slave.regs[0x32] = 0x34;
    slave.regs[0x33] = 0x12;
    Out(3, 0x32);
    Out(4, 0x3B);
    Out(2, 0x4C);
    clock.Advance(hk::kMillisecond);
    EXPECT_EQ(In(0) & 0x02, 0x02);
    EXPECT_EQ(smbus.ReadPort(kBase + 5, 16), 0x1234u);
}

TEST_F(SmbusHostControllerTest, UnmodelledProtocolFailsInsteadOfCompleting) {
    Out(3, 0x32);
    Out(4, 0x3B);
    Out(2, 0x54);  // block protocol
    clock.Advance(hk::kMillisecond);
    EXPECT_EQ(In(0) & 0x12, 0x10);
}

TEST_F(SmbusHostControllerTest, PortsOutsideTheBlockAreNotDecoded) {
    EXPECT_EQ(smbus.ReadPort(kBase + 32, 8), 0xFFu);
    EXPECT_EQ(smbus.ReadPort(kBase + 30, 32), 0xFFFF0000u);
}

}  // namespace
