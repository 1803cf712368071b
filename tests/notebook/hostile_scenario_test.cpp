// Scenarios of a notebook treated badly, with ZHP loaded: whatever the
// world does, protection must not be lost and the disk must not be touched
// while the notebook falls. Judged from outside: the disk's media accesses
// and park facts, the requests' completions, the event log.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nbtest::Events;
using nbtest::Number;

notebook::ScenarioResult RunProtected(const std::string& text) { return nbtest::RunText(text, ZHP_MODULE); }

// The last drop of the run was seen by the sensor, parked the heads before
// they hit and let nothing reach the media once the park was asked for.
void ExpectLastDropParked(const notebook::ScenarioResult& r) {
    ASSERT_FALSE(r.summary.drops.empty());
    const notebook::DropReport& d = r.summary.drops.back();
    ASSERT_TRUE(d.line_rise.has_value()) << r.summary_json;
    ASSERT_TRUE(d.park_after_pin.has_value()) << r.summary_json;
    EXPECT_LE(*d.park_after_pin, 20 * hk::kMillisecond);
    EXPECT_TRUE(d.parked_before_impact) << r.summary_json;
}

TEST(HostileScenario, AfterATumbleDownTheStairsTheNextDropIsStillDetectedAndParked) {
    // Ten short falls 350 ms apart keep the line up through every release
    // attempt; the thread gives up. Six seconds later the notebook is dropped
    // from a metre.
    std::string script = "seed 5\nboot\n";
    for (int i = 0; i < 10; ++i) script += "at " + std::to_string(1000 + 350 * i) + "ms drop 0.25\n";
    script += "at 10.15s drop 1\nrun 13s\n";
    notebook::ScenarioResult r = RunProtected(script);
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    EXPECT_NE(r.trace.find("Due tu retry too mcuh time of INT Release"), std::string::npos)
        << "the tumble must reach the give-up path";
    ASSERT_EQ(r.summary.drops.size(), 11u);
    EXPECT_EQ(r.summary.falls, 2u) << "the tumble and the drop";
    EXPECT_EQ(r.summary.parks, 2u);
    ExpectLastDropParked(r);
    EXPECT_EQ(r.summary.drops.back().media_io_while_falling, 0u);
    EXPECT_EQ(r.summary.verifier_stops, 0);
}

TEST(HostileScenario, AFlushInMidFallWaitsWithTheHeldWritesAndLeavesTheMediaAlone) {
    // A writer every 100 ms, a 1 m drop, and a flush while the notebook is
    // still in the air: passing the held writes down with it would load the
    // heads again before the impact.
    notebook::ScenarioResult r = RunProtected(
        "seed 7\n"
        "boot\n"
        "at 1s writes 60 every 100ms\n"
        "at 2.02s drop 1\n"
        "at 2.25s flush\n"
        "run 9s\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    const notebook::Summary& s = r.summary;
    EXPECT_EQ(s.falls, 1u);
    EXPECT_EQ(s.parks, 1u);
    ASSERT_EQ(s.drops.size(), 1u);
    ExpectLastDropParked(r);
    EXPECT_EQ(s.media_io_while_falling, 0u);
    EXPECT_EQ(s.drops[0].media_io_while_falling, 0u);
    EXPECT_EQ(s.requests.issued, 61u);
    EXPECT_EQ(s.requests.completed, 61u);
    EXPECT_EQ(s.requests.lost, 0u);

    // The flush completes after every write sent before it, and before the
    // writes sent after it, once the fall is over.
    const std::vector<std::string> requests = Events(r, "request");  // in completion order
    std::size_t flushAt = requests.size();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (nbtest::Text(requests[i], "op") == "flush") flushAt = i;
    }
    ASSERT_LT(flushAt, requests.size());
    const long long flushSent = *Number(requests[flushAt], "sent_us");
    EXPECT_GT(*Number(requests[flushAt], "t_us"), s.drops[0].impact / 10) << "released after the fall, not in it";
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (i == flushAt) continue;
        const long long sent = *Number(requests[i], "sent_us");
        EXPECT_EQ(sent < flushSent, i < flushAt) << requests[i];
    }
}

// The disk spins down and up again with no utility to send a command. A
// writer keeps the heads on the media once the disk is back; it writes at
// x.x5 s, so no write falls in the 40 ms the sensor takes to see the drop.
std::string PowerCycleScript(bool explicitD0) {
    return std::string("seed 4\nboot\nat 1s power D3\n") + (explicitD0 ? "at 2s power D0\n" : "") +
           "at 2.05s writes 40 every 100ms\n"
           "at 4.57s drop 1\n"
           "run 9s\n";
}

void ExpectPowerCycleProtected(const notebook::ScenarioResult& r) {
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    const notebook::Summary& s = r.summary;
    EXPECT_EQ(s.falls, 1u);
    EXPECT_EQ(s.parks, 1u);
    ExpectLastDropParked(r);
    EXPECT_EQ(s.media_io_while_falling, 0u);
    EXPECT_EQ(s.requests.issued, 40u);
    EXPECT_EQ(s.requests.completed, 40u);
    EXPECT_EQ(s.requests.held, 0u);
    EXPECT_EQ(s.requests.lost, 0u);
    EXPECT_TRUE(Events(r, "ioctl").empty()) << "no command: the utility is not running";
    // The writes waited for the disk's spin-up, none failed.
    for (const std::string& line : Events(r, "request")) EXPECT_EQ(nbtest::Text(line, "status"), "0x00000000");
}

TEST(HostileScenario, AfterTheDiskSpinsDownAndUpWithNoCommandADropIsStillParked) {
    notebook::ScenarioResult r = RunProtected(PowerCycleScript(true));
    ExpectPowerCycleProtected(r);
    const std::vector<std::string> power = Events(r, "power");
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(nbtest::Text(power[1], "state"), "D0");
}

TEST(HostileScenario, AWriteToASleepingDiskWakesItThroughTheFilterAndProtectionFollows) {
    // No D0 from the world: the disk class driver asks for it when the first
    // write finds the disk in D3, and the request passes ZHP on its way down.
    notebook::ScenarioResult r = RunProtected(PowerCycleScript(false));
    ExpectPowerCycleProtected(r);
    EXPECT_EQ(Events(r, "power").size(), 1u);
    EXPECT_NE(r.trace.find("ZHP_PowerComplete(): The storage device is adding power"), std::string::npos);
    const std::vector<std::string> requests = Events(r, "request");
    ASSERT_FALSE(requests.empty());
    EXPECT_GE(*Number(requests[0], "latency_us"), 1500000) << "the disk spun up first";
}

}  // namespace
