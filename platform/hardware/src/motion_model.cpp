#include "hw/motion_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace hw {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Drop: a hard contact lasts a few milliseconds; a notebook keeps a quarter of
// its speed when it bounces off the floor.
constexpr hk::Time100ns kImpactDuration = 4 * hk::kMillisecond;
constexpr double kRestitution = 0.25;
constexpr int kMaxBounces = 2;
constexpr hk::Time100ns kShortestBounce = hk::kMillisecond;

// Typing: one keystroke slot every 100 ms; a keystroke lands somewhere in the
// first 40 ms of its slot and rings for 60 ms, so keystrokes never overlap.
constexpr hk::Time100ns kKeySlot = 100 * hk::kMillisecond;
constexpr hk::Time100ns kKeyJitter = 40 * hk::kMillisecond;
constexpr hk::Time100ns kKeyRing = 60 * hk::kMillisecond;
constexpr double kKeyProbability = 0.85;
constexpr double kKeyFrequencyHz = 70.0;
constexpr double kKeyDecaySeconds = 0.012;

double Seconds(hk::Time100ns t) { return static_cast<double>(t) / hk::kSecond; }

Acceleration Scaled(const Acceleration& a, double k) { return {a.x * k, a.y * k, a.z * k}; }
Acceleration Sum(const Acceleration& a, const Acceleration& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

std::uint64_t SplitMix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Uniform in [0, 1), a pure function of its inputs.
double Unit(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
    std::uint64_t h = SplitMix64(seed ^ SplitMix64(a ^ SplitMix64(b)));
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// Damped ring of one keystroke, scaled so that its largest swing is 1.
double KeyRing(double tau_s) {
    const double omega = 2.0 * kPi * kKeyFrequencyHz;
    static const double peak = [omega] {
        double t = std::atan(omega * kKeyDecaySeconds) / omega;
        return std::exp(-t / kKeyDecaySeconds) * std::sin(omega * t);
    }();
    double s = std::exp(-tau_s / kKeyDecaySeconds) * std::sin(omega * tau_s) / peak;
    return std::clamp(s, -1.0, 1.0);
}

}  // namespace

double Magnitude(const Acceleration& a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }

MotionModel::MotionModel(std::uint64_t seed) : seed_(seed) {
    segments_.push_back({0, Activity::Still, {0.0, 0.0, 1.0}, 0.0});
}

hk::Time100ns MotionModel::FallDuration(double height_m) {
    return std::llround(std::sqrt(2.0 * height_m / kStandardGravity) * hk::kSecond);
}

void MotionModel::Schedule(const Segment& segment) {
    // A later call for the same instant replaces the earlier one: it is found
    // first when looking backwards from a time.
    auto pos = std::upper_bound(segments_.begin(), segments_.end(), segment.start,
                                [](hk::Time100ns t, const Segment& s) { return t < s.start; });
    segments_.insert(pos, segment);
}

const MotionModel::Segment& MotionModel::SegmentAt(hk::Time100ns t) const {
    auto pos = std::upper_bound(segments_.begin(), segments_.end(), t,
                                [](hk::Time100ns time, const Segment& s) { return time < s.start; });
    return pos == segments_.begin() ? segments_.front() : *(pos - 1);
}

void MotionModel::Rest(hk::Time100ns at) { Schedule({at, Activity::Still, {0.0, 0.0, 1.0}, 0.0}); }

void MotionModel::Tilt(double pitch_deg, double roll_deg, hk::Time100ns at) {
    const double p = pitch_deg * kPi / 180.0;
    const double r = roll_deg * kPi / 180.0;
    Schedule({at, Activity::Still, {std::sin(p), std::sin(r) * std::cos(p), std::cos(r) * std::cos(p)}, 0.0});
}

void MotionModel::Carry(hk::Time100ns at, double sway_g) {
    Schedule({at, Activity::Carry, SegmentAt(at).up, sway_g});
}

void MotionModel::Type(hk::Time100ns at, double amplitude_g) {
    Schedule({at, Activity::Type, SegmentAt(at).up, amplitude_g});
}

DropFacts MotionModel::Drop(double height_m, hk::Time100ns at) {
    if (!(height_m > 0.0)) throw std::invalid_argument("drop height must be positive");
    DropFacts facts;
    facts.height_m = height_m;
    facts.fall_start = at;
    facts.impact = at + FallDuration(height_m);

    double speed = std::sqrt(2.0 * kStandardGravity * height_m);
    hk::Time100ns landing = facts.impact;
    for (int i = 0; i < kMaxBounces; ++i) {
        speed *= kRestitution;
        const auto airborne = std::llround(2.0 * speed / kStandardGravity * hk::kSecond);
        if (airborne < kShortestBounce) break;
        const hk::Time100ns lift = landing + kImpactDuration;
        landing = lift + airborne;
        facts.bounces.push_back({lift, landing});
    }
    facts.settled = landing + kImpactDuration;

    const Acceleration posture = SegmentAt(at).up;
    drops_.push_back(facts);
    drop_postures_.push_back(posture);
    Schedule({facts.settled, Activity::Still, posture, 0.0});
    return facts;
}

const DropFacts* MotionModel::DropAt(hk::Time100ns t) const {
    const DropFacts* found = nullptr;
    for (const DropFacts& d : drops_) {
        if (d.fall_start <= t && t < d.settled && (!found || d.fall_start >= found->fall_start)) found = &d;
    }
    return found;
}

bool MotionModel::InFreeFall(hk::Time100ns t) const {
    const DropFacts* d = DropAt(t);
    if (!d) return false;
    if (t < d->impact) return true;
    return std::any_of(d->bounces.begin(), d->bounces.end(),
                       [t](const DropFacts::Airborne& b) { return b.lift <= t && t < b.land; });
}

Acceleration MotionModel::DropSample(const DropFacts& drop, const Acceleration& up, hk::Time100ns t) const {
    if (t < drop.impact) return {};
    // Landings at the impact and at the end of each bounce; each is a
    // half-sine push from the floor that turns the landing speed around.
    double speed_in = std::sqrt(2.0 * kStandardGravity * drop.height_m);
    hk::Time100ns landing = drop.impact;
    for (std::size_t i = 0;; ++i) {
        const bool bounces_again = i < drop.bounces.size();
        const double speed_out = bounces_again ? speed_in * kRestitution : 0.0;
        if (t < landing + kImpactDuration) {
            const double tau = Seconds(t - landing);
            const double duration = Seconds(kImpactDuration);
            const double peak_g = kPi * (speed_in + speed_out) / (2.0 * duration) / kStandardGravity;
            return Scaled(up, 1.0 + peak_g * std::sin(kPi * tau / duration));
        }
        if (!bounces_again) return up;
        if (t < drop.bounces[i].land) return {};
        landing = drop.bounces[i].land;
        speed_in = speed_out;
    }
}

Acceleration MotionModel::CarrySway(hk::Time100ns since_start, double sway) const {
    // Steps at 1.8 Hz, a side-to-side swing at half that. Dividing by the
    // weights' norm keeps the sway vector within `sway`.
    constexpr double kWx = 0.55, kWy = 0.35, kWz = 0.75;
    static const double norm = std::sqrt(kWx * kWx + kWy * kWy + kWz * kWz);
    const double step = 2.0 * kPi * 1.8 * Seconds(since_start);
    return Scaled({kWx * std::sin(step), kWy * std::sin(0.5 * step + 1.0), kWz * std::sin(step + 0.6)}, sway / norm);
}

Acceleration MotionModel::TypingVibration(hk::Time100ns since_start, double amplitude) const {
    const auto slot = static_cast<std::uint64_t>(since_start / kKeySlot);
    if (Unit(seed_, slot, 1) >= kKeyProbability) return {};
    const hk::Time100ns offset = static_cast<hk::Time100ns>(Unit(seed_, slot, 2) * kKeyJitter);
    const hk::Time100ns tau = since_start - static_cast<hk::Time100ns>(slot) * kKeySlot - offset;
    if (tau < 0 || tau >= kKeyRing) return {};
    // Mostly across the keyboard plane, with some sideways share per key.
    Acceleration direction{Unit(seed_, slot, 3) * 0.8 - 0.4, Unit(seed_, slot, 4) * 0.8 - 0.4, 1.0};
    direction = Scaled(direction, 1.0 / Magnitude(direction));
    const double strength = amplitude * (0.6 + 0.4 * Unit(seed_, slot, 5));
    return Scaled(direction, strength * KeyRing(Seconds(tau)));
}

Acceleration MotionModel::Sample(hk::Time100ns t) const {
    if (const DropFacts* drop = DropAt(t)) {
        const auto index = static_cast<std::size_t>(drop - drops_.data());
        return DropSample(*drop, drop_postures_[index], t);
    }
    const Segment& segment = SegmentAt(t);
    switch (segment.activity) {
    case Activity::Carry:
        return Sum(segment.up, CarrySway(t - segment.start, segment.amplitude));
    case Activity::Type:
        return Sum(segment.up, TypingVibration(t - segment.start, segment.amplitude));
    case Activity::Still:
        break;
    }
    return segment.up;
}

}  // namespace hw
