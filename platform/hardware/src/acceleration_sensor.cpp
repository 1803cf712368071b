#include "hw/acceleration_sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace hw {
namespace {

constexpr std::uint8_t kCtrl1PowerOnDefault = 0x07;  // powered down, 50 Hz, X/Y/Z on
constexpr unsigned kLowRunCap = 1u << 20;

bool IsOutputRegister(std::uint8_t reg) {
    return reg >= AccelerationSensor::kRegOutXLow && reg < AccelerationSensor::kRegOutXLow + 6;
}

// An axis is low when |counts| < threshold x 8 mg, i.e. |counts| x 125 < threshold x 1024.
bool BelowThreshold(std::int16_t counts, std::uint8_t threshold) {
    return std::abs(static_cast<int>(counts)) * 125 < threshold * AccelerationSensor::kCountsPerG;
}

}  // namespace

AccelerationSensor::AccelerationSensor(hk::TimeSource& clock, const MotionModel& motion, std::uint64_t noise_seed)
    : clock_(clock),
      motion_(motion),
      engines_{{{kEngine1, kCtrl3Latch1, kCtrl3Route1}, {kEngine2, kCtrl3Latch2, kCtrl3Route2}}},
      now_(clock.Now()),
      noise_state_(noise_seed) {
    Reset();
}

void AccelerationSensor::Reset() {
    regs_.fill(0);
    regs_[kRegChipId] = kChipId;
    regs_[kRegCtrl1] = kCtrl1PowerOnDefault;
    for (Engine& e : engines_) {
        e.low_run = 0;
        e.low_axes = 0;
        e.active = false;
    }
    shown_.fill(0);
    outputs_held_ = false;
}

hk::Time100ns AccelerationSensor::SamplePeriod() const {
    static constexpr hk::Time100ns kPeriods[4] = {hk::kSecond / 50, hk::kSecond / 100, hk::kSecond / 400,
                                                  hk::kSecond / 1000};
    return kPeriods[(regs_[kRegCtrl1] & kCtrl1RateMask) >> 4];
}

void AccelerationSensor::AdvanceTo(hk::Time100ns t) {
    if (t <= now_) return;
    if (PoweredOn()) {
        const hk::Time100ns period = SamplePeriod();
        for (; next_sample_ <= t; next_sample_ += period) Sample(next_sample_);
    }
    now_ = t;
}

