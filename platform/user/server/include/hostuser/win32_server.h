// The notebook's user-mode server: serves the Win32 calls of programs that
// link win32host (Sentrel, zhpctl) over a Unix-domain socket.
//
// One OS thread per connection; each request is performed on the notebook's
// kernel through the KernelGate. Handles belong to processes: the
// connections that share a client process id share one handle table, which
// is closed when the last of them goes. When a connection drops while one of
// its requests is pending (a device I/O control or a wait), the request is
// cancelled. Malformed input drops only the connection that sent it.
//
// The socket is private to the user who runs the notebook: it is created
// with mode 0600 (its default directory with 0700), and a peer whose user id
// differs (SO_PEERCRED) is dropped. A lock file beside the socket
// (PATH.lock) tells a live notebook from a stale socket left by one that
// crashed: a stale socket is replaced, a live one makes Start fail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hostuser {

class KernelGate;  // hostuser/kernel_gate.h

// One device I/O control a program sent, as it ended.
struct DeviceControlRecord {
    std::uint32_t processId = 0;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> input;
    std::uint32_t outputLength = 0;
    // The handle named a device and the request went down its stack; the
    // status and times below are the request's.
    bool sent = false;
    // The program went away while the request was pending; the request was
    // cancelled and `ended` tells whether it has completed since.
    bool abandoned = false;
    bool ended = false;
    std::int32_t status = 0;
    std::uint64_t sentAt = 0;       // notebook time, 100 ns units
    std::uint64_t completedAt = 0;
    std::uint32_t error = 0;        // the Win32 error the program saw
    std::uint32_t bytesReturned = 0;
    std::vector<std::uint8_t> output;  // what the program got back
};

struct Win32ServerOptions {
    std::string socketPath;        // empty: ResolveSocketPath() (environment, then default)
    bool administrator = true;     // the simulated user is in Administrators
    std::uint32_t locale = 1033;   // GetThreadLocale
    std::string driveC;            // host directory standing for C:\ (empty: none)
    // Connection events worth a line in the notebook's log (refused peers,
    // garbage, clients that went away with requests pending or handles open).
    std::function<void(const std::string&)> log;
    // Requests of control connections (the notebook's own control client):
    // fills the reply text and returns false when the request is refused.
    // Called on the connection's thread; without it control connections are
    // dropped.
    std::function<bool(const std::string& request, std::string* reply)> control;
    // Every device I/O control a program sent, once it has ended (or its
    // program went away). Called on the connection's thread, outside the
    // kernel; may be empty.
    std::function<void(const DeviceControlRecord&)> deviceControl;
};

struct Win32ServerStatistics {
    std::uint64_t connections = 0;        // accepted and greeted, ever
    std::uint64_t openConnections = 0;
    std::uint64_t processes = 0;          // processes with a connection now
    std::uint64_t droppedConnections = 0; // garbage, protocol errors, foreign peers
    std::uint64_t cancelledRequests = 0;  // pending requests cancelled because their client went away
    std::uint64_t abandonedWaits = 0;     // waits ended because their client went away
    std::uint64_t closedOrphanHandles = 0;// handles closed because their process went away
    std::uint64_t requests = 0;
};

// System notification numbers (the window messages they stand for).
constexpr std::uint32_t kPowerBroadcastMessage = 0x218;
constexpr std::uint32_t kSessionChangeMessage = 0x2B1;

class Win32Server {
public:
    Win32Server(KernelGate& gate, Win32ServerOptions options);
    ~Win32Server();  // Stop()
    Win32Server(const Win32Server&) = delete;
    Win32Server& operator=(const Win32Server&) = delete;

    // Creates the socket and starts accepting. False with *error saying why
    // (another notebook serves on the path, the directory is not private, ...).
    bool Start(std::string* error);
    // Stops accepting, drops every connection (cancelling pending requests and
    // closing every process's handles on the kernel), removes the socket.
    // The machine must still be running.
    void Stop();

    const std::string& SocketPath() const;

    // Sends a notification to every subscriber; returns how many got it.
    std::size_t Broadcast(std::uint32_t message, std::uint64_t wParam, std::uint64_t lParam);

    Win32ServerStatistics Statistics() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace hostuser
