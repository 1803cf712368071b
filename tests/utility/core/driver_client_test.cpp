// The driver client against ZHP on the notebook: what each operation puts
// into the command block, what it takes out, and how a failed call differs
// from one that succeeds with no bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_machine.h"
#include "driver_client.h"
#include "readout.h"
#include "settings.h"

namespace {

namespace w = command_word;

class RecordingListener : public DriverClientListener {
public:
    void OnCommandFailed(DWORD command) override { failed.push_back(command); }
    std::vector<DWORD> failed;
};

class DriverClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Open();
        LoadSettingsDefaults(settings);
        // ZHP restores protection by itself after the disk's power-up at
        // boot; each test starts with it off, as TearDown leaves it.
        client.SetWord(w::kProtection, 0);
        client.SendCommand(102);
    }
    void TearDown() override {
        // Leave protection off for the next test.
        client.SetWord(w::kProtection, 0);
        client.SendCommand(102);
    }
    RecordingListener listener;
    DriverClient client{&listener};
    SettingsRecord settings;
};

TEST_F(DriverClientTest, SetParametersSwitchesProtectionOnWithThresholdFiftyAndDelayZero) {
    client.SetWord(w::kByteCount, 6);
    EXPECT_EQ(client.SetParameters(settings), DriverClient::kBlockSize);
    EXPECT_EQ(settings.RecoverWait, 1);
    EXPECT_EQ(client.Word(w::kThresholdLow), 50u);
    EXPECT_EQ(client.Word(w::kThresholdHigh), 0u);
    EXPECT_EQ(client.Word(w::kDelayLow), 0u);
    EXPECT_EQ(client.Word(w::kDelayHigh), 0u);
    EXPECT_EQ(client.Word(w::kRecoverWait), 10u);
    EXPECT_EQ(client.Word(w::kByteCount), 0u);

    EXPECT_TRUE(client.RestoreProtectionState()) << "107 reports protection on";
    EXPECT_NE(client.Word(w::kHeldWrites) & 0x02, 0u) << "the driver's flags show the sensor on";
    EXPECT_EQ(client.Word(w::kThresholdLow), 50u);

    std::string line = "untouched";
    EXPECT_EQ(client.ReportBlockedIo(&line), DriverClient::kBlockSize);
    EXPECT_EQ(line, "0 Read(s), 0 Write(s) blocked");

    client.SaveDriverSettings();
    EXPECT_EQ(coretest::ZhpInitValue(L"OP_MODE"), 1);
    EXPECT_EQ(coretest::ZhpInitValue(L"P_THRESHOLD"), 50);
    EXPECT_EQ(coretest::ZhpInitValue(L"P_DL_TIME"), 0);
    EXPECT_TRUE(listener.failed.empty());
}

TEST_F(DriverClientTest, TheExitCommandSwitchesProtectionOffAndARefusedCommandIsNoFailure) {
    ASSERT_EQ(client.SetParameters(settings), DriverClient::kBlockSize);
    client.SetWord(w::kProtection, 0);
    EXPECT_EQ(client.SendCommand(102), DriverClient::kBlockSize);
    EXPECT_FALSE(client.RestoreProtectionState());

    // 106 with the sensor off: the driver answers with no bytes.
    std::string line = "untouched";
    EXPECT_EQ(client.ReportBlockedIo(&line), 0u);
    EXPECT_EQ(line, "untouched");
    EXPECT_TRUE(listener.failed.empty()) << "0 bytes from a successful call is not a failure";
}

TEST_F(DriverClientTest, AFailedCallIsReportedAndCountsNoBytes) {
    EXPECT_EQ(client.SendCommand(999), 0u) << "a command the driver does not know fails";
    EXPECT_EQ(listener.failed, std::vector<DWORD>{999});

    RecordingListener unopenedListener;
    DriverClient unopened(&unopenedListener);  // the device was never opened
    unopened.SetWord(w::kHeldReads, 7);
    unopened.SetWord(w::kHeldWrites, 8);
    unopened.SetWord(w::kReport2, 9);
    unopened.SetWord(w::kProtection, 1);
    EXPECT_FALSE(unopened.ReadSensor());
    EXPECT_EQ(unopened.Word(w::kHeldReads), 0u);
    EXPECT_EQ(unopened.Word(w::kHeldWrites), 0u);
    EXPECT_EQ(unopened.Word(w::kReport2), 0u);
    EXPECT_TRUE(unopened.RestoreProtectionState()) << "word 36 is taken whatever the block holds";
    EXPECT_EQ(unopened.SetParameters(settings), 0u);
    unopened.SaveDriverSettings();
    EXPECT_EQ(unopenedListener.failed, (std::vector<DWORD>{101, 107, 102, 111, 111}));
}

TEST_F(DriverClientTest, TheBlockKeepsWhatThePreviousReplyLeft) {
    client.SetWord(68, 0xA5A5A5A5);  // a word neither side sets
    ASSERT_EQ(client.SetParameters(settings), DriverClient::kBlockSize);
    client.RestoreProtectionState();
    EXPECT_EQ(client.Word(68), 0xA5A5A5A5u);
    EXPECT_EQ(client.Word(w::kCommand), 107u);
}

TEST_F(DriverClientTest, ReadSensorGivesTheNotebookAtRestToTheReadout) {
    ASSERT_EQ(client.SetParameters(settings), DriverClient::kBlockSize);
    SensorReadout readout;
    for (int tick = 0; tick < 7; ++tick) {
        ASSERT_TRUE(client.ReadSensor()) << "tick " << tick;
        EXPECT_EQ(client.Word(w::kHeldWrites), 16u);
        readout.Update(client.Block());
    }
    EXPECT_NEAR(readout.Average(Axis::Z), 1024, 80) << "the notebook lies flat";
    EXPECT_NEAR(readout.Angle(Axis::Z), 85, 5);
    EXPECT_NEAR(readout.Magnitude(), 1.0f, 0.1f);
    EXPECT_TRUE(listener.failed.empty());
}

}  // namespace
