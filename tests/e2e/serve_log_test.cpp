// What the serving notebook tells: its event log (every control request a
// program sends, as it happens), its usage, its live protection log and the
// pictures of its drops.
#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "process_support.h"

namespace {

using e2e::Notebook;

std::vector<std::string> Lines(const std::string& text, const std::string& containing) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find(containing) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

// The JSON array after "key": in one event line, as text ("[1,2]").
std::string Array(const std::string& line, const std::string& key) {
    std::size_t at = line.find("\"" + key + "\":[");
    if (at == std::string::npos) return std::string();
    at = line.find('[', at);
    return line.substr(at, line.find(']', at) - at + 1);
}

TEST(ServeEvents, EveryControlRequestGoesToTheEventLogWithItsWordsAndReplyAsItHappens) {
    Notebook notebook;
    const std::string events = notebook.Directory() + "/events.jsonl";
    ASSERT_TRUE(notebook.Start({"--events", events})) << notebook.Log();
    ASSERT_TRUE(e2e::FileEventuallyContains(events, "\"event\":\"boot\",\"zhp\":true"));

    ASSERT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);
    ASSERT_EQ(notebook.Zhpctl({"102", "16=50", "36=1"}).exitCode, 0);
    ASSERT_EQ(notebook.Zhpctl({"99"}).exitCode, 1);
    // The notebook still runs: the lines are there already.
    ASSERT_TRUE(e2e::FileEventuallyContains(events, "\"cmd\":99,", 10000));
    std::vector<std::string> ioctls = Lines(e2e::ReadFile(events), "\"event\":\"ioctl\"");
    ASSERT_EQ(ioctls.size(), 3u) << e2e::ReadFile(events);

    struct Expected {
        const char* cmd;
        const char* request;
        const char* reply;  // prefix of the reply words
        const char* status;
    };
    const Expected expected[] = {
        {"\"cmd\":107,", "[107,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]", "[107,", "\"status\":\"0x00000000\""},
        {"\"cmd\":102,", "[102,0,0,0,50,0,0,0,0,1,0,0,0,0,0,0,0,0,0,0]", "[102,", "\"status\":\"0x00000000\""},
        // Not implemented: an error status and nothing returned.
        {"\"cmd\":99,", "[99,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]", "[]", "\"status\":\"0xC0000002\""},
    };
    for (std::size_t i = 0; i < ioctls.size(); ++i) {
        SCOPED_TRACE(ioctls[i]);
        EXPECT_NE(ioctls[i].find(expected[i].cmd), std::string::npos);
        EXPECT_EQ(Array(ioctls[i], "request"), expected[i].request);
        EXPECT_EQ(Array(ioctls[i], "words").rfind(expected[i].reply, 0), 0u);
        EXPECT_NE(ioctls[i].find(expected[i].status), std::string::npos);
        EXPECT_NE(ioctls[i].find("\"pid\":"), std::string::npos);
    }
    // Each reply has 20 words when the driver returned the whole block.
    const std::string reply = Array(ioctls[0], "words");
    EXPECT_EQ(std::count(reply.begin(), reply.end(), ','), 19) << reply;

    // World actions go to the same log.
    ASSERT_EQ(notebook.Ctl({"pin", "on"}).exitCode, 0);
    EXPECT_TRUE(e2e::FileEventuallyContains(events, "\"event\":\"action\",\"line\":2,\"action\":\"pin on\"", 10000));
    EXPECT_TRUE(e2e::FileEventuallyContains(events, "\"event\":\"line\",\"level\":1,\"forced\":true", 10000));
    EXPECT_EQ(notebook.Stop(), 0);
}

TEST(ServeEvents, AnEventsOrTraceFileThatCannotBeWrittenIsRefusedBeforeServing) {
    for (const char* option : {"--events", "--trace"}) {
        Notebook notebook;
        const std::string path = notebook.Directory() + "/no/such/dir/file";
        EXPECT_FALSE(notebook.Start({option, path})) << option;
        EXPECT_NE(notebook.Log().find("cannot write " + path), std::string::npos) << notebook.Log();
    }
}

TEST(ServeTrace, TwoProcessorsByDefaultAndTheDriversMessagesWithTheNotebooksTime) {
    Notebook notebook;
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    EXPECT_NE(notebook.Log().find(", 2 processors"), std::string::npos) << notebook.Log();
    // Boot: the filter was added at the very start.
    const std::string boot = e2e::ReadFile(notebook.TracePath());
    EXPECT_EQ(boot.rfind("[    0.0", 0), 0u) << boot;
    EXPECT_NE(boot.find("s] ZHP_AddDevice(): Filter driver"), std::string::npos) << boot;
    // A command shows as it is served, each message on a line of its own.
    ASSERT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);
    EXPECT_EQ(notebook.TraceCount("s] ZHP_DeviceControl(): Flag = : 0x1, User Command = 107\n"), 1u)
        << e2e::ReadFile(notebook.TracePath());
    EXPECT_EQ(notebook.Stop(), 0);
}

TEST(ServeEvents, HelpPrintsTheUsage) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"serve", "--help"}, "--events FILE"},
        {{"serve", "-h"}, "usage: notebook serve"},
        {{"--help"}, "usage: notebook --script FILE"},
        {{"--help"}, "notebook serve"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {e2e::kNotebook};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        e2e::RunResult r = e2e::Run(argv, "/nonexistent/notebook.sock", 10000);
        EXPECT_EQ(r.exitCode, 0) << c.args[0];
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
}

TEST(ProtectionLog, AFastWriterAtRestIsTheDisksBacklogNotHeldByZhp) {
    Notebook notebook;
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    ASSERT_TRUE(notebook.ProtectionOn());
    // A 1 kHz writer on a notebook at rest: whatever waits, waits in the disk.
    ASSERT_EQ(notebook.Ctl({"writes", "1500", "every", "1ms"}).exitCode, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(notebook.Log().find("holds disk requests back"), std::string::npos) << notebook.Log();

    // Requests held during a fall are ZHP's.
    ASSERT_EQ(notebook.Ctl({"writes", "200", "every", "5ms"}).exitCode, 0);
    ASSERT_EQ(notebook.Ctl({"drop", "0.8"}).exitCode, 0);
    EXPECT_TRUE(notebook.LogEventuallyContains("ZHP holds disk requests back"));
    EXPECT_TRUE(notebook.LogEventuallyContains("ZHP released the held requests"));
    // Once the drop is over, its picture is in the state folder.
    const std::string plot = notebook.StateDir() + "/plots/drop-01.svg";
    EXPECT_TRUE(notebook.LogEventuallyContains("drop 1 drawn in " + plot));
    EXPECT_NE(e2e::ReadFile(plot).find("Drop 1: 0.80 m"), std::string::npos);

    // A disk asleep takes nothing: its backlog grows until it is woken, and
    // the log says so without blaming ZHP.
    ASSERT_EQ(notebook.Ctl({"power", "D3"}).exitCode, 0);
    ASSERT_EQ(notebook.Ctl({"writes", "20", "every", "10ms"}).exitCode, 0);
    EXPECT_TRUE(notebook.LogEventuallyContains("the disk falls behind: "));
    ASSERT_EQ(notebook.Ctl({"power", "D0"}).exitCode, 0);
    EXPECT_TRUE(notebook.LogEventuallyContains("the disk has caught up"));
    EXPECT_EQ(e2e::CountOccurrences(notebook.Log(), "holds disk requests back"), 1u) << notebook.Log();
    EXPECT_EQ(notebook.Stop(), 0);
}

}  // namespace
