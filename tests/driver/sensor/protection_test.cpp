// The engine on the simulated notebook as a whole: real drops park the disk
// and hold its I/O until 3 s after the line comes down; a notebook at rest,
// tilted or typed on stays quiet; and registry contents of any kind leave a
// driver that keeps running.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sensor_rig.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using namespace sensortest;

using Bytes = std::vector<std::uint8_t>;

const char kRearm[] = "Reset the timer";
const char kDetected[] = "ZHP_FFDetected(): The Filter driver will park disk";

bool Blocked(Machine& m) { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }

const hw::MediaAccess* AccessAt(Machine& m, bool write, std::uint64_t sector) {
    for (const auto& access : m.Disk().MediaAccesses()) {
        if (access.write == write && access.offset == sector * 512) return &access;
    }
    return nullptr;
}

TEST(Protection, DropParksHoldsAndReleasesOldestFirst) {
    zhptest::Machine m;
    ProtectionOn(m);
    TimedTrace trace(m);
    m.Run(kSecond);
    ASSERT_TRUE(m.Disk().AtaCommands().empty());

    const hw::DropFacts drop = m.chipset.Motion().Drop(1.0, m.kernel.Now() + 100 * kMillisecond);
    ASSERT_TRUE(RunUntil(m, [&] { return (m.chipset.Gpio().Level() & 0x20) != 0; }, 300 * kMillisecond));
    const hk::Time100ns rise = m.chipset.Sensor().RequestRoseAt();
    EXPECT_GT(rise, drop.fall_start);
    ASSERT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));

    // Parked within a tick of the line rising, and before the impact.
    ASSERT_FALSE(m.Disk().AtaCommands().empty());
    const hk::Time100ns parkReceived = m.Disk().AtaCommands()[0].received;
    EXPECT_GE(parkReceived, rise);
    EXPECT_LE(parkReceived - rise, kMillisecond);
    EXPECT_TRUE(m.Disk().HeadsUnloadedAt(drop.impact));

    // Reads and writes during the fall wait, and go down oldest first.
    hk::RequestPtr first, read, second;
    const Bytes data(512, 0xC3);
    m.Do([&] { first = hk::SendWrite(m.DiskTop(), 10 * 512, data); });
    m.Do([&] { read = hk::SendRead(m.DiskTop(), 10 * 512, 512); });
    m.Do([&] { second = hk::SendWrite(m.DiskTop(), 11 * 512, Bytes(512, 0x3C)); });
    ASSERT_TRUE(RunUntil(m, [&] { return second->completed; }, 10 * kSecond));
    EXPECT_EQ(m.Disk().MediaIoWhileFalling(), 0u);
    for (const auto& r : {first, read, second}) {
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->completions, 1u);
    }
    EXPECT_LT(first->completionOrder, read->completionOrder);
    EXPECT_LT(read->completionOrder, second->completionOrder);
    EXPECT_EQ(read->buffer, data);
    const hw::MediaAccess* a = AccessAt(m, true, 10);
    const hw::MediaAccess* b = AccessAt(m, false, 10);
    const hw::MediaAccess* c = AccessAt(m, true, 11);
    ASSERT_TRUE(a && b && c);
    EXPECT_LE(a->received, b->received);
    EXPECT_LE(b->received, c->received);

    // Released 3 s after the timer was last armed: the tick that saw the
    // line down (or a new detection during a bounce).
    std::vector<hk::Time100ns> arms = trace.TimesOf(kRearm);
    for (hk::Time100ns t : trace.TimesOf(kDetected)) arms.push_back(t);
    std::sort(arms.begin(), arms.end());
    auto lastArm = std::upper_bound(arms.begin(), arms.end(), a->received);
    ASSERT_NE(lastArm, arms.begin());
    --lastArm;
    EXPECT_GE(a->received - *lastArm, 3 * kSecond);
    EXPECT_LE(a->received - *lastArm, 3 * kSecond + kMillisecond);
    EXPECT_GT(a->received, drop.settled);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Protection, WritesStreamingThroughAFallAreHeldFromTheDetectionOn) {
    // Writes every 10 ms while the notebook falls 0.75 m: none of those sent
    // after the line rose may reach the disk behind the park command and
    // load the heads again before the impact.
    zhptest::Machine m;
    ProtectionOn(m);
    m.Run(kSecond);
    const hk::Time100ns start = m.kernel.Now();
    const hw::DropFacts drop = m.chipset.Motion().Drop(0.75, start + 100 * kMillisecond);
    std::vector<hk::RequestPtr> writes;
    PKTHREAD writer = m.kernel.Spawn([&] {
        for (int i = 0; i < 60; ++i) {
            writes.push_back(hk::SendWrite(m.DiskTop(), (100 + i) * 512, Bytes(512, static_cast<std::uint8_t>(i))));
            LARGE_INTEGER pause;
            pause.QuadPart = -10 * kMillisecond;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    });
    m.Run(6 * kSecond);
    m.kernel.ReleaseThread(writer);

    ASSERT_EQ(m.Disk().AtaCommands().size(), 1u);
    const hk::Time100ns parkReceived = m.Disk().AtaCommands()[0].received;
    EXPECT_TRUE(m.Disk().HeadsUnloadedAt(drop.impact));
    std::size_t fallingAccesses = 0;
    for (const auto& access : m.Disk().MediaAccesses()) {
        if (!access.while_falling) continue;
        ++fallingAccesses;
        EXPECT_LT(access.received, parkReceived) << "a write reached the disk after the park command";
    }
    // Only the writes sent before the sensor saw the fall (its delay) reach
    // the media while falling.
    EXPECT_LE(fallingAccesses, 5u);
    ASSERT_EQ(writes.size(), 60u);
    for (const auto& w : writes) {
        EXPECT_TRUE(w->completed);
        EXPECT_EQ(w->status, STATUS_SUCCESS);
    }
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Protection, DropsOfDifferentHeightsAreAllCaught) {
    for (double height : {0.05, 0.2, 0.5, 1.5}) {
        SCOPED_TRACE(height);
        zhptest::MachineOptions options;
        options.seed = static_cast<std::uint64_t>(height * 100);
        zhptest::Machine m(options);
        ProtectionOn(m);
        FallEvents events(m);
        const hw::DropFacts drop = m.chipset.Motion().Drop(height, m.kernel.Now() + 50 * kMillisecond);
        ASSERT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
        EXPECT_TRUE(events.Fall());
        // Quiet again and released in the end.
        ASSERT_TRUE(RunUntil(m, [&] { return !Blocked(m); }, 10 * kSecond));
        EXPECT_TRUE(events.Cleared());
        EXPECT_GE(m.kernel.Now(), drop.impact + 3 * kSecond);
        EXPECT_EQ(m.FilterExt()->IntState, 0);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(Protection, RestTiltAndTypingNeverTrigger) {
    zhptest::Machine m;
    ProtectionOn(m);
    hw::MotionModel& motion = m.chipset.Motion();
    const hk::Time100ns t0 = m.kernel.Now();
    motion.Rest(t0);
    motion.Tilt(30, 0, t0 + 10 * kSecond);
    motion.Tilt(75, 40, t0 + 20 * kSecond);
    motion.Tilt(0, 180, t0 + 30 * kSecond);  // upside down
    motion.Rest(t0 + 40 * kSecond);
    motion.Type(t0 + 45 * kSecond);
    motion.Tilt(-60, -20, t0 + 70 * kSecond);
    motion.Type(t0 + 80 * kSecond, hw::MotionModel::kDefaultTypingAmplitude);
    m.Run(100 * kSecond);
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_FALSE(m.TraceHas("TriggerPinConfirm()"));
    EXPECT_EQ(m.FilterExt()->IntState, 0);
    EXPECT_FALSE(Blocked(m));

    // The sensor was armed all along.
    m.chipset.Motion().Drop(0.5, m.kernel.Now() + 10 * kMillisecond);
    EXPECT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// ------------------------------------------------------------------ registry contents of any kind

const wchar_t* const kHardwareValues[] = {L"PCI_SMBUS_ADDR", L"DEV_SLAVE_ADDR", L"DEV_CHIP_ID",
                                          L"PCI_GPIO_ADDR",  L"PCI_TRIG_PIN",   L"SATA_CMD"};
const wchar_t* const kOtherValues[] = {L"OP_MODE",  L"P_THRESHOLD", L"P_DL_TIME", L"FUNC_W_0", L"FUNC_W_1",
                                       L"FUNC_W_2", L"FUNC_W_3",    L"FUNC_W_4",  L"FUNC_W_12"};

struct RandomValue {
    bool present = true;
    Bytes data;
};

RandomValue MakeValue(std::mt19937_64& rng, hk::Registry& reg, const wchar_t* name) {
    RandomValue v;
    const unsigned kind = rng() % 10;
    if (kind < 2) {
        v.present = false;
        DeleteInit(reg, name);
        return v;
    }
    if (kind < 4) {
        v.data = reg.GetValue(zhptest::kInitKey, name).value_or(hk::RegValue{}).data;
        v.present = reg.GetValue(zhptest::kInitKey, name).has_value();
        return v;
    }
    static const std::size_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 255, 256, 257, 300, 1000};
    std::size_t length = kind < 8 ? lengths[rng() % 14] : rng() % 600;
    v.data.resize(length);
    for (auto& b : v.data) b = static_cast<std::uint8_t>(rng());
    static const std::uint32_t types[] = {hk::kRegBinary, hk::kRegNone, hk::kRegDword, hk::kRegSz, hk::kRegQword,
                                          hk::kRegMultiSz};
    if (!reg.SetValue(zhptest::kInitKey, name, types[rng() % 6], v.data)) SetInit(reg, name, v.data);
    return v;
}

TEST(BadRegistry, AnyContentLeavesARunningDriver) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        zhptest::MachineOptions options;
        options.seed = seed;
        zhptest::Machine m(options);
        ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
        hk::Registry& reg = m.kernel.Reg();

        // The probe's buffer, zeroed once and overwritten by each value read.
        std::uint8_t buffer[256] = {};
        RandomValue hw[6];
        for (int i = 0; i < 6; ++i) {
            hw[i] = MakeValue(rng, reg, kHardwareValues[i]);
            if (hw[i].present) std::copy_n(hw[i].data.begin(), std::min<std::size_t>(hw[i].data.size(), 256), buffer);
            std::uint32_t expected = 0;
            switch (i) {
            case 0:
                expected = hw[0].present ? buffer[0] * 256u + buffer[1] : 0;
                if (expected == 0) expected = 0xF040;  // the PCI fallback
                hw[0].data.assign({static_cast<std::uint8_t>(expected >> 8), static_cast<std::uint8_t>(expected)});
                break;
            case 1:
                hw[1].data.assign({hw[1].present ? buffer[0] : std::uint8_t{0x3A}});
                break;
            case 3:
                expected = hw[3].present ? ((buffer[0] * 256u + buffer[1]) * 256u + buffer[2]) * 256u + buffer[3]
                                         : 0x1EBB;
                hw[3].data.assign({static_cast<std::uint8_t>(expected >> 24), static_cast<std::uint8_t>(expected >> 16),
                                   static_cast<std::uint8_t>(expected >> 8), static_cast<std::uint8_t>(expected)});
                break;
            case 4:
                hw[4].data.assign({hw[4].present ? buffer[0] : std::uint8_t{0x20}});
                break;
            case 5:
                if (hw[5].present) {
                    hw[5].data.assign(buffer, buffer + 8);
                } else {
                    hw[5].data = {0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00};
                }
                break;
            default:
                break;
            }
        }
        for (const wchar_t* name : kOtherValues) MakeValue(rng, reg, name);

        // The hardware probe takes what is there, reports what is missing.
        reg.DeleteValue(zhptest::kInitKey, L"ERR_CODE");
        m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 60 * kSecond);
        auto errCode = InitValue(m, L"ERR_CODE");
        ASSERT_TRUE(errCode.has_value());
        ASSERT_EQ(errCode->size(), 1u);
        const std::uint8_t err = (*errCode)[0];
        EXPECT_EQ(err & 0x08, hw[1].present ? 0 : 0x08);
        EXPECT_EQ(err & 0x02, hw[3].present ? 0 : 0x02);
        EXPECT_EQ(err & 0x01, hw[4].present ? 0 : 0x01);
        if (!hw[2].present) EXPECT_EQ(err & 0x04, 0x04);
        EXPECT_EQ(err & 0xF0, 0);
        EXPECT_EQ(m.Global<std::uint32_t>("PCI_SMBUS_ADDR"), hw[0].data[0] * 256u + hw[0].data[1]);
        EXPECT_EQ(m.Global<unsigned char>("DEV_SLAVE_ADDR"), hw[1].data[0]);
        EXPECT_EQ(m.Global<std::uint32_t>("PCI_GPIO_ADDR"),
                  (std::uint32_t{hw[3].data[0]} << 24) | (hw[3].data[1] << 16) | (hw[3].data[2] << 8) | hw[3].data[3]);
        EXPECT_EQ(m.Global<unsigned char>("PCI_TRIG_PIN"), hw[4].data[0]);
        const unsigned char* sata = &m.Global<unsigned char>("SATA_CMD");
        EXPECT_EQ(Bytes(sata, sata + 8), hw[5].data);

        // Start-up and the engine with whatever that gave.
        m.Command(ZHP_CMD_SENSOR_STARTUP, {}, 120 * kSecond);
        m.Pin(true);
        m.Run(300 * kMillisecond);
        m.Pin(false);
        m.Run(300 * kMillisecond);
        m.Command(ZHP_CMD_QUERY);
        ASSERT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();

        // Back to the installer's values: everything works again.
        auto error = reg.ImportFile(std::string(ZHP_SOURCE_DIR) + "/install/ZHP.reg");
        ASSERT_FALSE(error) << error->ToString();
        m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 60 * kSecond);
        m.Command(ZHP_CMD_SENSOR_STARTUP, {}, 60 * kSecond);
        EXPECT_EQ(InitValue(m, L"ERR_CODE"), Bytes{0x00});
        m.Run(4 * kSecond);  // a fall of the random configuration is over
        m.Pin(true);
        const std::size_t parks = m.Disk().AtaCommands().size();
        EXPECT_TRUE(RunUntil(m, [&] { return m.Disk().AtaCommands().size() > parks; }, 2 * kSecond));
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

}  // namespace
