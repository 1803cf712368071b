// The server as a peer: malformed input, processes, notifications, and the
// socket's ownership (stale sockets, a second notebook, private directories,
// a standard user).
#include <windows.h>

#include <hostuser/notifications.h>
#include <hostuser/win32_server.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "user_test_support.h"
#include "wire.h"

namespace {

using usertest::Eventually;
using usertest::TheMachine;
namespace wire = hostuser::wire;

int RawConnect(const std::string& path) {
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

bool SendRaw(int fd, const std::vector<std::uint8_t>& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// True when the server has closed the connection.
bool ClosedByServer(int fd) {
    char c;
    return recv(fd, &c, 1, 0) == 0;
}

int Greeted(const std::string& path) {
    int fd = RawConnect(path);
    wire::Writer hello;
    hello.U32(static_cast<std::uint32_t>(wire::Op::Hello)).U32(wire::kMagic).U32(wire::kVersion).U32(1);
    std::vector<std::uint8_t> reply;
    if (fd < 0 || !wire::WriteFrame(fd, hello.Body()) || !wire::ReadFrame(fd, reply)) return -1;
    return fd;
}

// The library still serves after a peer misbehaved.
void ExpectLibraryServes() {
    HANDLE h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST(Server, GarbageDropsOnlyTheConnectionThatSentIt) {
    const std::string& path = TheMachine().socketPath;
    ExpectLibraryServes();
    std::vector<std::vector<std::uint8_t>> garbage = {
        {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3},                 // a frame far too large
        {8, 0, 0, 0, 1, 0, 0, 0, 0x55, 0x50, 0x48, 0x5A},  // hello with nothing after the magic
        {4, 0, 0, 0, 3, 0, 0, 0},                          // a request before any hello
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'},
    };
    for (const auto& bytes : garbage) {
        int fd = RawConnect(path);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendRaw(fd, bytes));
        EXPECT_TRUE(ClosedByServer(fd));
        close(fd);
        ExpectLibraryServes();
    }
    // After a proper hello: an unknown request, a malformed one, a truncated frame.
    std::vector<std::vector<std::uint8_t>> afterHello = {
        {4, 0, 0, 0, 0x99, 0, 0, 0},
        {6, 0, 0, 0, 3, 0, 0, 0, 1, 2},  // device I/O control cut short
    };
    for (const auto& bytes : afterHello) {
        int fd = Greeted(path);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendRaw(fd, bytes));
        EXPECT_TRUE(ClosedByServer(fd));
        close(fd);
        ExpectLibraryServes();
    }
    int fd = Greeted(path);
    ASSERT_TRUE(SendRaw(fd, {100, 0, 0, 0, 9, 0}));
    close(fd);  // gone in the middle of a frame
    ExpectLibraryServes();
}

TEST(Server, ConnectionsOfOneProcessShareItsHandles) {
    // This process's library connection and a raw one made by the same
    // process see the same handle table.
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int fd = Greeted(TheMachine().socketPath);
    ASSERT_GE(fd, 0);
    wire::Writer set;
    set.U32(static_cast<std::uint32_t>(wire::Op::SetEvent)).U64(reinterpret_cast<std::uintptr_t>(h));
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(wire::WriteFrame(fd, set.Body()));
    ASSERT_TRUE(wire::ReadFrame(fd, reply));
    wire::Reader r(reply);
    EXPECT_EQ(r.U32(), 0u);
    close(fd);
    // The process still has a connection: its handles stay.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(Server, SubscribersReceiveBroadcastsInOrder) {
    struct Seen {
        std::mutex mutex;
        std::vector<std::pair<UINT, WPARAM>> messages;
    } seen;
    HANDLE subscription = HostSubscribeSystemNotifications(
        [](UINT message, WPARAM wParam, LPARAM, void* context) {
            auto* s = static_cast<Seen*>(context);
            std::lock_guard<std::mutex> lk(s->mutex);
            s->messages.emplace_back(message, wParam);
        },
        &seen);
    ASSERT_NE(subscription, nullptr);
    EXPECT_GE(TheMachine().server->Broadcast(WM_POWERBROADCAST, PBT_APMSUSPEND, 0), 1u);
    EXPECT_GE(TheMachine().server->Broadcast(WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 1), 1u);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lk(seen.mutex);
        return seen.messages.size() == 2;
    }));
    EXPECT_EQ(seen.messages[0], std::make_pair(UINT(WM_POWERBROADCAST), WPARAM(PBT_APMSUSPEND)));
    EXPECT_EQ(seen.messages[1], std::make_pair(UINT(WM_WTSSESSION_CHANGE), WPARAM(WTS_SESSION_LOCK)));
    HostUnsubscribeSystemNotifications(subscription);
    EXPECT_EQ(TheMachine().server->Broadcast(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), 0u);
}

