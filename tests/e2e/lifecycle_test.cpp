// The live notebook's life with its clients: killed clients, restarts,
// the user, garbage on the socket, stale and live sockets, notifications.
#include <csignal>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process_support.h"

namespace {

using e2e::Notebook;
using e2e::ParseZhpctlJson;

int Connect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(Lifecycle, AClientKilledDuringAPendingTransferIsCancelledAndClosed) {
    Notebook notebook;
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    ASSERT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);  // the start-up path
    // The client reads sensor registers back to back, so that it is nearly
    // always waiting for a pending transfer; kill it until one kill caught it
    // there (each kill, caught or not, must leave no handle behind).
    int kills = 0;
    for (; kills < 20; ++kills) {
        std::string out = notebook.Directory() + "/transfers" + std::to_string(kills) + ".out";
        int client = e2e::Spawn({e2e::kClient, "transfers"}, notebook.Socket(), out);
        ASSERT_TRUE(e2e::FileEventuallyContains(out, "first transfer done 80"));
        kill(client, SIGKILL);
        EXPECT_EQ(e2e::WaitFor(client, 10000), -1);
        const std::string closed = "user: process " + std::to_string(client) + " ended; closed its 1 handle(s)";
        ASSERT_TRUE(notebook.LogEventuallyContains(closed)) << notebook.Log();
        const std::string cancelled =
            "user: process " + std::to_string(client) + " went away with a device request pending; cancelled it";
        if (notebook.Log().find(cancelled) != std::string::npos) break;
    }
    EXPECT_LT(kills, 20) << "no kill caught a pending transfer\n" << notebook.Log();
    // The notebook carries on: transfers and queries work.
    e2e::ZhpctlReply read = ParseZhpctlJson(notebook.Zhpctl({"--json", "101", "16=0x32", "64=6"}).output);
    ASSERT_TRUE(read.parsed);
    EXPECT_EQ(read.status, 0u);
    EXPECT_EQ(read.words[16], 6u);
    EXPECT_EQ(notebook.Stop(), 0) << notebook.Log();
}

TEST(Lifecycle, ARestartKeepsTheDriversRegistryWriteBacks) {
    Notebook notebook;
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    ASSERT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);
    // 111 writes P_THRESHOLD = offset 20 * 256 + offset 16 and OP_MODE.
    ASSERT_EQ(notebook.Zhpctl({"111", "16=77", "20=0", "24=3", "36=1"}).exitCode, 0);
    EXPECT_EQ(notebook.Stop(), 0) << notebook.Log();
    std::string saved = e2e::ReadFile(notebook.StateDir() + "/registry.reg");
    EXPECT_NE(saved.find("\"P_THRESHOLD\"=hex:4d,00"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"P_DL_TIME\"=hex:03,00"), std::string::npos) << saved;
    EXPECT_TRUE(notebook.LogEventuallyContains("registry saved to"));

    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    EXPECT_TRUE(notebook.LogEventuallyContains("registry from " + notebook.StateDir() + "/registry.reg"));
    // The start-up path reads the threshold and delay back from the registry.
    e2e::ZhpctlReply query = ParseZhpctlJson(notebook.Zhpctl({"--json", "107"}).output);
    ASSERT_TRUE(query.parsed);
    EXPECT_EQ(query.words[4], 77u);
    EXPECT_EQ(query.words[6], 3u);
    EXPECT_EQ(notebook.Stop(), 0);
}

TEST(Lifecycle, AStandardUserIsNotAnAdministrator) {
    Notebook standard;
    ASSERT_TRUE(standard.Start({"--user", "standard"})) << standard.Log();
    e2e::RunResult token = e2e::Run({e2e::kClient, "token"}, standard.Socket());
    EXPECT_EQ(token.exitCode, 0) << token.output;
    EXPECT_NE(token.output.find("administrators listed 0"), std::string::npos) << token.output;
    EXPECT_NE(token.output.find("administrators member 0"), std::string::npos) << token.output;

    Notebook administrator;
    ASSERT_TRUE(administrator.Start()) << administrator.Log();
    token = e2e::Run({e2e::kClient, "token"}, administrator.Socket());
    EXPECT_NE(token.output.find("administrators listed 1"), std::string::npos) << token.output;
}

