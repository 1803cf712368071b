// The notebook program: its files, its exit status and its last line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
    int status = -1;
    std::string output;  // standard output and error
};

Outcome RunProgram(const std::string& arguments) {
    Outcome o;
    const std::string command = std::string(NOTEBOOK_PROGRAM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return o;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) o.output.append(buffer, n);
    const int raw = pclose(pipe);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return o;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Scratch(const std::string& name) {
    const std::string dir = ::testing::TempDir();
    const std::string path = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + "notebook_" + name;
    std::remove(path.c_str());
    return path;
}

const std::string kData = NOTEBOOK_TEST_DATA;

TEST(NotebookProgram, ABadScriptRunsNothingAndSaysWhere) {
    const std::string events = Scratch("bad_events.jsonl"), trace = Scratch("bad_trace.txt");
    Outcome o = RunProgram("--script " + kData + "/bad_action.nb --events " + events + " --trace " + trace);
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.output.find("bad_action.nb:4: expected an action"), std::string::npos) << o.output;
    EXPECT_EQ(o.output.find('{'), std::string::npos) << "no summary: nothing ran";
    EXPECT_FALSE(Exists(events));
    EXPECT_FALSE(Exists(trace));
}

TEST(NotebookProgram, UsageMistakes) {
    EXPECT_EQ(RunProgram("").status, 2);
    EXPECT_EQ(RunProgram("--script").status, 2);
    EXPECT_EQ(RunProgram("--scrip x.nb").status, 2);
    Outcome o = RunProgram("--script " + kData + "/good.nb --driver /no/such/zhp.so");
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.output.find("no ZHP driver at /no/such/zhp.so"), std::string::npos) << o.output;
}

TEST(NotebookProgram, AGoodScriptWritesItsFilesAndEndsWithTheSummary) {
    const std::string events = Scratch("events.jsonl"), trace = Scratch("trace.txt"), reg = Scratch("out.reg");
    Outcome o = RunProgram("--script " + kData + "/good.nb --events " + events + " --trace " + trace +
                           " --registry-out " + reg);
    ASSERT_EQ(o.status, 0) << o.output;
    std::string last = o.output;
    while (!last.empty() && last.back() == '\n') last.pop_back();
    last = last.substr(last.rfind('\n') + 1);
    EXPECT_EQ(last.front(), '{');
    EXPECT_EQ(last.back(), '}');
    for (const char* key : {"\"falls\":", "\"parks\":", "\"media_io_while_falling\":", "\"requests_issued\":5",
                            "\"requests_completed\":5", "\"requests_cancelled\":0", "\"requests_lost\":0",
                            "\"verifier_stops\":0", "\"drops\":[]"}) {
        EXPECT_NE(last.find(key), std::string::npos) << key << " in " << last;
    }
    const std::string log = Read(events);
    EXPECT_EQ(log.rfind("{\"t_us\":", 0), 0u);
    EXPECT_NE(log.find("\"event\":\"request\""), std::string::npos);
    EXPECT_TRUE(Exists(trace));
    EXPECT_EQ(Read(reg).rfind("Windows Registry Editor Version 5.00", 0), 0u);
}

TEST(NotebookProgram, AVerifierStopIsReportedAndStillSummarised) {
    const std::string trace = Scratch("stop_trace.txt");
    Outcome o = RunProgram("--script " + kData + "/good.nb --driver " + MISBEHAVING_FILTER + " --trace " + trace);
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_NE(o.output.find("VERIFIER STOP STATUS_MISMATCH"), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("\"verifier_stops\":1"), std::string::npos) << o.output;
    EXPECT_TRUE(Exists(trace));
}

}  // namespace
