// The three-axis acceleration sensor on the SMBus, with two free-fall engines
// and an interrupt output.
//
// The sensor samples the motion model at its output data rate. Time is
// modelled lazily: every register access and every look at the interrupt
// output first runs the sample pipeline for each sample period that has
// passed since the last one, so the model works in virtual time and needs no
// thread. Register map and units: docs/hardware.md.
#pragma once

#include "hw/interrupt_line.h"
#include "hw/motion_model.h"
#include "hw/smbus.h"

#include <hostkernel/io_space.h>

#include <array>
#include <cstdint>

namespace hw {

class AccelerationSensor : public SmbusDevice, public InterruptLine {
public:
    static constexpr std::uint8_t kDefaultAddress = 0x3A;  // 8-bit form
    static constexpr int kCountsPerG = 1024;
    static constexpr int kFullScaleCounts = 2048;  // +-2 g
    static constexpr int kThresholdMgPerLsb = 8;
    static constexpr int kDefaultNoiseCounts = 4;

    // Registers.
    static constexpr std::uint8_t kRegChipId = 0x0F;
    static constexpr std::uint8_t kChipId = 0x3A;
    static constexpr std::uint8_t kRegCtrl1 = 0x20;
    static constexpr std::uint8_t kRegCtrl2 = 0x21;
    static constexpr std::uint8_t kRegCtrl3 = 0x22;
    static constexpr std::uint8_t kRegOutXLow = 0x32;  // X, Y, Z: low byte, high byte
    static constexpr std::uint8_t kEngine1 = 0x50;
    static constexpr std::uint8_t kEngine2 = 0x70;
    // Offsets inside an engine's block.
    static constexpr std::uint8_t kEngineConfig = 0x0;
    static constexpr std::uint8_t kEngineDuration = 0x2;
    static constexpr std::uint8_t kEngineThreshold = 0x6;
    static constexpr std::uint8_t kEngineSource = 0xF;

    // CTRL1: power, output data rate, axes.
    static constexpr std::uint8_t kCtrl1PowerOn = 0x40;
    static constexpr std::uint8_t kCtrl1RateMask = 0x30;  // 00 50 Hz, 01 100 Hz, 10 400 Hz, 11 1000 Hz
    static constexpr std::uint8_t kCtrl1AxesMask = 0x07;  // bit 0 X, bit 1 Y, bit 2 Z
    // CTRL2: block data update, soft reset.
    static constexpr std::uint8_t kCtrl2BlockDataUpdate = 0x40;
    static constexpr std::uint8_t kCtrl2SoftReset = 0x80;
    // CTRL3: interrupt output.
    static constexpr std::uint8_t kCtrl3Latch1 = 0x01;
    static constexpr std::uint8_t kCtrl3Latch2 = 0x02;
    static constexpr std::uint8_t kCtrl3Route1 = 0x10;
    static constexpr std::uint8_t kCtrl3Route2 = 0x20;
    static constexpr std::uint8_t kCtrl3OutputEnable = 0x80;
    // Engine configuration.
    static constexpr std::uint8_t kConfigAxesMask = 0x07;  // low X, low Y, low Z
    static constexpr std::uint8_t kConfigEnable = 0x40;
    static constexpr std::uint8_t kConfigAnd = 0x80;
    // Engine source.
    static constexpr std::uint8_t kSourceActive = 0x40;

    AccelerationSensor(hk::TimeSource& clock, const MotionModel& motion, std::uint64_t noise_seed = 1);

    std::uint8_t ReadRegister(std::uint8_t reg) override;
    void WriteRegister(std::uint8_t reg, std::uint8_t value) override;

    // The interrupt output at the clock's current time; true = asserted.
    bool Level() override;

    // Runs the sample pipeline up to t (never backwards).
    void AdvanceTo(hk::Time100ns t);

    bool PoweredOn() const { return regs_[kRegCtrl1] & kCtrl1PowerOn; }
    hk::Time100ns SamplePeriod() const;
    // The latest sample, in counts; its time.
    const std::array<std::int16_t, 3>& LatestSample() const { return latest_; }
    hk::Time100ns LatestSampleTime() const { return latest_time_; }
    // The sample at which an engine's interrupt request last came on: the
    // time the line rose, however many samples have followed.
    hk::Time100ns RequestRoseAt() const { return request_rose_at_; }
    std::uint64_t SamplesTaken() const { return samples_taken_; }

    // Per-axis noise: uniform in [-counts, +counts], from a seeded generator.
    void SetNoise(int counts) { noise_counts_ = counts < 0 ? 0 : counts; }

private:
    struct Engine {
        std::uint8_t base;
        std::uint8_t latch_bit;
        std::uint8_t route_bit;
        unsigned low_run = 0;      // consecutive samples meeting the condition
        std::uint8_t low_axes = 0;  // axes below the threshold at the last sample
        bool active = false;        // interrupt request (live or latched)
    };

    void Reset();
    void Sample(hk::Time100ns t);
    void RunEngine(Engine& engine);
    bool Latched(const Engine& engine) const;
    int Noise();
    std::uint8_t OutputByte(std::uint8_t reg);
    Engine* EngineFor(std::uint8_t reg);
    void CatchUpWithClock() { AdvanceTo(clock_.Now()); }

    hk::TimeSource& clock_;
    const MotionModel& motion_;
    std::array<std::uint8_t, 256> regs_{};
    std::array<Engine, 2> engines_;

    hk::Time100ns now_ = 0;          // the pipeline has run up to here
    hk::Time100ns next_sample_ = 0;  // valid while powered on
    std::array<std::int16_t, 3> latest_{};
    hk::Time100ns latest_time_ = 0;
    hk::Time100ns request_rose_at_ = 0;
    std::array<std::int16_t, 3> shown_{};  // what the output registers hold
    bool outputs_held_ = false;            // block data update: low byte read, high byte pending
    std::uint64_t samples_taken_ = 0;

    int noise_counts_ = kDefaultNoiseCounts;
    std::uint64_t noise_state_;
};

}  // namespace hw
