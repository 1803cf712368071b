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

}  // namespace
