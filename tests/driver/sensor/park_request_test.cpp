// The park request as the disk class driver receives it, byte by byte, and
// a fall that is handled although the park fails or is slow.
#include <gtest/gtest.h>

#include <cstring>

#include "sensor_rig.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using namespace sensortest;

using Bytes = std::vector<std::uint8_t>;

template <typename T>
T At(const Bytes& b, std::size_t offset) {
    T value{};
    std::memcpy(&value, b.data() + offset, sizeof(T));
    return value;
}

// Checks the 560-byte request against the 64-bit ATA_PASS_THROUGH_EX layout
// and returns its current task file.
Bytes CheckParkRequest(const CapturedDeviceControl& c) {
    EXPECT_EQ(c.code, 0x0004D02Cu);
    EXPECT_EQ(c.inputLength, 560u);
    EXPECT_EQ(c.outputLength, 560u);
    if (c.input.size() != 560) {
        ADD_FAILURE() << "request of " << c.input.size() << " bytes";
        return {};
    }
    const Bytes& b = c.input;
    EXPECT_EQ(At<std::uint16_t>(b, 0), 48);       // Length
    EXPECT_EQ(At<std::uint16_t>(b, 2), 0x0001);   // AtaFlags: drive ready required
    EXPECT_EQ(b[4], 0);                           // PathId
    EXPECT_EQ(b[5], 0);                           // TargetId
    EXPECT_EQ(b[6], 0);                           // Lun
    EXPECT_EQ(b[7], 0);
    EXPECT_EQ(At<std::uint32_t>(b, 8), 512u);     // DataTransferLength
    EXPECT_EQ(At<std::uint32_t>(b, 12), 2u);      // TimeOutValue, seconds
    EXPECT_EQ(At<std::uint32_t>(b, 16), 0u);
    EXPECT_EQ(At<std::uint64_t>(b, 24), 48u);     // DataBufferOffset
    EXPECT_EQ(Bytes(b.begin() + 32, b.begin() + 40), Bytes(8, 0));  // PreviousTaskFile
    EXPECT_EQ(Bytes(b.begin() + 48, b.end()), Bytes(512, 0));        // the data area
    return Bytes(b.begin() + 40, b.begin() + 48);
}

Bytes Park(Machine& m, DeviceControlSpy& spy) {
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, 3 * kSecond));
    m.Pin(false);
    EXPECT_EQ(spy.requests.size(), 1u);
    if (spy.requests.size() != 1) return {};
    return CheckParkRequest(spy.requests[0]);
}

Bytes TaskFile(const hw::AtaTaskFile& t) {
    return {t.features, t.count, t.lba_low, t.lba_mid, t.lba_high, t.device, t.command, t.reserved};
}

TEST(ParkRequest, CarriesTheRegistryTaskFileButNotItsLastByte) {
    zhptest::MachineOptions options;
    options.editRegistry = [](hk::Registry& reg) {
        SetInit(reg, L"SATA_CMD", {0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x99});
    };
    zhptest::Machine m(options);
    DeviceControlSpy spy(m);
    EXPECT_EQ(Park(m, spy), (Bytes{0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00}));
    ASSERT_EQ(m.Disk().AtaCommands().size(), 1u);
    const hw::AtaCommandRecord& parked = m.Disk().AtaCommands()[0];
    EXPECT_EQ(TaskFile(parked.task), (Bytes{0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00}));
    EXPECT_EQ(parked.outcome, hw::DiskOutcome::Ok);
    EXPECT_TRUE(parked.heads_were_loaded);
    EXPECT_FALSE(m.Disk().HeadsLoaded());
    EXPECT_TRUE(m.Disk().Spinning());  // an unload keeps the spindle turning
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ParkRequest, BuiltInTaskFileWhenTheRegistryHasNone) {
    zhptest::MachineOptions options;
    options.editRegistry = [](hk::Registry& reg) { DeleteInit(reg, L"SATA_CMD"); };
    zhptest::Machine m(options);
    DeviceControlSpy spy(m);
    EXPECT_EQ(Park(m, spy), (Bytes{0x00, 0x44, 0x00, 0x4C, 0x4E, 0x55, 0xE0, 0x00}));
    ASSERT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_EQ(m.Disk().AtaCommands()[0].task.command, 0xE0);  // standby immediate
    EXPECT_FALSE(m.Disk().HeadsLoaded());
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ParkRequest, FallIsHandledWhenTheParkFailsOrIsSlow) {
    for (bool slow : {false, true}) {
        SCOPED_TRACE(slow ? "slow park" : "failed park");
        hw::DiskConfig disk;
        if (slow) {
            disk.faults.slow_park = 5 * kSecond;  // beyond the request's 2 s time-out
        } else {
            disk.faults.fail_park = true;
        }
        zhptest::MachineOptions options;
        options.disks = {disk};
        zhptest::Machine m(options);
        ProtectionOn(m);
        FallEvents events(m);
        m.Pin(true);
        ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 1; }, 4 * kSecond));
        EXPECT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
        EXPECT_TRUE(events.Fall());
        ASSERT_EQ(m.Disk().AtaCommands().size(), slow ? 0u : 1u);  // a slow one is still in the disk
        m.Pin(false);
        ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 0; }, kSecond));
        EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_RESUMED) != 0; }, 3100 * kMillisecond));
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

}  // namespace
