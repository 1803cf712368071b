#include "hw/acceleration_sensor.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using hw::AccelerationSensor;
using hwtest::FakeClock;
using S = AccelerationSensor;

constexpr hk::Time100ns kPeriod400Hz = hk::kSecond / 400;

class AccelerationSensorTest : public ::testing::Test {
protected:
    AccelerationSensorTest() : sensor(clock, motion) { sensor.SetNoise(0); }

    std::int16_t Axis(int index) {
        const std::uint8_t low = sensor.ReadRegister(S::kRegOutXLow + 2 * index);
        const std::uint8_t high = sensor.ReadRegister(S::kRegOutXLow + 2 * index + 1);
        return static_cast<std::int16_t>(low | (high << 8));
    }

    // Power on at 400 Hz, engine 1 on X/Y/Z with AND, latched or not, routed
    // to the output, output enabled.
    void ConfigureEngine1(std::uint8_t threshold, std::uint8_t duration, bool latched) {
        sensor.WriteRegister(S::kRegCtrl1, 0x67);
        sensor.WriteRegister(0x52, duration);
        sensor.WriteRegister(0x56, threshold);
        sensor.WriteRegister(0x50, 0xC7);
        sensor.WriteRegister(S::kRegCtrl3, latched ? 0x91 : 0x90);
    }

    void Run(hk::Time100ns duration) {
        clock.Advance(duration);
        sensor.AdvanceTo(clock.Now());
    }

    FakeClock clock;
    hw::MotionModel motion;
    AccelerationSensor sensor;
};

TEST_F(AccelerationSensorTest, ChipIdRegisterReadsItsIdentityAndIgnoresWrites) {
    EXPECT_EQ(sensor.ReadRegister(0x0F), 0x3A);
    sensor.WriteRegister(0x0F, 0x00);
    EXPECT_EQ(sensor.ReadRegister(0x0F), 0x3A);
}

TEST_F(AccelerationSensorTest, OutputsAreLittleEndianTwosComplementAt1024CountsPerG) {
    motion.Tilt(-30.0, 0.0, 0);  // x = -0.5 g, y = 0, z = cos 30 = 0.866 g
    sensor.WriteRegister(S::kRegCtrl1, 0x67);
    Run(10 * hk::kMillisecond);

    EXPECT_EQ(sensor.ReadRegister(0x32), 0x00);
    EXPECT_EQ(sensor.ReadRegister(0x33), 0xFE);  // -512 = 0xFE00
    EXPECT_EQ(Axis(0), -512);
    EXPECT_EQ(Axis(1), 0);
    EXPECT_EQ(Axis(2), 887);  // 0.866 x 1024, rounded
    EXPECT_EQ(sensor.ReadRegister(0x36), 887 & 0xFF);
    EXPECT_EQ(sensor.ReadRegister(0x37), 887 >> 8);
}

TEST_F(AccelerationSensorTest, OutputsSaturateAtTwoG) {
    sensor.WriteRegister(S::kRegCtrl1, 0x77);  // 1000 Hz to catch the impact
    const hw::DropFacts drop = motion.Drop(0.5, 0);
    int highest = 0;
    while (clock.Now() < drop.impact + 4 * hk::kMillisecond) {
        Run(hk::kMillisecond);
        highest = std::max(highest, static_cast<int>(sensor.LatestSample()[2]));
    }
    EXPECT_EQ(highest, 2047);
}

TEST_F(AccelerationSensorTest, PoweredDownSensorTakesNoSamples) {
    Run(hk::kSecond);
    EXPECT_EQ(sensor.SamplesTaken(), 0u);
    EXPECT_EQ(Axis(2), 0);
    // Powered on, the same second gives samples and Z reads 1 g.
    sensor.WriteRegister(S::kRegCtrl1, 0x67);
    Run(hk::kSecond);
    EXPECT_GT(sensor.SamplesTaken(), 0u);
    EXPECT_EQ(Axis(2), AccelerationSensor::kCountsPerG);
}

