#include "hw/motion_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace {

using hw::Acceleration;
using hw::MotionModel;

constexpr hk::Time100ns kMs = hk::kMillisecond;

Acceleration Minus(const Acceleration& a, const Acceleration& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

TEST(MotionModel, RestsFlatUntilToldOtherwise) {
    MotionModel m;
    const Acceleration a = m.Sample(5 * hk::kSecond);
    EXPECT_DOUBLE_EQ(a.x, 0.0);
    EXPECT_DOUBLE_EQ(a.y, 0.0);
    EXPECT_DOUBLE_EQ(a.z, 1.0);
}

TEST(MotionModel, TiltTurnsGravityAndKeepsOneG) {
    MotionModel m;
    m.Tilt(30.0, 0.0, hk::kSecond);
    EXPECT_DOUBLE_EQ(m.Sample(hk::kSecond - 1).z, 1.0) << "takes effect at its start";
    EXPECT_NEAR(m.Sample(hk::kSecond).x, 0.5, 1e-12);
    for (double pitch = -90; pitch <= 90; pitch += 10) {
        for (double roll = -180; roll <= 180; roll += 20) {
            m.Tilt(pitch, roll, 2 * hk::kSecond);
            EXPECT_NEAR(hw::Magnitude(m.Sample(2 * hk::kSecond)), 1.0, 1e-12);
        }
    }
    m.Rest(3 * hk::kSecond);
    EXPECT_DOUBLE_EQ(m.Sample(3 * hk::kSecond).z, 1.0);
}

TEST(MotionModel, CarryingSwaysSlowlyWithinItsAmplitude) {
    MotionModel m;
    m.Tilt(10.0, 20.0, 0);
    const Acceleration posture = m.Sample(0);
    m.Carry(0, 0.2);
    double largest = 0.0;
    int sign_changes = 0;
    double last_x = 0.0;
    for (hk::Time100ns t = 0; t < 60 * hk::kSecond; t += kMs) {
        const Acceleration sway = Minus(m.Sample(t), posture);
        largest = std::max(largest, hw::Magnitude(sway));
        if (sway.x * last_x < 0) ++sign_changes;
        last_x = sway.x;
    }
    EXPECT_LE(largest, 0.2 + 1e-9);
    EXPECT_GT(largest, 0.15);
    EXPECT_NEAR(sign_changes / 60.0, 2 * 1.8, 0.2) << "a walking pace, not a vibration";
}

TEST(MotionModel, TypingVibratesUpToItsAmplitudeAndIsReproducible) {
    MotionModel m(7), same(7), other(8);
    for (MotionModel* model : {&m, &same, &other}) model->Type(0, 0.3);
    double largest = 0.0;
    int quiet = 0;
    bool differs = false;
    for (hk::Time100ns t = 0; t < 60 * hk::kSecond; t += hk::kSecond / 2000) {
        const Acceleration v = Minus(m.Sample(t), {0, 0, 1});
        largest = std::max(largest, hw::Magnitude(v));
        if (hw::Magnitude(v) < 1e-3) ++quiet;
        const Acceleration s = same.Sample(t);
        ASSERT_EQ(m.Sample(t).z, s.z);
        differs |= other.Sample(t).z != s.z;
    }
    EXPECT_LE(largest, 0.3 + 1e-9);
    EXPECT_GT(largest, 0.28);
    EXPECT_GT(quiet, 0) << "pauses between keystrokes";
    EXPECT_TRUE(differs);
}

TEST(MotionModel, DropFallsForTheFreeFallTimeThenHitsBouncesAndLiesStill) {
    MotionModel m;
    m.Tilt(0.0, 30.0, 0);
    const Acceleration posture = m.Sample(0);
    const hk::Time100ns at = 2 * hk::kSecond;
    const hw::DropFacts d = m.Drop(0.1, at);

    EXPECT_EQ(d.fall_start, at);
    EXPECT_NEAR(static_cast<double>(d.impact - d.fall_start), std::sqrt(2 * 0.1 / 9.80665) * hk::kSecond, 1.0);
    EXPECT_EQ(MotionModel::FallDuration(0.1), d.impact - d.fall_start);
    EXPECT_EQ(m.Drops().size(), 1u);

    EXPECT_NEAR(m.Sample(at - 1).y, posture.y, 1e-12);
    EXPECT_DOUBLE_EQ(hw::Magnitude(m.Sample(at)), 0.0);
    EXPECT_DOUBLE_EQ(hw::Magnitude(m.Sample(d.impact - 1)), 0.0);
    EXPECT_TRUE(m.InFreeFall(at + 50 * kMs));
    EXPECT_FALSE(m.InFreeFall(at - 1));

    double peak = 0.0;
    for (hk::Time100ns t = d.impact; t < d.impact + 4 * kMs; t += kMs / 10) peak = std::max(peak, hw::Magnitude(m.Sample(t)));
    EXPECT_GT(peak, 10.0) << "a hard floor";

    ASSERT_GE(d.bounces.size(), 1u);
    ASSERT_LE(d.bounces.size(), 2u);
    const auto& b = d.bounces.front();
    EXPECT_GT(b.lift, d.impact);
    EXPECT_GT(b.land, b.lift);
    EXPECT_DOUBLE_EQ(hw::Magnitude(m.Sample((b.lift + b.land) / 2)), 0.0);
    EXPECT_TRUE(m.InFreeFall((b.lift + b.land) / 2));
    EXPECT_FALSE(m.InFreeFall(b.lift - 1));

    EXPECT_GT(d.settled, d.bounces.back().land);
    EXPECT_NEAR(m.Sample(d.settled).y, posture.y, 1e-12);
    EXPECT_NEAR(m.Sample(d.settled + hk::kSecond).z, posture.z, 1e-12);
}

TEST(MotionModel, HigherDropsFallLongerAndBounceHigher) {
    MotionModel m;
    const hw::DropFacts low = m.Drop(0.2, 0);
    const hw::DropFacts high = m.Drop(1.0, 10 * hk::kSecond);
    EXPECT_NEAR(static_cast<double>(high.impact - high.fall_start) / (low.impact - low.fall_start), std::sqrt(5.0), 1e-6);
    EXPECT_GT(high.bounces[0].land - high.bounces[0].lift, low.bounces[0].land - low.bounces[0].lift);
}

TEST(MotionModel, ActivityBeforeADropDoesNotResumeAfterIt) {
    MotionModel m;
    m.Carry(0, 0.2);
    const hw::DropFacts d = m.Drop(0.3, hk::kSecond);
    const Acceleration after = m.Sample(d.settled + 5 * hk::kSecond);
    EXPECT_DOUBLE_EQ(after.x, 0.0);
    EXPECT_DOUBLE_EQ(after.z, 1.0);
    m.Type(d.settled + 10 * hk::kSecond, 0.3);
    double largest = 0.0;
    for (hk::Time100ns t = d.settled + 10 * hk::kSecond; t < d.settled + 12 * hk::kSecond; t += kMs)
        largest = std::max(largest, std::abs(m.Sample(t).z - 1.0));
    EXPECT_GT(largest, 0.05) << "activities scheduled after it do";
}

TEST(MotionModel, RejectsDropsWithoutHeight) {
    MotionModel m;
    EXPECT_THROW(m.Drop(0.0, 0), std::invalid_argument);
    EXPECT_THROW(m.Drop(-1.0, 0), std::invalid_argument);
}

}  // namespace