int AccelerationSensor::Noise() {
    // SplitMix64: the same seed gives the same noise on every platform.
    std::uint64_t x = (noise_state_ += 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    if (noise_counts_ == 0) return 0;
    return static_cast<int>(x % static_cast<std::uint64_t>(2 * noise_counts_ + 1)) - noise_counts_;
}

void AccelerationSensor::Sample(hk::Time100ns t) {
    const Acceleration a = motion_.Sample(t);
    const double g[3] = {a.x, a.y, a.z};
    for (int axis = 0; axis < 3; ++axis) {
        const long counts = std::lround(g[axis] * kCountsPerG) + Noise();
        const bool enabled = regs_[kRegCtrl1] & (1u << axis);
        latest_[axis] = enabled ? static_cast<std::int16_t>(std::clamp<long>(counts, -kFullScaleCounts, kFullScaleCounts - 1)) : 0;
    }
    latest_time_ = t;
    ++samples_taken_;
    if (!outputs_held_) shown_ = latest_;
    for (Engine& e : engines_) {
        const bool was_active = e.active;
        RunEngine(e);
        if (e.active && !was_active) request_rose_at_ = t;
    }
}

bool AccelerationSensor::Latched(const Engine& engine) const {
    const std::uint8_t ctrl3 = regs_[kRegCtrl3];
    return (ctrl3 & engine.latch_bit) && (ctrl3 & kCtrl3OutputEnable);
}

void AccelerationSensor::RunEngine(Engine& e) {
    const std::uint8_t config = regs_[e.base + kEngineConfig];
    const std::uint8_t threshold = regs_[e.base + kEngineThreshold];
    e.low_axes = 0;
    for (int axis = 0; axis < 3; ++axis) {
        if (BelowThreshold(latest_[axis], threshold)) e.low_axes |= static_cast<std::uint8_t>(1u << axis);
    }
    if (!(config & kConfigEnable)) {
        e.low_run = 0;
        e.active = false;
        return;
    }
    const std::uint8_t selected = config & kConfigAxesMask;
    const std::uint8_t low_selected = e.low_axes & selected;
    const bool condition = selected != 0 && ((config & kConfigAnd) ? low_selected == selected : low_selected != 0);
    e.low_run = condition ? std::min(e.low_run + 1, kLowRunCap) : 0;
    // The condition must hold on duration + 1 consecutive samples.
    const bool event = condition && e.low_run > regs_[e.base + kEngineDuration];
    e.active = Latched(e) ? (e.active || event) : event;
}

bool AccelerationSensor::Level() {
    CatchUpWithClock();
    const std::uint8_t ctrl3 = regs_[kRegCtrl3];
    if (!PoweredOn() || !(ctrl3 & kCtrl3OutputEnable)) return false;
    return std::any_of(engines_.begin(), engines_.end(),
                       [ctrl3](const Engine& e) { return (ctrl3 & e.route_bit) && e.active; });
}

AccelerationSensor::Engine* AccelerationSensor::EngineFor(std::uint8_t reg) {
    for (Engine& e : engines_) {
        if ((reg & 0xF0) == e.base) return &e;
    }
    return nullptr;
}

std::uint8_t AccelerationSensor::OutputByte(std::uint8_t reg) {
    const int index = (reg - kRegOutXLow) / 2;
    const bool high = (reg - kRegOutXLow) & 1;
    // With block data update, reading a low byte holds the outputs until a
    // high byte is read, so the two halves of a value come from one sample.
    if (regs_[kRegCtrl2] & kCtrl2BlockDataUpdate) outputs_held_ = !high;
    const auto value = static_cast<std::uint16_t>(shown_[index]);
    return static_cast<std::uint8_t>(high ? value >> 8 : value & 0xFF);
}

std::uint8_t AccelerationSensor::ReadRegister(std::uint8_t reg) {
    CatchUpWithClock();
    if (IsOutputRegister(reg)) return OutputByte(reg);
    if (Engine* e = EngineFor(reg); e && reg == e->base + kEngineSource) {
        const auto value = static_cast<std::uint8_t>((e->active ? kSourceActive : 0) | e->low_axes);
        if (Latched(*e)) e->active = false;  // reading the source releases the latch
        return value;
    }
    return regs_[reg];
}

void AccelerationSensor::WriteRegister(std::uint8_t reg, std::uint8_t value) {
    CatchUpWithClock();
    if (reg == kRegChipId || IsOutputRegister(reg)) return;

    if (reg == kRegCtrl1) {
        const bool was_on = PoweredOn();
        const hk::Time100ns old_period = SamplePeriod();
        regs_[reg] = value;
        if (PoweredOn() && (!was_on || SamplePeriod() != old_period)) next_sample_ = now_ + SamplePeriod();
        if (!PoweredOn()) {
            for (Engine& e : engines_) {
                e.low_run = 0;
                e.active = false;
            }
        }
        return;
    }
    if (reg == kRegCtrl2) {
        if (value & kCtrl2SoftReset) {
            Reset();
            return;
        }
        regs_[reg] = value;
        if (!(value & kCtrl2BlockDataUpdate)) outputs_held_ = false;
        return;
    }
    if (reg == kRegCtrl3) {
        regs_[reg] = value;
        // Requests are latched only while the output is enabled; switching
        // the output off drops them.
        if (!(value & kCtrl3OutputEnable)) {
            for (Engine& e : engines_) e.active = false;
        }
        return;
    }
    if (Engine* e = EngineFor(reg)) {
        const std::uint8_t offset = reg - e->base;
        if (offset == kEngineSource) return;
        regs_[reg] = value;
        if (offset == kEngineConfig || offset == kEngineDuration || offset == kEngineThreshold) {
            e->low_run = 0;
            if (offset == kEngineConfig && !(value & kConfigEnable)) e->active = false;
        }
        return;
    }
    regs_[reg] = value;  // other registers are plain storage
}

}  // namespace hw