TEST_F(AccelerationSensorTest, DataRateSetsTheSamplePeriod) {
    const std::pair<std::uint8_t, std::uint64_t> rates[] = {{0x47, 50}, {0x57, 100}, {0x67, 400}, {0x77, 1000}};
    for (const auto& [ctrl1, per_second] : rates) {
        sensor.WriteRegister(S::kRegCtrl1, ctrl1);
        const std::uint64_t before = sensor.SamplesTaken();
        Run(hk::kSecond);
        EXPECT_EQ(sensor.SamplesTaken() - before, per_second) << std::hex << int{ctrl1};
    }
}

TEST_F(AccelerationSensorTest, DisabledAxisReadsZero) {
    sensor.WriteRegister(S::kRegCtrl1, 0x63);  // X and Y only
    Run(10 * hk::kMillisecond);
    EXPECT_EQ(Axis(2), 0);
    sensor.WriteRegister(S::kRegCtrl1, 0x67);  // Z as well: it reads 1 g
    Run(10 * hk::kMillisecond);
    EXPECT_EQ(Axis(2), AccelerationSensor::kCountsPerG);
}

TEST_F(AccelerationSensorTest, NoiseIsSmallBoundedAndReproducibleFromItsSeed) {
    FakeClock clock_b;
    AccelerationSensor a(clock, motion, 42), b(clock_b, motion, 42), c(clock, motion, 43);
    for (AccelerationSensor* s : {&a, &b, &c}) s->WriteRegister(S::kRegCtrl1, 0x67);
    bool differs_from_other_seed = false;
    for (int i = 0; i < 400; ++i) {
        clock.Advance(kPeriod400Hz);
        clock_b.Advance(kPeriod400Hz);
        a.AdvanceTo(clock.Now());
        b.AdvanceTo(clock_b.Now());
        c.AdvanceTo(clock.Now());
        EXPECT_EQ(a.LatestSample(), b.LatestSample());
        EXPECT_LE(std::abs(a.LatestSample()[0]), S::kDefaultNoiseCounts);
        EXPECT_LE(std::abs(a.LatestSample()[2] - 1024), S::kDefaultNoiseCounts);
        differs_from_other_seed |= a.LatestSample() != c.LatestSample();
    }
    EXPECT_TRUE(differs_from_other_seed);
}

TEST_F(AccelerationSensorTest, BlockDataUpdateKeepsBothHalvesFromOneSample) {
    motion.Tilt(-0.2, 0.0, 0);  // x just below zero
    sensor.WriteRegister(S::kRegCtrl1, 0x67);
    sensor.WriteRegister(S::kRegCtrl2, 0x40);
    Run(kPeriod400Hz);
    const std::uint8_t low = sensor.ReadRegister(0x32);
    motion.Tilt(0.2, 0.0, clock.Now());  // x now just above zero
    Run(10 * kPeriod400Hz);
    const std::uint8_t high = sensor.ReadRegister(0x33);
    EXPECT_EQ(static_cast<std::int16_t>(low | (high << 8)), -4);  // sin(-0.2 deg) x 1024 = -3.6
    Run(kPeriod400Hz);
    EXPECT_EQ(Axis(0), 4) << "released after the high byte";
}

// Threshold: 8 mg a step; an axis is low when |a| is below it. At rest flat,
// z = 1.000 g = 1024 counts: 125 steps (1000 mg) is not above it, 126 is.
TEST_F(AccelerationSensorTest, ThresholdIsInEightMilligSteps) {
    sensor.WriteRegister(S::kRegCtrl1, 0x67);
    sensor.WriteRegister(0x50, 0xC4);  // Z low only
    sensor.WriteRegister(S::kRegCtrl3, 0x90);
    sensor.WriteRegister(0x56, 125);
    Run(10 * kPeriod400Hz);
    EXPECT_FALSE(sensor.Level());
    EXPECT_EQ(sensor.ReadRegister(0x5F), 0x03) << "X and Y low, Z not";
    sensor.WriteRegister(0x56, 126);
    Run(kPeriod400Hz);
    EXPECT_TRUE(sensor.Level());
    EXPECT_EQ(sensor.ReadRegister(0x5F), 0x47);
}

