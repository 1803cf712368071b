// The client side of the notebook's user-mode socket.
//
// Each thread that makes calls gets its own connection (made on first use),
// so a thread blocked in a long wait never holds up another thread's calls.
// The first connection a process makes stays open for the life of the
// process, even when its thread ends: the notebook keeps a process's handles
// while any of its connections is open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire.h"

namespace hostuser::client {

class Connection {
public:
    explicit Connection(wire::Role role);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects (again) if needed; false when the notebook cannot be reached.
    bool Ensure();
    // Sends one request and reads its reply (the reply's error word included).
    // On failure the connection is closed; the next call connects again.
    std::optional<std::vector<std::uint8_t>> Transact(const wire::Writer& request);
    // Subscriber connections: the next pushed frame, or nullopt when closed.
    std::optional<std::vector<std::uint8_t>> Receive();
    // Wakes a thread blocked in Receive (it gets nullopt); safe from another
    // thread once Ensure has succeeded.
    void Shutdown();

    const wire::HelloReply& Hello() const { return hello_; }

private:
    void Close();
    wire::Role role_;
    int fd_ = -1;
    wire::HelloReply hello_;
};

// The calling thread's connection; null (with an explanation on standard
// error, once per process) when the notebook cannot be reached.
Connection* ThreadConnection();

// What the notebook said about itself at the first successful connection;
// nullopt if no connection could be made.
std::optional<wire::HelloReply> MachineInfo();

// Asks the notebook now (the user and locale may differ after a restart).
std::optional<wire::HelloReply> CurrentMachineInfo();

// The socket path the library uses (ZHP_NOTEBOOK_SOCKET or the default).
std::string SocketPath();

// Sends a request on the calling thread's connection. Returns the reply
// reader positioned after the error word, with *error = that word; nullopt
// and *error = ERROR_DEVICE_NOT_CONNECTED when there is no notebook.
struct Reply {
    std::vector<std::uint8_t> body;
    std::uint32_t error = 0;
};
std::optional<Reply> Call(const wire::Writer& request);

}  // namespace hostuser::client
