// The QC report file in the notebook's drive C.
#include <gtest/gtest.h>

#include <string>

#include "core_machine.h"
#include "settings.h"
#include "test_report.h"

namespace {

TEST(TestReport, WrittenWithCrLfAndNoLineEndAfterTheResult) {
    const std::string path = coretest::DriveC() + "/Users/Public/G_TEST.txt";
    const std::string head = "G-sensor QC Static Tested Report\r\n================================\r\n";
    ASSERT_TRUE(WriteTestReport(true));
    EXPECT_EQ(e2e::ReadFile(path), head + "-----Pass");
    ASSERT_TRUE(WriteTestReport(false));
    EXPECT_EQ(e2e::ReadFile(path), head + "-----Fail") << "the file is truncated at every write";
}

TEST(Settings, DefaultsAndTipsCutToTheirFields) {
    SettingsRecord s;
    s.RecoverWait = 1;
    LoadSettingsDefaults(s);
    EXPECT_EQ(s.OnTray, 1);
    EXPECT_STREQ(s.OnHint, "DiskProtectionON");
    EXPECT_STREQ(s.OffHint, "DiskProtectionOFF");
    EXPECT_EQ(s.AutoRecover, 1);
    EXPECT_EQ(s.RecoverWait, 5);
    SetSettingsHint(s.OnHint, std::string(60, 't'));
    EXPECT_EQ(std::string(s.OnHint), std::string(47, 't'));
}

}  // namespace