TEST_F(AccelerationSensorTest, AndCombinationNeedsAllSelectedAxesLowOrCombinationAny) {
    sensor.WriteRegister(S::kRegCtrl1, 0x67);
    sensor.WriteRegister(0x56, 38);  // 304 mg: flat at rest, X and Y are low, Z is not
    sensor.WriteRegister(S::kRegCtrl3, 0x90);
    sensor.WriteRegister(0x50, 0xC7);
    Run(10 * kPeriod400Hz);
    EXPECT_FALSE(sensor.Level());
    sensor.WriteRegister(0x50, 0x47);  // OR
    Run(kPeriod400Hz);
    EXPECT_TRUE(sensor.Level());
}

// The condition must hold on duration + 1 consecutive samples.
TEST_F(AccelerationSensorTest, DurationCountsSamplesAtTheDataRate) {
    ConfigureEngine1(38, 16, false);
    Run(100 * kPeriod400Hz);
    const hk::Time100ns fall = clock.Now() + kPeriod400Hz / 2;
    motion.Drop(1.0, fall);
    const hk::Time100ns first_low_sample = clock.Now() + kPeriod400Hz;
    hk::Time100ns asserted_at = -1;
    for (int i = 0; i < 40 && asserted_at < 0; ++i) {
        Run(kPeriod400Hz);
        if (sensor.Level()) asserted_at = clock.Now();
    }
    EXPECT_EQ(asserted_at, first_low_sample + 16 * kPeriod400Hz);
    // Samples later the rise is still dated at the sample that raised it.
    Run(5 * kPeriod400Hz);
    EXPECT_EQ(sensor.RequestRoseAt(), asserted_at);
    EXPECT_EQ(sensor.LatestSampleTime(), asserted_at + 5 * kPeriod400Hz);
}

TEST_F(AccelerationSensorTest, UnlatchedInterruptFollowsTheCondition) {
    ConfigureEngine1(38, 0, false);
    const hw::DropFacts drop = motion.Drop(0.2, 100 * hk::kMillisecond);
    Run(drop.fall_start + 20 * hk::kMillisecond - clock.Now());
    EXPECT_TRUE(sensor.Level());
    Run(drop.settled + 10 * hk::kMillisecond - clock.Now());
    EXPECT_FALSE(sensor.Level()) << "drops by itself once the notebook lies still";
}

TEST_F(AccelerationSensorTest, LatchedInterruptHoldsUntilTheSourceRegisterIsRead) {
    ConfigureEngine1(38, 0, true);
    const hw::DropFacts drop = motion.Drop(0.2, 100 * hk::kMillisecond);
    Run(drop.settled + hk::kSecond - clock.Now());
    EXPECT_TRUE(sensor.Level());
    const std::uint8_t source = sensor.ReadRegister(0x5F);
    EXPECT_EQ(source, 0x43) << "active; X and Y are low at rest";
    EXPECT_FALSE(sensor.Level());
    EXPECT_EQ(sensor.ReadRegister(0x5F) & 0x40, 0);
}

TEST_F(AccelerationSensorTest, LatchedInterruptReassertsWhileTheFallGoesOn) {
    ConfigureEngine1(38, 0, true);
    motion.Drop(2.0, 100 * hk::kMillisecond);  // 639 ms of free fall
    Run(300 * hk::kMillisecond);
    ASSERT_TRUE(sensor.Level());
    sensor.ReadRegister(0x5F);
    EXPECT_FALSE(sensor.Level());
    Run(kPeriod400Hz);
    EXPECT_TRUE(sensor.Level());
}

