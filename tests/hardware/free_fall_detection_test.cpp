// The sensor configured with the shipped registry values, exactly as the
// driver's start-up sequence writes them over the SMBus, watched through the
// GPIO level register once a millisecond as the driver does.
#include "hw/chipset.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

namespace {

using hwtest::DriverLikeHost;
using hwtest::FakeClock;
using hwtest::PortBus;

std::uint32_t BigEndian(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t value = 0;
    for (std::uint8_t b : bytes) value = value << 8 | b;
    return value;
}

// A notebook whose sensor went through the driver's start-up sequence.
struct Notebook {
    Notebook()
        : values(hwtest::ReadShippedZhpValues()),
          chipset(clock),
          bus(chipset.PortRanges()),
          host(bus, clock, static_cast<std::uint16_t>(BigEndian(values.at("PCI_SMBUS_ADDR"))),
               values.at("DEV_SLAVE_ADDR").at(0)),
          gpio_port(static_cast<std::uint16_t>(BigEndian(values.at("PCI_GPIO_ADDR")))),
          pin(values.at("PCI_TRIG_PIN").at(0)) {
        hwtest::ApplyShippedStartup(host);
    }

    bool Pin() { return bus.Read(gpio_port, 32) & pin; }

    // Polls once a millisecond up to `until`; the first time the pin is
    // seen asserted, or -1.
    hk::Time100ns FirstAssertion(hk::Time100ns until) {
        while (clock.Now() < until) {
            clock.Advance(hk::kMillisecond);
            if (Pin()) return clock.Now();
        }
        return -1;
    }

    void ApplyPreset(const std::string& name) { hwtest::ApplyPreset(host, values.at(name)); }

