// Scenarios with ZHP loaded as the disks' upper filter.
#include "scenario_support.h"

#include <gtest/gtest.h>

namespace {

using nbtest::Events;
using nbtest::Number;
using nbtest::Text;

notebook::ScenarioResult RunProtected(const std::string& text) { return nbtest::RunText(text, ZHP_MODULE); }

TEST(ProtectedScenario, PinOnParksHoldsWritesAndReleasesThemThreeSecondsAfterPinOff) {
    notebook::ScenarioResult r = RunProtected(
        "seed 3\n"
        "boot\n"
        "at 200ms writes 40 every 25ms\n"
        "at 400ms pin on\n"
        "at 700ms pin off\n"
        "run 5s\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    const notebook::Summary& s = r.summary;
    EXPECT_TRUE(s.protected_by_zhp);
    EXPECT_EQ(s.falls, 1u);
    EXPECT_EQ(s.parks, 1u);
    EXPECT_EQ(s.requests.issued, 40u);
    EXPECT_EQ(s.requests.completed, 40u);
    EXPECT_EQ(s.requests.lost, 0u);
    EXPECT_EQ(s.requests.held, 0u);

    std::vector<std::string> ata = Events(r, "ata");
    ASSERT_EQ(ata.size(), 1u);
    EXPECT_EQ(Text(ata[0], "command"), "0xE1");
    const long long parkReceived = *Number(ata[0], "t_us");
    const long long parkDone = *Number(ata[0], "reply_us");
    EXPECT_GE(parkReceived, 400000);
    EXPECT_LE(parkReceived, 402000) << "the driver samples the line every millisecond";

    // Writes sent once the park was done wait until 3 s after the driver has
    // seen the line drop: pin off at 700 ms, seen at the end of the release
    // attempt in progress (at most 200 ms later). They are released oldest first.
    const long long pinOff = 700000;
    int held = 0;
    long long lastSent = 0;
    for (const std::string& line : Events(r, "request")) {  // in completion order
        const long long sent = *Number(line, "sent_us");
        const long long completed = *Number(line, "t_us");
        EXPECT_EQ(Text(line, "status"), "0x00000000");
        if (sent > parkDone + 2000) {
            ++held;
            EXPECT_GE(completed, pinOff + 3000000) << line;
            EXPECT_LE(completed, pinOff + 3300000) << line;
            EXPECT_GT(sent, lastSent) << "completed out of the order sent";
            lastSent = sent;
        } else if (sent < parkReceived) {
            EXPECT_LT(completed, parkReceived + 3000) << line;
        }
    }
    EXPECT_GE(held, 15);
    EXPECT_NE(r.trace.find("ZHP_FFDetected(): The Filter driver will park disk"), std::string::npos);
    EXPECT_NE(r.trace.find("ZHP_RecoveryDPC(): The IO will be resumed."), std::string::npos);
}

TEST(ProtectedScenario, ADropFromHalfAMetreParksBeforeImpact) {
    notebook::ScenarioResult r = RunProtected(
        "seed 11\n"
        "boot\n"
        "at 1s drop 0.5\n"
        "run 3s\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    const notebook::Summary& s = r.summary;
    EXPECT_EQ(s.falls, 1u);
    EXPECT_EQ(s.parks, 1u);
    EXPECT_EQ(s.media_io_while_falling, 0u);
    ASSERT_EQ(s.drops.size(), 1u);
    const notebook::DropReport& d = s.drops[0];
    ASSERT_TRUE(d.line_rise.has_value());
    EXPECT_GE(*d.line_rise - d.at, 30 * hk::kMillisecond);
    EXPECT_LE(*d.line_rise - d.at, 60 * hk::kMillisecond);
    ASSERT_TRUE(d.park_after_pin.has_value());
    EXPECT_LE(*d.park_after_pin, 2 * hk::kMillisecond);
    EXPECT_TRUE(d.parked_before_impact);
    EXPECT_EQ(d.disk, "sata0");
    EXPECT_NE(r.summary_json.find("\"parked_before_impact\":true"), std::string::npos) << r.summary_json;
}

// The level register in physical memory with its last two bytes on the next
// page: the driver must map all 32 bits it reads.
TEST(ProtectedScenario, ALevelRegisterAtAPageEndStillReportsTheFall) {
    notebook::ScenarioResult r = RunProtected(
        "seed 11\n"
        "chipset gpio=0xFED0FFFE\n"
        "reg set HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT PCI_GPIO_ADDR hex:fe,d0,ff,fe\n"
        "boot\n"
        "at 1s drop 0.5\n"
        "run 3s\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    EXPECT_EQ(r.summary.verifier_stops, 0);
    EXPECT_EQ(r.summary.falls, 1u);
    EXPECT_EQ(r.summary.parks, 1u);
    EXPECT_EQ(r.summary.media_io_while_falling, 0u);
    ASSERT_EQ(r.summary.drops.size(), 1u);
    EXPECT_TRUE(r.summary.drops[0].parked_before_impact);
    EXPECT_NE(r.trace.find("TriggerPinConfirm(): Trigger Source from Ph_MEM_ADDR(0xfed0fffe)= 0x00000020"),
              std::string::npos);
}

TEST(ProtectedScenario, SummaryNamesTheClockAndTheResolutionTheDriverHeld) {
    struct Case {
        const char* clockLine;
        const char* clock;
        const char* resolution;
    };
    for (const Case& c : {Case{"", "windows", "\"timer_resolution_us\":1000"},
                          Case{"clock exact\n", "exact", "\"timer_resolution_us\":0"}}) {
        notebook::ScenarioResult r = RunProtected(std::string(c.clockLine) +
                                                  "seed 3\n"
                                                  "at 500ms drop 0.5\n"
                                                  "run 2s\n");
        ASSERT_EQ(r.exit_code, 0) << r.stop_report;
        EXPECT_EQ(r.summary.clock, c.clock);
        EXPECT_NE(r.summary_json.find(std::string("\"clock\":\"") + c.clock + "\""), std::string::npos) << r.summary_json;
        EXPECT_NE(r.summary_json.find(c.resolution), std::string::npos) << r.summary_json;
        EXPECT_TRUE(r.summary.drops.at(0).parked_before_impact) << c.clock;
    }
}

TEST(ProtectedScenario, TheFilterSkipsUsbAndRemovableDisksAndTakesTheFirstFixedOne) {
    notebook::ScenarioResult r = RunProtected(
        "disk stick driver=USBSTOR\n"
        "disk card driver=sdbus removable\n"
        "disk sata0 driver=storahci\n"
        "disk sata1 driver=storahci\n"
        "boot\n"
        "run 10ms\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    std::vector<std::string> disks = Events(r, "disk");
    ASSERT_EQ(disks.size(), 4u);
    const bool expected[] = {false, false, true, false};
    for (std::size_t i = 0; i < disks.size(); ++i) {
        EXPECT_EQ(disks[i].find("\"protected\":true") != std::string::npos, expected[i]) << disks[i];
    }
}

TEST(ProtectedScenario, TheControlDeviceAnswersTheCommandBlock) {
    notebook::ScenarioResult r = RunProtected("boot\nat 100ms ioctl 107\nrun 200ms\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    std::vector<std::string> ioctl = Events(r, "ioctl");
    ASSERT_EQ(ioctl.size(), 1u);
    EXPECT_EQ(Text(ioctl[0], "status"), "0x00000000");
    EXPECT_EQ(*Number(ioctl[0], "information"), 80);
    EXPECT_NE(ioctl[0].find("\"words\":[107,"), std::string::npos) << ioctl[0];
    EXPECT_NE(ioctl[0].find("\"request\":[107,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]"), std::string::npos) << ioctl[0];
}

TEST(ProtectedScenario, EveryDropIsDrawnWithTheFactsOfItsRow) {
    notebook::ScenarioOptions options;
    options.driver_path = ZHP_MODULE;
    options.plots = true;
    notebook::ScenarioResult r = notebook::RunScenario(nbtest::MustParse("seed 5\n"
                                                                         "boot\n"
                                                                         "at 500ms writes 200 every 10ms\n"
                                                                         "at 1s drop 0.5\n"
                                                                         "at 5s drop 1\n"
                                                                         "run 9s\n"),
                                                       options);
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    ASSERT_EQ(r.plots.size(), 2u);
    EXPECT_EQ(r.plots[0].name, "drop-01.svg");
    EXPECT_EQ(r.plots[1].name, "drop-02.svg");
    EXPECT_NE(r.plots[0].text.find("Drop 1: 0.50 m"), std::string::npos);
    EXPECT_NE(r.plots[1].text.find("Drop 2: 1.00 m"), std::string::npos);
    for (const notebook::NamedFile& plot : r.plots) {
        EXPECT_NE(plot.text.find("before the impact"), std::string::npos) << plot.name;
        EXPECT_EQ(plot.text.find("no park command"), std::string::npos) << plot.name;
    }
    // Without asking, nothing is drawn.
    EXPECT_TRUE(RunProtected("boot\nat 1s drop 0.5\nrun 2s\n").plots.empty());
}

}  // namespace
