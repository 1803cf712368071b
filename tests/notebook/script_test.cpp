// The scenario language: what it accepts, and what a mistake tells the user.
#include "scenario_support.h"

#include <gtest/gtest.h>

namespace {

using nbtest::MustParse;
using nbtest::Parse;
using notebook::ActionKind;
using notebook::StatementKind;

TEST(ScriptTimes, UnitsAndRounding) {
    EXPECT_EQ(notebook::ParseTime("250ms"), 250 * hk::kMillisecond);
    EXPECT_EQ(notebook::ParseTime("1.5s"), 15 * hk::kSecond / 10);
    EXPECT_EQ(notebook::ParseTime("800us"), 800 * hk::kMicrosecond);
    EXPECT_EQ(notebook::ParseTime("0s"), 0);
    for (const char* bad : {"250", "ms", "-1s", "1.5", "2 s", "1e3ms", "3min", "1.2.3s"}) {
        EXPECT_FALSE(notebook::ParseTime(bad).has_value()) << bad;
    }
}

TEST(ScriptParse, AFullScriptInOrder) {
    notebook::Script s = MustParse(
        "# a comment line\n"
        "seed 42\n"
        "disk sata0 driver=storahci\n"
        "disk stick driver=USBSTOR removable   # trailing comment\n"
        "chipset gpio=0xFED0FFFE\n"
        "reg set HKLM\\SOFTWARE\\Halvorin Answer dword:0000002a\n"
        "boot\n"
        "at 250ms writes 10 every 20ms\n"
        "at 100ms pin on\n"
        "at 1.5s ioctl 107 16=0x32 76=7\n"
        "run 2s\n"
        "at 2s remove stick\n"
        "reg delete HKLM\\SOFTWARE\\Halvorin Answer\n");
    EXPECT_EQ(s.seed, 42u);
    ASSERT_EQ(s.disks.size(), 2u);
    EXPECT_EQ(s.disks[1].name, "stick");
    EXPECT_EQ(s.disks[1].bus_driver, "USBSTOR");
    EXPECT_TRUE(s.disks[1].removable);
    EXPECT_NE(s.disks[0].seed, s.disks[1].seed);
    EXPECT_EQ(s.registry_files.size(), 2u) << "the default registry files";
    EXPECT_EQ(s.gpio_address, std::optional<std::uint64_t>(0xFED0FFFE));
    ASSERT_EQ(s.statements.size(), 8u);
    EXPECT_EQ(s.statements[0].kind, StatementKind::RegEdit);
    EXPECT_EQ(s.statements[0].edit.type, 4u);
    EXPECT_EQ(s.statements[0].edit.data, (std::vector<std::uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(s.statements[1].kind, StatementKind::Boot);
    EXPECT_EQ(s.statements[2].action.kind, ActionKind::Writes);
    EXPECT_EQ(s.statements[2].action.count, 10u);
    EXPECT_EQ(s.statements[2].action.every, 20 * hk::kMillisecond);
    const notebook::Action& ioctl = s.statements[4].action;
    EXPECT_EQ(ioctl.kind, ActionKind::Ioctl);
    EXPECT_EQ(ioctl.words[0], 107u);
    EXPECT_EQ(ioctl.words[4], 0x32u);
    EXPECT_EQ(ioctl.words[19], 7u);
    EXPECT_EQ(s.statements[5].kind, StatementKind::Run);
    EXPECT_EQ(s.statements[6].action.disk, "stick");
    EXPECT_TRUE(s.statements[7].edit.remove);
}

TEST(ScriptParse, ClockIsWindowsUnlessTheScriptAsksForTheExactOne) {
    EXPECT_EQ(MustParse("run 1s\n").clock, hk::ClockInterrupt::Windows);
    EXPECT_EQ(MustParse("clock windows\nrun 1s\n").clock, hk::ClockInterrupt::Windows);
    EXPECT_EQ(MustParse("clock exact\nrun 1s\n").clock, hk::ClockInterrupt::Exact);
}

TEST(ScriptParse, WithoutBootOrDisksTheDefaultsApply) {
    notebook::Script s = MustParse("at 1s pin on\n");
    EXPECT_EQ(s.processors, 2u);
    EXPECT_EQ(MustParse("processors 1\nat 1s pin on\n").processors, 1u);
    ASSERT_EQ(s.disks.size(), 1u);
    EXPECT_EQ(s.disks[0].name, "sata0");
    EXPECT_EQ(s.disks[0].bus_driver, "storahci");
    EXPECT_FALSE(s.gpio_address.has_value());
    ASSERT_EQ(s.statements.size(), 2u);
    EXPECT_EQ(s.statements[0].kind, StatementKind::Boot);
}

struct BadScript {
    const char* text;
    int line;
    const char* expected;
};

TEST(ScriptParse, MistakesNameTheFileTheLineAndWhatWasExpected) {
    const BadScript cases[] = {
        {"boot\nfly away\n", 2, "expected seed, clock, processors, registry, reg, disk, chipset, boot, at or run"},
        {"processors 0\n", 1, "expected processors N with N from 1 to 8"},
        {"processors 9\n", 1, "expected processors N with N from 1 to 8"},
        {"processors\n", 1, "expected processors N with N from 1 to 8"},
        {"boot\nprocessors 1\n", 2, "expected processors before boot"},
        {"boot\nchipset gpio=0x430\n", 2, "expected chipset before boot"},
        {"chipset gpio\n", 1, "expected chipset gpio=ADDRESS"},
        {"chipset smbus=0xF040\n", 1, "expected chipset gpio=ADDRESS"},
        {"chipset gpio=0\n", 1, "expected a GPIO address from 0x1 to 0xFFFFFFFF, not \"0\""},
        {"chipset gpio=0x100000000\n", 1, "expected a GPIO address from 0x1 to 0xFFFFFFFF"},
        {"chipset gpio=fed0fffe\n", 1, "expected a GPIO address from 0x1 to 0xFFFFFFFF"},
        {"clock fast\n", 1, "expected clock windows or clock exact"},
        {"clock\n", 1, "expected clock windows or clock exact"},
        {"boot\nclock exact\n", 2, "expected clock before boot"},
        {"boot\nseed 4\n", 2, "expected seed before boot"},
        {"boot\ndisk d2 driver=storahci\n", 2, "expected disk before boot"},
        {"seed many\n", 1, "expected a seed number"},
        {"run 1s\nat 500ms pin on\n", 2, "expected a time no earlier than the run before (1s)"},
        {"at 1 pin on\n", 1, "expected a time like 250ms or 1.5s"},
        {"at 1s pin sideways\n", 1, "expected pin on, pin off or pin low"},
        {"at 1s drop -2\n", 1, "expected a height in metres above 0"},
        {"at 1s writes 0 every 1ms\n", 1, "expected a request count from 1 to 1000000"},
        {"at 1s reads 5 each 1ms\n", 1, "expected reads N every TIME"},
        {"at 1s ioctl 107 3=1\n", 1, "expected OFFSET=VALUE with OFFSET a multiple of 4"},
        {"at 1s ioctl 107 80=1\n", 1, "expected OFFSET=VALUE with OFFSET a multiple of 4"},
        {"at 1s power D4\n", 1, "expected power D0, D1, D2 or D3"},
        {"at 1s remove usb9\n", 1, "expected the name of a disk, not \"usb9\""},
        {"at 1s explode\n", 1, "expected an action"},
        {"disk a driver=disk\n", 1, "expected a bus driver name"},
        {"disk a\ndisk a\n", 2, "expected a disk name not used before"},
        {"disk a fast\n", 1, "expected driver=DRIVER, removable"},
        {"reg set HKLM\\SOFTWARE\\X Name dword:1\n", 1, "expected a value as in a .reg file"},
        {"reg set HKEY_NOWHERE\\X Name dword:00000001\n", 1, "expected a key path like"},
        {"reg set HKLM\\SOFTWARE\\X \"Name dword:00000001\n", 1, "expected a closing quote"},
        {"reg remove HKLM\\X\n", 1, "expected reg set or reg delete"},
        {"registry no_such_file.reg\n", 1, "expected a registry file that exists"},
        {"boot\nboot\n", 2, "expected one boot only"},
        {"at 1s pin on\nboot\n", 2, "expected boot before the first at or run"},
        {"run 1s\ndisk d2\n", 2, "expected disk before boot (the first at or run boots)"},
    };
    for (const BadScript& c : cases) {
        notebook::ParseResult r = Parse(c.text);
        ASSERT_TRUE(r.error.has_value()) << c.text;
        EXPECT_FALSE(r.script.has_value());
        EXPECT_EQ(r.error->file, "test.nb");
        EXPECT_EQ(r.error->line, c.line) << c.text;
        EXPECT_NE(r.error->message.find(c.expected), std::string::npos) << c.text << " -> " << r.error->message;
        EXPECT_EQ(r.error->ToString().rfind("test.nb:" + std::to_string(c.line) + ": expected", 0), 0u);
    }
}

TEST(ScriptParse, ABrokenRegistryFileIsReportedWhereItBreaks) {
    notebook::ParseResult r = notebook::ParseScriptFile(std::string(NOTEBOOK_TEST_DATA) + "/broken_registry.nb",
                                                        NOTEBOOK_SOURCE_DIR);
    ASSERT_TRUE(r.error.has_value());
    EXPECT_NE(r.error->file.find("broken.reg"), std::string::npos) << r.error->file;
    EXPECT_EQ(r.error->line, 4);
    EXPECT_NE(r.error->message.find("broken_registry.nb:2"), std::string::npos) << r.error->message;
}

}  // namespace
