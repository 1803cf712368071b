// Scenarios on the notebook without ZHP: the machine, the registry edits,
// the disks and the facts that show the disk unprotected.
#include "scenario_support.h"

#include <gtest/gtest.h>

namespace {

using nbtest::Events;
using nbtest::Number;
using nbtest::RunText;
using nbtest::Text;

TEST(Scenario, RegistryEditsBeforeAndAfterBootReachTheRegistry) {
    notebook::ScenarioResult r = RunText(
        "reg set HKLM\\SOFTWARE\\Halvorin Answer dword:0000002a\n"
        "reg set \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\" Greeting \"hello world\"\n"
        "reg delete HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin InstallDir\n"
        "reg set HKLM\\SOFTWARE\\Scratch Gone hex:00\n"
        "reg delete HKLM\\SOFTWARE\\Scratch\n"
        "boot\n"
        "reg set HKLM\\SOFTWARE\\Halvorin Late hex:01,02\n"
        "run 10ms\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    EXPECT_NE(r.registry.find("\"Answer\"=dword:0000002a"), std::string::npos) << r.registry;
    EXPECT_NE(r.registry.find("\"Greeting\"=\"hello world\""), std::string::npos);
    EXPECT_NE(r.registry.find("\"Late\"=hex:01,02"), std::string::npos);
    EXPECT_NE(r.registry.find("\"AppDataDir\""), std::string::npos) << "from the default Halvorin.reg";
    EXPECT_NE(r.registry.find("\"SATA_CMD\"=hex:44,00,4c,4e,55,00,e1,00"), std::string::npos) << "from ZHP.reg";
    EXPECT_EQ(r.registry.find("InstallDir"), std::string::npos);
    EXPECT_EQ(r.registry.find("Scratch"), std::string::npos);
    EXPECT_EQ(Events(r, "reg").size(), 6u);
}

