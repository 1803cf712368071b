// The user-mode server's state and its connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/socket.h>

#include <hostuser/kernel_gate.h>
#include <hostuser/win32_server.h>

#include "kernel_requests.h"
#include "process_table.h"
#include "socket_listener.h"
#include "wire.h"

namespace hostuser {

class Session;

struct Win32Server::Impl {
    Impl(KernelGate& g, Win32ServerOptions o) : gate(g), options(std::move(o)) {}

    KernelGate& gate;
    Win32ServerOptions options;
    std::string path;
    std::int64_t bootMonotonicNs = 0;
    SocketListener listener;
    std::thread acceptThread;
    ProcessTable processes;
    TimerDirectory timers;

    std::mutex mutex;  // sessions and subscribers
    std::list<std::shared_ptr<Session>> sessions;
    bool running = false;

    struct Counters {
        std::atomic<std::uint64_t> connections{0}, openConnections{0}, droppedConnections{0}, cancelledRequests{0},
            abandonedWaits{0}, closedOrphanHandles{0}, requests{0};
    } counters;

    wire::HelloReply Machine() const {
        wire::HelloReply h;
        h.administrator = options.administrator ? 1 : 0;
        h.locale = options.locale;
        h.bootMonotonicNs = bootMonotonicNs;
        h.driveC = options.driveC;
        return h;
    }
    void AcceptLoop();
    void ReapFinishedSessions();
    void Log(const std::string& line);
};

// One client connection and the OS thread that serves it.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Win32Server::Impl& server, int fd, const ucred& peer);
    ~Session();

    void Start();
    // Drops the connection from outside (server stop); the thread ends soon.
    void Shutdown();
    void Join();
    bool Finished() const { return finished_; }
    bool IsSubscriber() const { return subscriber_; }
    // Subscribers only: sends one notification; false when the peer is gone.
    bool Notify(const wire::Notification& notification);

private:
    void Run();
    bool Greet();
    // One request; false when the connection is to be dropped.
    bool Serve(const std::vector<std::uint8_t>& body);
    bool ServeControl(const std::vector<std::uint8_t>& body);
    void EndProcessConnection();
    // Waits for a pending job to finish or the peer to go away (or to send
    // anything, which no client does while its call is in progress).
    bool AwaitCompletion(Completion& completion);

    bool DeviceIoControl(wire::Reader& r, wire::Writer& reply);
    void TellDeviceControl(std::uint32_t code, const std::vector<std::uint8_t>& input, const IoJob& job,
                           bool abandoned, bool ended);
    bool Wait(wire::Reader& r, wire::Writer& reply);

    Win32Server::Impl& server_;
    int fd_;
    ucred peer_;
    std::atomic<bool> subscriber_{false};
    bool control_ = false;
    bool greeted_ = false;  // the hello reply is out (guarded by writeMutex_)
    std::shared_ptr<ProcessRecord> process_;
    std::mutex writeMutex_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::string dropReason_;
};

}  // namespace hostuser