hostuser::Win32ServerOptions OptionsFor(const std::string& path) {
    hostuser::Win32ServerOptions options;
    options.socketPath = path;
    return options;
}

TEST(Server, ASecondNotebookOnALiveSocketIsRefused) {
    hostuser::Win32Server second(*TheMachine().gate, OptionsFor(TheMachine().socketPath));
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(error.find("already serving"), std::string::npos) << error;
    ExpectLibraryServes();
}

TEST(Server, AStaleSocketIsReplaced) {
    std::string path = TheMachine().directory + "/stale.sock";
    // A socket file nobody listens on, as a crashed notebook leaves it.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_LT(RawConnect(path), 0);

    std::vector<std::string> log;
    hostuser::Win32ServerOptions options = OptionsFor(path);
    options.log = [&](const std::string& line) { log.push_back(line); };
    hostuser::Win32Server server(*TheMachine().gate, options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("stale"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    int client = Greeted(path);
    EXPECT_GE(client, 0);
    close(client);
    server.Stop();
    EXPECT_NE(stat(path.c_str(), &st), 0);  // removed at stop
}

TEST(Server, ASocketInADirectoryOthersMayWriteIsRefused) {
    std::string directory = TheMachine().directory + "/open";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
    hostuser::Win32Server server(*TheMachine().gate, OptionsFor(directory + "/notebook.sock"));
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find("writable by other users"), std::string::npos) << error;
    // A missing directory is created private.
    std::string fresh = TheMachine().directory + "/fresh";
    hostuser::Win32Server created(*TheMachine().gate, OptionsFor(fresh + "/notebook.sock"));
    ASSERT_TRUE(created.Start(&error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    created.Stop();
}

TEST(Server, AStandardUsersTokenLacksTheAdministratorsGroup) {
    std::string path = TheMachine().directory + "/standard.sock";
    hostuser::Win32ServerOptions options = OptionsFor(path);
    options.administrator = false;
    hostuser::Win32Server server(*TheMachine().gate, options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    std::string output = TheMachine().directory + "/token-standard.out";
    int pid = usertest::StartClient({"token"}, path, output);
    EXPECT_EQ(usertest::WaitClient(pid), 0);
    std::string text = usertest::ReadFile(output);
    EXPECT_NE(text.find("thread token error 1008"), std::string::npos) << text;
    EXPECT_NE(text.find("administrators listed 0"), std::string::npos) << text;
    EXPECT_NE(text.find("administrators member 0"), std::string::npos) << text;
    server.Stop();

    output = TheMachine().directory + "/token-admin.out";
    pid = usertest::StartClient({"token"}, TheMachine().socketPath, output);
    EXPECT_EQ(usertest::WaitClient(pid), 0);
    text = usertest::ReadFile(output);
    EXPECT_NE(text.find("administrators listed 1"), std::string::npos) << text;
    EXPECT_NE(text.find("administrators member 1"), std::string::npos) << text;
}

TEST(Server, PeersOfAnotherUserAreRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    const std::string& path = TheMachine().socketPath;
    // Let the other user reach the socket at all, so that what refuses it is
    // the peer check and not the file mode.
    ASSERT_EQ(chmod(TheMachine().directory.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    wire::Writer hello;
    hello.U32(static_cast<std::uint32_t>(wire::Op::Hello)).U32(wire::kMagic).U32(wire::kVersion).U32(1);
    std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(hello.Body().size()), 0, 0, 0};
    frame.insert(frame.end(), hello.Body().begin(), hello.Body().end());
    pid_t child = fork();
    if (child == 0) {
        // Only system calls between fork and exit.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(3);
        send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        char c;
        _exit(recv(fd, &c, 1, 0) <= 0 ? 0 : 1);  // 0: closed without a reply
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod(path.c_str(), 0600);
    chmod(TheMachine().directory.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Eventually([] { return usertest::ServerLogContains("refused a connection from user id 65534"); }));
    ExpectLibraryServes();
}

TEST(Server, ProgramsWithoutANotebookGetClearErrors) {
    std::string output = TheMachine().directory + "/none.out";
    int pid = usertest::StartClient({"hold"}, TheMachine().directory + "/nobody-here.sock", output);
    EXPECT_EQ(usertest::WaitClient(pid), 1);  // CreateFileA failed
}

}  // namespace