TEST(Scenario, DisksComeUpInTheScriptsOrder) {
    notebook::ScenarioResult r = RunText(
        "disk stick driver=USBSTOR removable\n"
        "disk sata0 driver=storahci\n"
        "disk card driver=sdbus removable\n"
        "disk dvd driver=storahci readonly\n"
        "boot\n"
        "run 1ms\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    std::vector<std::string> disks = Events(r, "disk");
    ASSERT_EQ(disks.size(), 4u);
    const char* names[] = {"stick", "sata0", "card", "dvd"};
    const char* drivers[] = {"USBSTOR", "storahci", "sdbus", "storahci"};
    for (std::size_t i = 0; i < disks.size(); ++i) {
        EXPECT_EQ(Text(disks[i], "disk"), names[i]);
        EXPECT_EQ(Text(disks[i], "driver"), drivers[i]);
        EXPECT_EQ(Text(disks[i], "status"), "0x00000000");
        EXPECT_NE(disks[i].find("\"protected\":false"), std::string::npos);
    }
    EXPECT_NE(disks[3].find("\"readonly\":true"), std::string::npos);
    EXPECT_FALSE(r.summary.protected_by_zhp);
}

TEST(Scenario, WithoutZhpNothingParksNothingIsHeldAndFallsReachTheMedia) {
    notebook::ScenarioResult r = RunText(
        "seed 5\n"
        "boot\n"
        "at 200ms writes 60 every 10ms\n"
        "at 300ms pin on\n"
        "at 400ms pin off\n"
        "at 500ms drop 0.5\n"
        "run 2s\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    const notebook::Summary& s = r.summary;
    EXPECT_FALSE(s.protected_by_zhp);
    EXPECT_EQ(s.verifier_stops, 0);
    EXPECT_EQ(s.falls, 1u) << "the forced pin; nobody set the sensor up to signal the drop";
    EXPECT_EQ(s.parks, 0u);
    EXPECT_EQ(s.requests.issued, 60u);
    EXPECT_EQ(s.requests.completed, 60u);
    EXPECT_EQ(s.requests.lost, 0u);
    for (const std::string& line : Events(r, "request")) EXPECT_LT(*Number(line, "latency_us"), 2100) << line;
    ASSERT_EQ(s.drops.size(), 1u);
    const notebook::DropReport& d = s.drops[0];
    EXPECT_NEAR(d.fall_ms, 319.3, 0.1);
    EXPECT_FALSE(d.line_rise.has_value());
    EXPECT_FALSE(d.park_after_pin.has_value());
    EXPECT_FALSE(d.parked_before_impact);
    EXPECT_GE(d.media_io_while_falling, 25u) << "a write every 10 ms for 319 ms, and the bounces";
    EXPECT_EQ(s.media_io_while_falling, d.media_io_while_falling);
    EXPECT_EQ(Events(r, "media_io_while_falling").size(), s.media_io_while_falling);
    EXPECT_NE(r.summary_json.find("\"parked_before_impact\":false"), std::string::npos) << r.summary_json;
    EXPECT_TRUE(r.trace.empty()) << "no driver prints";
}

TEST(Scenario, TheSameSeedGivesTheSameRun) {
    const char* script =
        "seed 77\n"
        "boot\n"
        "at 10ms reads 20 every 3ms\n"
        "at 20ms writes 20 every 2ms\n"
        "run 200ms\n";
    notebook::ScenarioResult a = RunText(script);
    notebook::ScenarioResult b = RunText(script);
    EXPECT_EQ(a.events, b.events);
    EXPECT_EQ(a.summary_json, b.summary_json);
    EXPECT_EQ(a.summary.requests.completed, 40u);
}

TEST(Scenario, DiskFaultsShowAsTheDisksBehaviour) {
    notebook::ScenarioResult r = RunText(
        "disk sata0 driver=storahci io_error_every=3\n"
        "boot\n"
        "at 10ms writes 9 every 5ms\n"
        "at 100ms fault sata0 io_errors 0\n"
        "at 110ms writes 3 every 5ms\n"
        "at 200ms remove sata0\n"
        "at 210ms writes 1 every 5ms\n"
        "run 300ms\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    EXPECT_EQ(r.summary.requests.issued, 12u);
    EXPECT_EQ(r.summary.requests.completed, 12u);
    EXPECT_EQ(r.summary.requests.failed, 3u);
    std::vector<std::string> removed = Events(r, "remove");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(Text(removed[0], "status"), "0x00000000");
    EXPECT_EQ(Events(r, "request_refused").size(), 1u) << "no disk left for the last write";
}

TEST(Scenario, PowerAndSleepReachTheDisk) {
    notebook::ScenarioResult r = RunText(
        "boot\n"
        "at 10ms power D3\n"
        "at 2s reads 1 every 1ms\n"
        "at 5s suspend\n"
        "at 7s resume\n"
        "at 8s shutdown\n"
        "run 9s\n");
    ASSERT_EQ(r.exit_code, 0) << r.stop_report;
    std::vector<std::string> power = Events(r, "power");
    ASSERT_EQ(power.size(), 1u);
    EXPECT_EQ(Text(power[0], "status"), "0x00000000");
    std::vector<std::string> requests = Events(r, "request");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_GE(*Number(requests[0], "latency_us"), 1500000) << "the disk spins up first";
    EXPECT_EQ(Events(r, "suspend").size(), 1u);
    EXPECT_EQ(Events(r, "resume").size(), 1u);
    std::vector<std::string> shutdown = Events(r, "shutdown");
    ASSERT_EQ(shutdown.size(), 1u);
    EXPECT_EQ(Text(shutdown[0], "status"), "0x00000000");
    std::vector<std::string> heads = Events(r, "heads");
    ASSERT_FALSE(heads.empty());
    EXPECT_EQ(Text(heads.front(), "state"), "unloaded");
}

TEST(Scenario, AnIoctlWithoutTheDriverFindsNoControlDevice) {
    notebook::ScenarioResult r = RunText("boot\nat 5ms ioctl 107\nrun 10ms\n");
    std::vector<std::string> ioctl = Events(r, "ioctl");
    ASSERT_EQ(ioctl.size(), 1u);
    EXPECT_EQ(Text(ioctl[0], "error"), "no control device");
}

}  // namespace
