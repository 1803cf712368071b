// What the notebook's acceleration sensor feels over time.
//
// The model answers Sample(t) with the specific force in the notebook's own
// frame, in g, gravity included: a notebook lying flat reads (0, 0, +1), a
// falling one reads (0, 0, 0). Activities are scheduled on a timeline; each
// one holds from its start until the next one starts. A drop interrupts the
// timeline: free fall, impact, one or two bounces, then the notebook lies still
// in the posture it had until an activity scheduled after it settles.
#pragma once

#include <hostkernel/io_space.h>

#include <cstdint>
#include <vector>

namespace hw {

struct Acceleration {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

double Magnitude(const Acceleration& a);

struct DropFacts {
    struct Airborne {
        hk::Time100ns lift;  // leaves the floor after an impact
        hk::Time100ns land;  // next impact
    };
    double height_m = 0.0;
    hk::Time100ns fall_start = 0;  // released: free fall begins
    hk::Time100ns impact = 0;      // first contact: free fall ends
    std::vector<Airborne> bounces;
    hk::Time100ns settled = 0;  // lying still again
};

class MotionModel {
public:
    static constexpr double kStandardGravity = 9.80665;  // m/s^2
    static constexpr double kDefaultCarrySway = 0.15;     // g
    static constexpr double kDefaultTypingAmplitude = 0.3;  // g

    // Flat and still from time 0. The seed makes typing vibration reproducible.
    explicit MotionModel(std::uint64_t seed = 0x7A11);

    // Flat on a desk, still.
    void Rest(hk::Time100ns at);
    // Still, in any orientation: pitch turns gravity towards +x, roll towards +y.
    // Reading = (sin p, sin r cos p, cos r cos p).
    void Tilt(double pitch_deg, double roll_deg, hk::Time100ns at);
    // Walking with the notebook: slow sway whose vector never exceeds sway_g.
    void Carry(hk::Time100ns at, double sway_g = kDefaultCarrySway);
    // Keystrokes: short damped vibrations whose vector never exceeds amplitude_g.
    void Type(hk::Time100ns at, double amplitude_g = kDefaultTypingAmplitude);
    // Released from height_m (> 0) at `at`; returns when each phase happens.
    DropFacts Drop(double height_m, hk::Time100ns at);

    Acceleration Sample(hk::Time100ns t) const;

    const std::vector<DropFacts>& Drops() const { return drops_; }
    // True while the notebook is airborne: the main fall or a bounce.
    bool InFreeFall(hk::Time100ns t) const;

    // sqrt(2h/g), rounded to 100 ns.
    static hk::Time100ns FallDuration(double height_m);

private:
    enum class Activity { Still, Carry, Type };
    struct Segment {
        hk::Time100ns start;
        Activity activity;
        Acceleration up;  // the posture: what the sensor reads when still
        double amplitude;
    };

    void Schedule(const Segment& segment);
    const Segment& SegmentAt(hk::Time100ns t) const;
    const DropFacts* DropAt(hk::Time100ns t) const;
    Acceleration DropSample(const DropFacts& drop, const Acceleration& up, hk::Time100ns t) const;
    Acceleration CarrySway(hk::Time100ns since_start, double sway) const;
    Acceleration TypingVibration(hk::Time100ns since_start, double amplitude) const;

    std::uint64_t seed_;
    std::vector<Segment> segments_;  // ordered by start
    std::vector<DropFacts> drops_;   // in the order scheduled
    std::vector<Acceleration> drop_postures_;
};

}  // namespace hw
