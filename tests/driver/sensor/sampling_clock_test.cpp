// The sensor engine under Windows' clock interrupt: the thread holds a 1 ms
// timer resolution while it runs, so it samples the interrupt line every
// millisecond and a checked SMBus register write costs milliseconds, not
// clock periods. The same machine with the resolution request refused shows
// what the driver would do without it.
#include <gtest/gtest.h>

#include <algorithm>

#include "sensor/smbus.h"
#include "sensor_rig.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using namespace sensortest;

constexpr hk::Time100ns kDefaultPeriod = hk::kDefaultTimeIncrement;

struct ClockCase {
    const char* what;
    hk::ClockInterrupt clock;
    bool locked;  // the driver's resolution request is not granted
};

const ClockCase kClocks[] = {
    {"Windows' clock", hk::ClockInterrupt::Windows, false},
    {"Windows' clock, resolution refused", hk::ClockInterrupt::Windows, true},
    {"exact clock", hk::ClockInterrupt::Exact, false},
};

MachineOptions OptionsFor(const ClockCase& c) {
    MachineOptions o;
    o.clockInterrupt = c.clock;
    o.lockTimerResolution = c.locked;
    return o;
}

TEST(SamplingClock, ThreadHoldsAMillisecondResolutionWhileItRuns) {
    Machine m;
    ASSERT_TRUE(m.kernel.RunFor(20 * kMillisecond));
    EXPECT_EQ(m.kernel.TimerResolution(), 10'000u);
    // Removal ends the thread, which gives the request back; unloading a
    // driver that still held it would stop the machine.
    m.storage.RemoveDisk(m.Disk());
    ASSERT_TRUE(m.kernel.RunFor(20 * kMillisecond));
    EXPECT_EQ(m.kernel.TimerResolution(), ULONG(kDefaultPeriod));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SamplingClock, LineIsSampledEveryMillisecond) {
    // The pin goes up at moments spread over a clock period; the park
    // request reaches the disk at the driver's next look at the line.
    for (const ClockCase& c : kClocks) {
        SCOPED_TRACE(c.what);
        Machine m(OptionsFor(c));
        ProtectionOn(m);
        // The thread's own work after switching on (register writes, the
        // start-up it runs once the disk has settled in D0) is over: what is
        // measured is the look at the line.
        ASSERT_TRUE(m.kernel.RunFor(kSecond));
        hk::Time100ns worst = 0;
        for (int phase = 0; phase < 8; ++phase) {
            DeviceControlSpy spy(m);
            ASSERT_TRUE(m.kernel.RunFor(5 * kMillisecond + phase * 15625));  // phases 1.5625 ms apart
            const hk::Time100ns up = m.kernel.Now();
            m.chipset.Gpio().ForcePin(true);
            ASSERT_TRUE(RunUntil(m, [&] { return !spy.requests.empty(); }, kSecond, 100));
            worst = std::max(worst, spy.requests.front().at - up);
            m.chipset.Gpio().ReleaseForce();
            ASSERT_TRUE(m.kernel.RunFor(4 * kSecond));  // the fall is over, I/O released
        }
        if (c.locked) {
            EXPECT_GT(worst, 2 * kMillisecond);
            EXPECT_LE(worst, kDefaultPeriod);
        } else {
            EXPECT_LE(worst, kMillisecond);
        }
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(SamplingClock, CheckedRegisterWriteTakesMillisecondsNotClockPeriods) {
    for (const ClockCase& c : kClocks) {
        SCOPED_TRACE(c.what);
        SmbusTap tap;
        auto m = BootWithTap(tap, OptionsFor(c));
        ASSERT_TRUE(m->kernel.RunFor(20 * kMillisecond));
        auto* writeRegister = Routine<decltype(GsensorWriteRegister)>(*m, "GsensorWriteRegister");
        hk::Time100ns elapsed = 0;
        m->Do([&] {
            const hk::Time100ns start = m->kernel.Now();
            writeRegister(0x66, 0x5C);
            elapsed = m->kernel.Now() - start;
        });
        EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x66), 0x5C);
        // Six checked writes, each a 1 ms sleep first, then the completion
        // wait: about 6 ms; each sleep a clock period when the resolution
        // stays at its default.
        if (c.locked) {
            EXPECT_GE(elapsed, 6 * kDefaultPeriod - kDefaultPeriod);
        } else {
            EXPECT_GE(elapsed, 6 * kMillisecond);
            EXPECT_LE(elapsed, 9 * kMillisecond);
        }
        EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
    }
}

}  // namespace