    std::map<std::string, std::vector<std::uint8_t>> values;
    FakeClock clock;
    hw::Chipset chipset;
    PortBus bus;
    DriverLikeHost host;
    std::uint16_t gpio_port;
    std::uint8_t pin;
};

TEST(ShippedRegistryValues, DescribeTheSimulatedHardware) {
    Notebook nb;
    const auto& v = nb.values;
    EXPECT_EQ(BigEndian(v.at("PCI_SMBUS_ADDR")), nb.chipset.Smbus().Base());
    EXPECT_EQ(BigEndian(v.at("PCI_GPIO_ADDR")), nb.chipset.Gpio().Address());
    EXPECT_EQ(v.at("PCI_GPIO_ADDR").size(), 4u);
    EXPECT_EQ(v.at("PCI_TRIG_PIN"), std::vector<std::uint8_t>{0x20});
    EXPECT_EQ(nb.chipset.Gpio().PinMask(), 0x20u);
    const auto& chip_id = v.at("DEV_CHIP_ID");
    ASSERT_EQ(chip_id.size(), 2u);
    EXPECT_EQ(nb.host.ReadRegister(chip_id[0]), chip_id[1]);
    EXPECT_EQ(v.at("SATA_CMD"), (std::vector<std::uint8_t>{0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00}));
    EXPECT_EQ(v.at("OP_MODE"), std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(v.at("P_THRESHOLD").size(), 2u);
    EXPECT_EQ(v.at("P_DL_TIME").size(), 2u);
    for (int n = 0; n <= 4; ++n) {
        const auto& preset = v.at("FUNC_W_" + std::to_string(n));
        ASSERT_GE(preset.size(), 2u);
        EXPECT_EQ(preset.size() % 2, 0u);
        EXPECT_EQ(preset[preset.size() - 2], 0xFF);
        EXPECT_EQ(preset.back(), 0xFF);
    }
}

TEST(ShippedRegistryValues, StartupLeavesTheSensorSamplingWithOutputQuiet) {
    Notebook nb;
    EXPECT_TRUE(nb.chipset.Sensor().PoweredOn());
    EXPECT_EQ(nb.chipset.Sensor().SamplePeriod(), hk::kSecond / 400);
    EXPECT_EQ(nb.FirstAssertion(nb.clock.Now() + hk::kSecond), -1);
}

struct DropCase {
    double height_m;
    const char* posture;
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.height_m << " m, " << c.posture; }

class ShippedDropDetection : public ::testing::TestWithParam<DropCase> {};

TEST_P(ShippedDropDetection, LineRisesDuringTheFall) {
    const DropCase c = GetParam();
    Notebook nb;
    hw::MotionModel& motion = nb.chipset.Motion();
    const hk::Time100ns settle = nb.clock.Now() + hk::kSecond;
    const std::string posture = c.posture;
    if (posture == "tilted") motion.Tilt(25.0, -40.0, settle);
    if (posture == "carried") motion.Carry(settle, 0.2);
    if (posture == "typing") motion.Type(settle, 0.3);

    const hk::Time100ns release = settle + 2 * hk::kSecond + 3 * hk::kMillisecond / 10;
    const hw::DropFacts drop = motion.Drop(c.height_m, release);
    EXPECT_EQ(nb.FirstAssertion(drop.fall_start), -1) << "before the fall";
    const hk::Time100ns seen = nb.FirstAssertion(drop.impact);
    ASSERT_NE(seen, -1) << "not detected before the impact";
    EXPECT_GT(seen, drop.fall_start);
    EXPECT_LT(seen, drop.impact);
    // 17 samples at 400 Hz, the sample phase and the 1 ms poll.
    EXPECT_LE(seen - drop.fall_start, 44 * hk::kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(HeightsAndPostures, ShippedDropDetection,
                         ::testing::Values(DropCase{0.10, "flat"}, DropCase{0.10, "tilted"}, DropCase{0.10, "carried"},
                                           DropCase{0.10, "typing"}, DropCase{0.15, "flat"}, DropCase{0.30, "tilted"},
                                           DropCase{0.50, "carried"}, DropCase{0.75, "flat"}, DropCase{1.00, "typing"},
                                           DropCase{2.00, "flat"}),
                         [](const ::testing::TestParamInfo<DropCase>& info) {
                             return std::string(info.param.posture) + "_" +
                                    std::to_string(static_cast<int>(std::lround(info.param.height_m * 100))) + "cm";
                         });

TEST(ShippedDropRelease, ReadingBothSourceRegistersReleasesTheLineOnceStill) {
    Notebook nb;
    const hw::DropFacts drop = nb.chipset.Motion().Drop(0.5, nb.clock.Now() + hk::kSecond);
    ASSERT_NE(nb.FirstAssertion(drop.impact), -1);

    // Still falling: the engines assert again right after a release.
    nb.host.ReadRegister(0x5F);
    nb.host.ReadRegister(0x7F);
    nb.clock.Advance(hk::kMillisecond);
    EXPECT_TRUE(nb.Pin());

    nb.clock.Set(drop.settled + 100 * hk::kMillisecond);
    EXPECT_TRUE(nb.Pin()) << "latched after the fall";
    nb.host.ReadRegister(0x5F);
    EXPECT_TRUE(nb.Pin()) << "the second engine still holds the line";
    nb.host.ReadRegister(0x7F);
    EXPECT_FALSE(nb.Pin());
    EXPECT_EQ(nb.FirstAssertion(nb.clock.Now() + 10 * hk::kSecond), -1);
}

TEST(ShippedPresets, InterruptOffPresetStopsAndOnPresetRestoresTheLine) {
    Notebook nb;
    hw::MotionModel& motion = nb.chipset.Motion();
    nb.ApplyPreset("FUNC_W_4");
    hw::DropFacts drop = motion.Drop(1.0, nb.clock.Now() + hk::kSecond);
    EXPECT_EQ(nb.FirstAssertion(drop.settled + hk::kSecond), -1);

    nb.ApplyPreset("FUNC_W_3");
    EXPECT_FALSE(nb.Pin()) << "nothing left over from the fall while switched off";
    drop = motion.Drop(1.0, nb.clock.Now() + hk::kSecond);
    const hk::Time100ns seen = nb.FirstAssertion(drop.impact);
    EXPECT_GT(seen, drop.fall_start);

    nb.ApplyPreset("FUNC_W_4");
    EXPECT_FALSE(nb.Pin()) << "switching off drops an asserted line";
}

// Long quiet runs, each followed by a drop that must still be seen, so a
// sensor that went silent cannot pass.
struct QuietCase {
    const char* name;
    double pitch_deg;
    double roll_deg;
    enum { Still, Carry, Type } activity;
    double amplitude_g;
    hk::Time100ns duration;
};

void PrintTo(const QuietCase& c, std::ostream* os) { *os << c.name; }

class ShippedQuietMotion : public ::testing::TestWithParam<QuietCase> {};

TEST_P(ShippedQuietMotion, NeverRaisesTheLine) {
    const QuietCase c = GetParam();
    Notebook nb;
    hw::MotionModel& motion = nb.chipset.Motion();
    const hk::Time100ns start = nb.clock.Now();
    motion.Tilt(c.pitch_deg, c.roll_deg, start);
    if (c.activity == QuietCase::Carry) motion.Carry(start, c.amplitude_g);
    if (c.activity == QuietCase::Type) motion.Type(start, c.amplitude_g);

    const std::uint64_t samples_before = nb.chipset.Sensor().SamplesTaken();
    EXPECT_EQ(nb.FirstAssertion(start + c.duration), -1);
    EXPECT_EQ(nb.host.ReadRegister(0x5F) & 0x40, 0);
    EXPECT_EQ(nb.host.ReadRegister(0x7F) & 0x40, 0);
    EXPECT_GE(nb.chipset.Sensor().SamplesTaken() - samples_before,
              static_cast<std::uint64_t>(c.duration / (hk::kSecond / 400)));

    const hw::DropFacts drop = motion.Drop(0.1, nb.clock.Now() + 50 * hk::kMillisecond);
    EXPECT_GT(nb.FirstAssertion(drop.impact), drop.fall_start);
}

// Pitch 35.26 and roll 45 degrees put gravity along the body diagonal, where
// every axis reads only 0.577 g.
constexpr double kDiagonalPitch = 35.26438968;
constexpr hk::Time100ns kMinute = 60 * hk::kSecond;

INSTANTIATE_TEST_SUITE_P(
    Postures, ShippedQuietMotion,
    ::testing::Values(QuietCase{"RestFlat", 0, 0, QuietCase::Still, 0, 30 * kMinute},
                      QuietCase{"TiltDiagonal", kDiagonalPitch, 45, QuietCase::Still, 0, 5 * kMinute},
                      QuietCase{"TiltDiagonalUpsideDown", -kDiagonalPitch, 135, QuietCase::Still, 0, 5 * kMinute},
                      QuietCase{"TiltOnEdge", 90, 0, QuietCase::Still, 0, 5 * kMinute},
                      QuietCase{"TiltSideways", 0, -60, QuietCase::Still, 0, 5 * kMinute},
                      QuietCase{"CarryFlat", 0, 0, QuietCase::Carry, 0.2, 10 * kMinute},
                      QuietCase{"CarryDiagonal", kDiagonalPitch, -45, QuietCase::Carry, 0.2, 10 * kMinute},
                      QuietCase{"TypingFlat", 0, 0, QuietCase::Type, 0.3, 10 * kMinute},
                      QuietCase{"TypingDiagonal", kDiagonalPitch, 45, QuietCase::Type, 0.3, 10 * kMinute},
                      QuietCase{"TypingDiagonalMirrored", -kDiagonalPitch, -45, QuietCase::Type, 0.3, 10 * kMinute}),
    [](const ::testing::TestParamInfo<QuietCase>& info) { return std::string(info.param.name); });

TEST(ShippedOrientationSweep, NoRestingOrientationRaisesTheLine) {
    Notebook nb;
    hw::MotionModel& motion = nb.chipset.Motion();
    for (int pitch = -90; pitch <= 90; pitch += 15) {
        for (int roll = -180; roll < 180; roll += 15) {
            motion.Tilt(pitch, roll, nb.clock.Now());
            ASSERT_EQ(nb.FirstAssertion(nb.clock.Now() + 200 * hk::kMillisecond), -1)
                << "pitch " << pitch << " roll " << roll;
        }
    }
}

// The utility stores threshold 50 and delay 0, which the driver writes to
// the engines: 400 mg, event on the first low sample. Still quiet at rest.
TEST(UtilitySettings, RestingNotebookStaysQuietAndDropsAreSeenAtOnce) {
    Notebook nb;
    for (std::uint8_t engine : {0x50, 0x70}) {
        nb.host.WriteRegister(engine + 2, 0);
        nb.host.WriteRegister(engine + 6, 50);
    }
    hw::MotionModel& motion = nb.chipset.Motion();
    for (int pitch = -90; pitch <= 90; pitch += 15) {
        for (int roll = -180; roll < 180; roll += 15) {
            motion.Tilt(pitch, roll, nb.clock.Now());
            ASSERT_EQ(nb.FirstAssertion(nb.clock.Now() + 100 * hk::kMillisecond), -1)
                << "pitch " << pitch << " roll " << roll;
        }
    }
    motion.Tilt(kDiagonalPitch, 45, nb.clock.Now());
    EXPECT_EQ(nb.FirstAssertion(nb.clock.Now() + 10 * hk::kSecond), -1);
    const hw::DropFacts drop = motion.Drop(0.1, nb.clock.Now() + 10 * hk::kMillisecond);
    const hk::Time100ns seen = nb.FirstAssertion(drop.impact);
    ASSERT_NE(seen, -1);
    EXPECT_LE(seen - drop.fall_start, 4 * hk::kMillisecond);
}

// What the sensor itself reports: the run of near-zero samples lasts the
// fall time sqrt(2h/g) to within one sample period.
TEST(ShippedFreeFallObservation, SensorSeesZeroGForTheFallTime) {
    for (double height : {0.1, 0.3, 1.0}) {
        Notebook nb;
        hw::AccelerationSensor& sensor = nb.chipset.Sensor();
        const hk::Time100ns period = sensor.SamplePeriod();
        const hw::DropFacts drop = nb.chipset.Motion().Drop(height, nb.clock.Now() + hk::kSecond + period / 3);
        // Count the run of near-zero samples that starts with the fall; the
        // impact ends it.
        int low_samples = 0;
        bool run_over = false;
        nb.clock.Set(drop.fall_start - 10 * period);
        while (!run_over && nb.clock.Now() < drop.impact + 10 * period) {
            nb.clock.Advance(period);
            sensor.AdvanceTo(nb.clock.Now());
            const auto& s = sensor.LatestSample();
            const bool near_zero = std::abs(s[0]) < 100 && std::abs(s[1]) < 100 && std::abs(s[2]) < 100;
            if (near_zero) {
                ++low_samples;
            } else {
                run_over = low_samples > 0;
            }
        }
        EXPECT_TRUE(run_over);
        const double expected = std::sqrt(2.0 * height / hw::MotionModel::kStandardGravity) * hk::kSecond;
        EXPECT_NEAR(low_samples * period, expected, period) << height << " m";
    }
}

}  // namespace
