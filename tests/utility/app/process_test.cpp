// The program as a process beside the live notebook: signals end it as the
// close box does, a second copy runs beside the first, and a killed copy
// leaves the notebook running for the next start.
#include <algorithm>
#include <csignal>
#include <cstdlib>

#include <sys/wait.h>

#include "app_test_support.h"

namespace apptest {
namespace {

class SentrelProcess : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        live = std::make_unique<LiveNotebook>();
        ASSERT_TRUE(live->started()) << live->notebook().Log();
    }
    void TearDown() override {
        for (int pid : pids) {
            kill(pid, SIGKILL);
            e2e::WaitFor(pid, 10000);
        }
    }
    // Starts a copy and waits until its start-up commands have gone out.
    int Start() {
        const std::size_t mark = live->CommandCount();
        const int pid = e2e::Spawn({SENTREL_PROGRAM}, live->notebook().Socket(),
                                   live->notebook().Directory() + "/sentrel." + std::to_string(pids.size()) + ".out");
        pids.push_back(pid);
        EXPECT_EQ(live->CommandsAfter(mark, 3, 30000), (std::vector<unsigned>{107, 102, 101}));
        return pid;
    }
    int End(int pid, int signal) {
        kill(pid, signal);
        const int code = e2e::WaitFor(pid, 20000);
        pids.erase(std::find(pids.begin(), pids.end(), pid));
        return code;
    }
    static bool OffLast(const std::vector<Command>& c) {
        return !c.empty() && c.back().number == 102 && c.back().request.size() == 20 && c.back().request[9] == 0;
    }

    std::unique_ptr<LiveNotebook> live;
    std::vector<int> pids;
};

TEST_F(SentrelProcess, SigtermAndSigintEndTheProgramWithProtectionOff) {
    for (int signal : {SIGTERM, SIGINT}) {
        const int pid = Start();
        const std::size_t mark = live->CommandCount();
        EXPECT_EQ(End(pid, signal), 0);
        EXPECT_EQ(live->CommandsAfter(mark, 1), (std::vector<unsigned>{102}));
        EXPECT_TRUE(OffLast(live->Commands()));
    }
}

TEST_F(SentrelProcess, ASecondCopyRunsBesideTheFirst) {
    const int first = Start();
    const int second = Start();
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);
    EXPECT_EQ(waitpid(second, nullptr, WNOHANG), 0);
    EXPECT_EQ(End(second, SIGTERM), 0);
    EXPECT_EQ(End(first, SIGTERM), 0);
}

TEST_F(SentrelProcess, AKilledCopyLeavesTheNotebookRunningAndTheNextStartQueriesTheState) {
    ASSERT_TRUE(live->notebook().ProtectionOn());
    const int pid = Start();
    const std::size_t mark = live->CommandCount();
    kill(pid, SIGKILL);
    e2e::WaitFor(pid, 10000);
    pids.clear();
    // Nothing was sent on the way out; the driver is still on and serving.
    EXPECT_EQ(live->CommandCount(), mark);
    e2e::ZhpctlReply state = e2e::ParseZhpctlJson(live->notebook().Zhpctl({"--json", "107"}).output);
    ASSERT_TRUE(state.parsed);
    EXPECT_NE(state.words[2] & 0x02, 0u);  // FLAG_SENSOR_ON
    EXPECT_NE(state.words[9], 0u);
    // The next start begins with 107 (Start checks the order).
    const int next = Start();
    EXPECT_EQ(End(next, SIGTERM), 0);
}

}  // namespace
}  // namespace apptest