TEST(Lifecycle, GarbageOnTheSocketDropsOnlyThatConnection) {
    Notebook notebook;
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    const std::string garbage[] = {
        "GET / HTTP/1.1\r\n\r\n",                         // a frame length far too large
        std::string("\xff\xff\xff\xff\x01\x02", 6),     // likewise
        std::string("\x04\x00\x00\x00\x03\x00\x00\x00", 8),  // a request before any hello
        std::string("\x08\x00\x00\x00\x01\x00\x00\x00\x55\x50\x48\x5a", 12),  // a hello cut short
    };
    for (const std::string& bytes : garbage) {
        int fd = Connect(notebook.Socket());
        ASSERT_GE(fd, 0);
        timeval limit{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        char c;
        EXPECT_EQ(recv(fd, &c, 1, 0), 0);  // closed by the notebook
        close(fd);
    }
    int half = Connect(notebook.Socket());
    ASSERT_GT(send(half, "\x10\x00", 2, MSG_NOSIGNAL), 0);
    close(half);  // gone in the middle of a frame
    EXPECT_TRUE(notebook.LogEventuallyContains("user: dropped the connection of process"));
    EXPECT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);
    EXPECT_EQ(notebook.Stop(), 0);
}

TEST(Lifecycle, AStaleSocketIsReplacedAndALiveOneRefused) {
    Notebook notebook;
    ASSERT_EQ(mkdir(notebook.StateDir().c_str(), 0700), 0);
    // What a notebook that crashed leaves behind: a socket file nobody listens on.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, notebook.Socket().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_LT(Connect(notebook.Socket()), 0);

    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    EXPECT_TRUE(notebook.LogEventuallyContains("replaced the stale socket"));
    struct stat st {};
    ASSERT_EQ(stat(notebook.Socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second notebook on the live socket is refused and changes nothing.
    e2e::RunResult second =
        e2e::Run({e2e::kNotebook, "serve", "--state", notebook.Directory() + "/other"}, notebook.Socket());
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.output.find("another notebook is already serving on " + notebook.Socket()), std::string::npos)
        << second.output;
    EXPECT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);

    // A notebook killed outright leaves its socket; the next one replaces it.
    notebook.Kill();
    ASSERT_EQ(stat(notebook.Socket().c_str(), &st), 0);
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    EXPECT_EQ(e2e::CountOccurrences(notebook.Log(), "replaced the stale socket"), 2u) << notebook.Log();
    EXPECT_EQ(notebook.Zhpctl({"107"}).exitCode, 0);
    EXPECT_EQ(notebook.Stop(), 0);
}

TEST(Lifecycle, PowerAndSessionChangesReachSubscribers) {
    Notebook notebook;
    ASSERT_TRUE(notebook.Start()) << notebook.Log();
    std::string out = notebook.Directory() + "/notifications.out";
    int subscriber = e2e::Spawn({e2e::kClient, "notifications"}, notebook.Socket(), out);
    ASSERT_TRUE(e2e::FileEventuallyContains(out, "subscribed"));
    e2e::RunResult lock = notebook.Ctl({"lock"});
    EXPECT_EQ(lock.exitCode, 0);
    EXPECT_NE(lock.output.find("session locked: told 1 program(s)"), std::string::npos) << lock.output;
    EXPECT_TRUE(e2e::FileEventuallyContains(out, "message 0x2b1 wparam 7 lparam 1"));
    EXPECT_EQ(notebook.Ctl({"suspend"}).exitCode, 0);
    EXPECT_TRUE(e2e::FileEventuallyContains(out, "message 0x218 wparam 4 lparam 0"));
    EXPECT_EQ(notebook.Ctl({"resume"}).exitCode, 0);
    EXPECT_TRUE(e2e::FileEventuallyContains(out, "message 0x218 wparam 18 lparam 0"));
    EXPECT_EQ(notebook.Ctl({"connect"}).exitCode, 0);
    EXPECT_TRUE(e2e::FileEventuallyContains(out, "message 0x2b1 wparam 1 lparam 1"));
    kill(subscriber, SIGKILL);
    e2e::WaitFor(subscriber, 10000);

    // Words the notebook does not know are refused with the reason.
    e2e::RunResult wrong = notebook.Ctl({"drop", "sideways"});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.output.find("expected a height in metres"), std::string::npos) << wrong.output;
    EXPECT_EQ(notebook.Stop(), 0);
}

}  // namespace
