// zhpctl against a live notebook: command blocks and their replies, the
// fall events, several clients at once.
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "process_support.h"

namespace {

using e2e::Notebook;
using e2e::ParseZhpctlJson;
using e2e::ReadFile;

// ZHP's trace when a device power change of the disk has completed, and when
// its sensor thread runs the start-up because no command came.
constexpr char kPowerChangeSeen[] = "ZHP_PowerComplete():  POW_RESUME.12 = TRUE";
constexpr char kDriverStartUp[] = "ZHP_SettleAfterPowerChange(): No command has set the sensor up";

bool TraceEventuallyCounts(const Notebook& notebook, const char* text, std::size_t count) {
    for (int waited = 0; waited < 30000; waited += 2) {
        if (notebook.TraceCount(text) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

class Zhpctl : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(notebook.Start()) << notebook.Log(); }
    Notebook notebook;
};

TEST_F(Zhpctl, AfterAPowerChangeTheNextCommandRunsTheStartUpAndQueriesReportTheDriversState) {
    // After boot the start-up has run: 107 reports the driver's state.
    e2e::RunResult first = notebook.Zhpctl({"--json", "107"});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    e2e::ZhpctlReply reply = ParseZhpctlJson(first.output);
    ASSERT_TRUE(reply.parsed) << first.output;
    EXPECT_EQ(reply.status, 0u);
    EXPECT_EQ(reply.bytes, 80u);
    EXPECT_EQ(reply.words[0], 107u);
    EXPECT_EQ(reply.words[2] & 0x01, 0x01u) << first.output;  // FLAG_INITIALIZED
    EXPECT_EQ(reply.words[9], 1u) << first.output;            // OP_MODE as installed

    // A device power change of the disk (once ZHP has seen it complete): the
    // next command is replaced by the sensor start-up, whose reply carries
    // OP_MODE at offset 36 and none of 107's report. ZHP runs the start-up
    // by itself once the disk has settled (150 ms), so a command that comes
    // later finds it done: then the trace says so, and the test changes the
    // power again, up to ten times, until a command comes first.
    e2e::ZhpctlReply started;
    std::string startUp;
    int settledByDriver = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::size_t changes = notebook.TraceCount(kPowerChangeSeen);
        const std::size_t settles = notebook.TraceCount(kDriverStartUp);
        ASSERT_EQ(notebook.Ctl({"power", attempt % 2 == 0 ? "D1" : "D0"}).exitCode, 0);
        ASSERT_TRUE(TraceEventuallyCounts(notebook, kPowerChangeSeen, changes + 1)) << ReadFile(notebook.TracePath());
        startUp = notebook.Zhpctl({"--json", "107"}).output;
        started = ParseZhpctlJson(startUp);
        ASSERT_TRUE(started.parsed) << startUp;
        if (started.words[2] == 0) break;  // no state word: not 107's reply
        // 107 answered as usual: the driver's own start-up came first.
        EXPECT_EQ(notebook.TraceCount(kDriverStartUp), settles + 1) << startUp;
        EXPECT_EQ(started.words[2], 0x03u) << startUp;  // FLAG_INITIALIZED | FLAG_SENSOR_ON
        ++settledByDriver;
    }
    EXPECT_EQ(started.words[2], 0u) << "no command ran the start-up in " << settledByDriver
                                    << " power changes: " << startUp;
    EXPECT_EQ(started.status, 0u);
    EXPECT_EQ(started.words[0], 107u);
    EXPECT_EQ(started.words[9], 1u) << startUp;  // OP_MODE

    // The start-up switched protection on; off and on again: 102 stores the
    // threshold and delay bytes, 107 reports them.
    ASSERT_EQ(notebook.Zhpctl({"--json", "102", "36=0"}).exitCode, 0);
    e2e::RunResult on = notebook.Zhpctl({"--json", "102", "16=50", "20=0x1", "24=7", "28=0", "32=3", "36=1"});
    ASSERT_EQ(on.exitCode, 0) << on.output;
    e2e::ZhpctlReply query = ParseZhpctlJson(notebook.Zhpctl({"--json", "107"}).output);
    ASSERT_TRUE(query.parsed);
    EXPECT_EQ(query.words[4], 50u);   // TH_L
    EXPECT_EQ(query.words[5], 1u);    // TH_H
    EXPECT_EQ(query.words[6], 7u);    // DT_L
    EXPECT_EQ(query.words[8], 3u);    // DelayLevel
    EXPECT_EQ(query.words[9], 1u);    // OP_MODE
    EXPECT_NE(query.words[2] & 0x02, 0u);  // FLAG_SENSOR_ON

    // Switching on again is refused in the result word.
    e2e::ZhpctlReply again = ParseZhpctlJson(notebook.Zhpctl({"--json", "102", "36=1"}).output);
    ASSERT_TRUE(again.parsed);
    EXPECT_EQ(again.words[19], 0x100u);
}

TEST_F(Zhpctl, TextOutputAndFailures) {
    e2e::RunResult text = notebook.Zhpctl({"107"});
    ASSERT_EQ(text.exitCode, 0);
    EXPECT_NE(text.output.find("command 107: ok (0), 80 bytes returned"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("  76: 0x00000000"), std::string::npos) << text.output;

    // A command the driver does not implement: STATUS_NOT_IMPLEMENTED is
    // ERROR_INVALID_FUNCTION for the program.
    e2e::RunResult unknown = notebook.Zhpctl({"--json", "99"});
    EXPECT_EQ(unknown.exitCode, 1);
    e2e::ZhpctlReply reply = ParseZhpctlJson(unknown.output);
    ASSERT_TRUE(reply.parsed) << unknown.output;
    EXPECT_EQ(reply.status, 1u);

    EXPECT_EQ(notebook.Zhpctl({"107", "3=1"}).exitCode, 2);
    EXPECT_EQ(notebook.Zhpctl({"107", "80=1"}).exitCode, 2);
    EXPECT_EQ(notebook.Zhpctl({"seven"}).exitCode, 2);
    EXPECT_EQ(notebook.Zhpctl({}).exitCode, 2);
}

TEST_F(Zhpctl, WithoutANotebookTheDeviceIsNotFound) {
    e2e::RunResult result = e2e::Run({e2e::kZhpctl, "107"}, notebook.Directory() + "/nobody.sock");
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("cannot open \\\\.\\VELMORACC: no such device"), std::string::npos) << result.output;
}

TEST_F(Zhpctl, WatchSeesAFallAndItsRelease) {
    ASSERT_TRUE(notebook.ProtectionOn());
    std::string watchLog = notebook.Directory() + "/watch.out";
    int watcher = e2e::Spawn({e2e::kZhpctl, "watch"}, notebook.Socket(), watchLog);
    ASSERT_TRUE(e2e::FileEventuallyContains(watchLog, "watching"));
    // The driver cleared its events when it created them: nothing to see yet.
    std::string before = e2e::ReadFile(watchLog);
    ASSERT_EQ(notebook.Ctl({"drop", "0.6"}).exitCode, 0);
    EXPECT_EQ(before.find(": fall"), std::string::npos) << before;
    EXPECT_TRUE(e2e::FileEventuallyContains(watchLog, ": fall\n"));
    EXPECT_TRUE(e2e::FileEventuallyContains(watchLog, ": release\n"));
    std::string seen = e2e::ReadFile(watchLog);
    EXPECT_LT(seen.find(": fall\n"), seen.find(": release\n"));
    kill(watcher, SIGINT);
    e2e::WaitFor(watcher, 10000);
    // The drop went into the notebook's own account too.
    EXPECT_TRUE(notebook.LogEventuallyContains("drop 0.60 m: released"));
}

TEST_F(Zhpctl, TwoClientsAtOnce) {
    ASSERT_TRUE(notebook.ProtectionOn());
    // One program waits on the events for as long as it likes ...
    std::string watchLog = notebook.Directory() + "/watch.out";
    int watcher = e2e::Spawn({e2e::kZhpctl, "watch"}, notebook.Socket(), watchLog);
    ASSERT_TRUE(e2e::FileEventuallyContains(watchLog, "watching"));
    // ... while two others send commands side by side.
    std::vector<int> failures(2, 0);
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 15; ++i) {
                e2e::ZhpctlReply r = ParseZhpctlJson(notebook.Zhpctl({"--json", c == 0 ? "107" : "106"}).output);
                if (!r.parsed || r.status != 0 || r.bytes != 80) failures[c]++;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    // The watcher is still waiting, and still hears the driver.
    ASSERT_EQ(notebook.Ctl({"pin", "on"}).exitCode, 0);
    EXPECT_TRUE(e2e::FileEventuallyContains(watchLog, ": fall\n"));
    ASSERT_EQ(notebook.Ctl({"pin", "off"}).exitCode, 0);
    EXPECT_TRUE(e2e::FileEventuallyContains(watchLog, ": release\n"));
    kill(watcher, SIGINT);
    e2e::WaitFor(watcher, 10000);
}

}  // namespace