TEST_F(AccelerationSensorTest, NoInterruptWhenPoweredDownDisabledUnroutedOrOutputOff) {
    // The first case changes nothing: the same fall raises the line, so the
    // others stay low for their own reason.
    struct Case {
        const char* what;
        std::uint8_t reg;
        std::uint8_t value;
        bool raised;
    } cases[] = {
        {"as configured (control)", S::kRegCtrl3, 0x91, true},
        {"powered down", S::kRegCtrl1, 0x27, false},
        {"engine disabled", 0x50, 0x87, false},
        {"not routed", S::kRegCtrl3, 0x81, false},
        {"output off", S::kRegCtrl3, 0x11, false},
    };
    for (const Case& c : cases) {
        FakeClock local_clock;
        hw::MotionModel local_motion;
        AccelerationSensor s(local_clock, local_motion);
        s.SetNoise(0);
        s.WriteRegister(S::kRegCtrl1, 0x67);
        s.WriteRegister(0x56, 38);
        s.WriteRegister(0x50, 0xC7);
        s.WriteRegister(S::kRegCtrl3, 0x91);
        s.WriteRegister(c.reg, c.value);
        local_motion.Drop(1.0, 0);
        local_clock.Advance(300 * hk::kMillisecond);
        EXPECT_EQ(s.Level(), c.raised) << c.what;
    }
}

TEST_F(AccelerationSensorTest, SwitchingTheOutputOffDropsALatchedRequest) {
    ConfigureEngine1(38, 0, true);
    const hw::DropFacts drop = motion.Drop(0.2, 0);
    Run(drop.settled + 10 * hk::kMillisecond);
    ASSERT_TRUE(sensor.Level());
    sensor.WriteRegister(S::kRegCtrl3, 0x11);
    sensor.WriteRegister(S::kRegCtrl3, 0x91);
    EXPECT_FALSE(sensor.Level());
    EXPECT_EQ(sensor.ReadRegister(0x5F) & 0x40, 0);
}

TEST_F(AccelerationSensorTest, SecondEngineHasItsOwnRegistersAndLatch) {
    sensor.WriteRegister(S::kRegCtrl1, 0x67);
    sensor.WriteRegister(0x76, 38);
    sensor.WriteRegister(0x72, 0);
    sensor.WriteRegister(0x70, 0xC7);
    sensor.WriteRegister(S::kRegCtrl3, 0xA2);
    const hw::DropFacts drop = motion.Drop(0.2, 0);
    Run(drop.settled + 10 * hk::kMillisecond);
    EXPECT_TRUE(sensor.Level());
    EXPECT_EQ(sensor.ReadRegister(0x5F) & 0x40, 0) << "engine 1 is off";
    EXPECT_TRUE(sensor.Level());
    EXPECT_EQ(sensor.ReadRegister(0x7F) & 0x40, 0x40);
    EXPECT_FALSE(sensor.Level());
}

TEST_F(AccelerationSensorTest, SoftResetRestoresPowerOnState) {
    ConfigureEngine1(38, 16, true);
    sensor.WriteRegister(0x10, 0x99);
    sensor.WriteRegister(S::kRegCtrl2, 0x80);
    EXPECT_FALSE(sensor.PoweredOn());
    EXPECT_EQ(sensor.ReadRegister(S::kRegCtrl1), 0x07);
    EXPECT_EQ(sensor.ReadRegister(S::kRegCtrl2), 0x00);
    EXPECT_EQ(sensor.ReadRegister(0x56), 0x00);
    EXPECT_EQ(sensor.ReadRegister(0x10), 0x00);
    EXPECT_EQ(sensor.ReadRegister(0x0F), 0x3A);
}

TEST_F(AccelerationSensorTest, SourceAndOutputRegistersAreReadOnly) {
    sensor.WriteRegister(0x5F, 0xFF);
    sensor.WriteRegister(0x32, 0x55);
    EXPECT_EQ(sensor.ReadRegister(0x5F), 0x00);
    EXPECT_EQ(sensor.ReadRegister(0x32), 0x00);
}

}  // namespace
