// The live readout's arithmetic on reply blocks, with the two's complement
// reading of the raw values, and the texts it and the track bars show.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "readout.h"

namespace {

using Block = std::array<std::uint8_t, 80>;

Block Reply(std::uint16_t x, std::uint16_t y, std::uint16_t z) {
    Block b{};
    const std::uint16_t raw[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        b[40 + 2 * i] = static_cast<std::uint8_t>(raw[i] & 0xFF);
        b[41 + 2 * i] = static_cast<std::uint8_t>(raw[i] >> 8);
    }
    return b;
}

// Seven ticks of the same reading: the window then holds only it.
SensorReadout Steady(std::uint16_t x, std::uint16_t y, std::uint16_t z) {
    SensorReadout r;
    const Block b = Reply(x, y, z);
    for (int i = 0; i < 7; ++i) r.Update(b.data());
    return r;
}

TEST(SensorReadout, RawValuesAreTwosComplement) {
    struct Case {
        std::uint16_t raw;
        std::int32_t count;
    } cases[] = {{0x0000, 0}, {0x0001, 1}, {0x07FF, 2047}, {0x0800, 2048}, {0x7FFF, 32767},
                 {0x8000, -32768}, {0xF801, -2047}, {0xFC00, -1024}, {0xFFFF, -1}};
    for (const Case& c : cases) EXPECT_EQ(SensorReadout::SignedCount(c.raw), c.count) << std::hex << c.raw;
}

TEST(SensorReadout, ALevelSensorShowsZeroZeroNinetyFromTheSeventhTick) {
    SensorReadout r;
    const Block flat = Reply(0, 0, 1024);
    for (int tick = 1; tick <= 6; ++tick) {
        r.Update(flat.data());
        EXPECT_EQ(r.Average(Axis::Z), 1024 * (tick - 1) / 6) << "tick " << tick << ": zeros still in the window";
    }
    r.Update(flat.data());
    EXPECT_EQ(r.AngleText(Axis::X, "."), "Andle_X= 0  Deg");
    EXPECT_EQ(r.AngleText(Axis::Y, "."), "Andle_Y= 0  Deg");
    EXPECT_EQ(r.AngleText(Axis::Z, "."), "Andle_Z= 90  Deg");
    EXPECT_EQ(r.BarDisplay(Axis::X), 204);
    EXPECT_EQ(r.BarDisplay(Axis::Y), 204);
    EXPECT_EQ(r.BarDisplay(Axis::Z), 307);
    EXPECT_EQ(r.MagnitudeText(","), "1");
}

TEST(SensorReadout, TheAverageLagsOneTickBehindTheReading) {
    SensorReadout r;
    const Block zero = Reply(0, 0, 0);
    const Block one = Reply(1024, 0, 0);
    for (int i = 0; i < 7; ++i) r.Update(zero.data());
    r.Update(one.data());
    EXPECT_EQ(r.Average(Axis::X), 0) << "the current reading enters from the next tick on";
    r.Update(zero.data());
    EXPECT_EQ(r.Average(Axis::X), 170);
    EXPECT_FLOAT_EQ(r.G(Axis::X), 170.0f / 1024.0f);
}

TEST(SensorReadout, EdgeReadingsGiveTheirAnglesAndBars) {
    struct Case {
        const char* name;
        std::uint16_t rawX;
        std::int32_t average;
        int angle;
        int bar;  // as displayed
    } cases[] = {
        {"-1 count", 0xFFFF, -1, 0, 204},
        {"-1 g (0xFC00)", 0xFC00, -1024, -89, 102},
        {"+1 g", 1024, 1024, 90, 307},
        {"2047 counts, clamped to 1 g", 2047, 2047, 90, 409},
        {"+2 g at an impact", 2048, 2048, 90, 409},
        {"-0.5 g", static_cast<std::uint16_t>(-512), -512, -29, 153},
        {"+0.5 g", 512, 512, 30, 256},
        {"-0.004 g", static_cast<std::uint16_t>(-4), -4, 0, 204},
        {"most negative reading, empty bar", 0x8000, -32768, -89, 0},
        {"most positive reading, full bar", 0x7FFF, 32767, 90, 409},
    };
    for (const Case& c : cases) {
        const SensorReadout r = Steady(c.rawX, 0, 1024);
        EXPECT_EQ(r.Average(Axis::X), c.average) << c.name;
        EXPECT_EQ(r.Angle(Axis::X), c.angle) << c.name;
        EXPECT_EQ(r.BarDisplay(Axis::X), c.bar) << c.name;
    }
    EXPECT_FLOAT_EQ(Steady(0xFC00, 0, 0).G(Axis::X), -1.0f);
    EXPECT_EQ(Steady(0x8000, 0, 0).BarPosition(Axis::X), (-32768 + 2048) / 10) << "the position itself is not clamped";
}

TEST(SensorReadout, RandomRepliesKeepEveryDisplayInItsRange) {
    std::mt19937 random(20261208);
    SensorReadout r;
    int emptyBars = 0, fullBars = 0;
    for (int tick = 0; tick < 20000; ++tick) {
        Block b;
        for (auto& byte : b) byte = static_cast<std::uint8_t>(random());
        r.Update(b.data());
        for (Axis a : {Axis::X, Axis::Y, Axis::Z}) {
            const int bar = r.BarDisplay(a);
            ASSERT_GE(bar, 0);
            ASSERT_LE(bar, SensorReadout::kBarMaximum);
            emptyBars += bar == 0;
            fullBars += bar == SensorReadout::kBarMaximum;
            ASSERT_GE(r.Angle(a), -90);
            ASSERT_LE(r.Angle(a), 90);
            ASSERT_GE(r.Average(a), -32768);
            ASSERT_LE(r.Average(a), 32767);
        }
        ASSERT_GE(r.Magnitude(), 0.0f);
        ASSERT_LT(r.Magnitude(), 56.0f);  // sqrt(3) * 32 g
        ASSERT_FALSE(r.MagnitudeText(".").empty());
    }
    // The sweep reached both ends of the bars.
    EXPECT_GT(emptyBars, 0);
    EXPECT_GT(fullBars, 0);
}

TEST(FormatGeneral, ShortestTextWithTheGivenSeparator) {
    struct Case {
        double value;
        const char* separator;
        const char* text;
    } cases[] = {
        {1.0, ".", "1"},          {0.5, ".", "0.5"},       {0.99951171875, ".", "0.99951171875"},
        {0.99951171875, ",", "0,99951171875"},            {-89.0, ".", "-89"},    {0.0, ",", "0"},
        {-0.0, ".", "0"},         {100.0, ".", "100"},     {1e9, ".", "1000000000"},
        {123456.5, ".", "123456.5"}, {1.0 / 3.0, ".", "0.333333333333333"},       {2.5e-3, ".", "0.0025"},
        {static_cast<double>(1.0000001192092896f), ".", "1.00000011920929"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatGeneral(c.value, c.separator), c.text) << c.text;
}

TEST(TrackBarLabels, SensitivityInMilligramsAndDelayInMilliseconds) {
    EXPECT_EQ(SensitivityText(1), "16");
    EXPECT_EQ(SensitivityText(30), "480");
    EXPECT_EQ(DelayPositionText(3), "3");
    EXPECT_EQ(DelayMillisecondsText(0, "."), "0");
    EXPECT_EQ(DelayMillisecondsText(1, "."), "2.5");
    EXPECT_EQ(DelayMillisecondsText(3, ","), "7,5");
    EXPECT_EQ(DelayMillisecondsText(30, "."), "75");
}

}  // namespace
