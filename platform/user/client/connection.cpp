#include "connection.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "socket_path.h"

namespace hostuser::client {

namespace {

std::mutex gMutex;
std::unique_ptr<Connection> gProcessConnection;  // the first connection; lives until exit
std::optional<wire::HelloReply> gMachineInfo;
bool gComplained = false;

thread_local Connection* tConnection = nullptr;
thread_local std::unique_ptr<Connection> tOwnConnection;  // closed when the thread ends

void ComplainOnce(const std::string& path, int error) {
    std::lock_guard<std::mutex> lk(gMutex);
    if (gComplained) return;
    gComplained = true;
    std::fprintf(stderr, "win32host: cannot reach the notebook at %s: %s (is `notebook serve` running?)\n",
                 path.c_str(), std::strerror(error));
}

}  // namespace

std::string SocketPath() { return ResolveSocketPath(); }

Connection::Connection(wire::Role role) : role_(role) {}

Connection::~Connection() { Close(); }

void Connection::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Connection::Shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool Connection::Ensure() {
    if (fd_ >= 0) return true;
    std::string path = SocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ComplainOnce(path, ENAMETOOLONG);
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd);
        ComplainOnce(path, error);
        return false;
    }
    wire::Writer hello;
    hello.U32(static_cast<std::uint32_t>(wire::Op::Hello))
        .U32(wire::kMagic)
        .U32(wire::kVersion)
        .U32(static_cast<std::uint32_t>(role_));
    std::vector<std::uint8_t> body;
    if (!wire::WriteFrame(fd, hello.Body()) || !wire::ReadFrame(fd, body)) {
        ::close(fd);
        ComplainOnce(path, ECONNRESET);
        return false;
    }
    wire::Reader r(body);
    std::uint32_t error = r.U32();
    hello_ = wire::ReadHelloReply(r);
    if (!r.Ok() || error != 0) {
        ::close(fd);
        ComplainOnce(path, EPROTO);
        return false;
    }
    fd_ = fd;
    std::lock_guard<std::mutex> lk(gMutex);
    gMachineInfo = hello_;
    return true;
}

std::optional<std::vector<std::uint8_t>> Connection::Transact(const wire::Writer& request) {
    bool wasOpen = fd_ >= 0;
    if (!Ensure()) return std::nullopt;
    std::vector<std::uint8_t> body;
    if (wire::WriteFrame(fd_, request.Body()) && wire::ReadFrame(fd_, body)) return body;
    Close();
    // A connection made earlier may have outlived its notebook (restarted
    // since): try once on a fresh one. Handles from before stay invalid.
    if (!wasOpen || !Ensure()) return std::nullopt;
    if (wire::WriteFrame(fd_, request.Body()) && wire::ReadFrame(fd_, body)) return body;
    Close();
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> Connection::Receive() {
    // The socket stays open until the connection is destroyed: Shutdown may
    // be called from another thread at any time.
    std::vector<std::uint8_t> body;
    if (fd_ < 0 || !wire::ReadFrame(fd_, body)) return std::nullopt;
    return body;
}

Connection* ThreadConnection() {
    if (tConnection == nullptr) {
        std::unique_lock<std::mutex> lk(gMutex);
        if (!gProcessConnection) {
            gProcessConnection = std::make_unique<Connection>(wire::Role::Caller);
            tConnection = gProcessConnection.get();
        } else {
            lk.unlock();
            tOwnConnection = std::make_unique<Connection>(wire::Role::Caller);
            tConnection = tOwnConnection.get();
        }
    }
    return tConnection->Ensure() ? tConnection : nullptr;
}

std::optional<wire::HelloReply> MachineInfo() {
    static std::chrono::steady_clock::time_point lastFailure;
    {
        std::lock_guard<std::mutex> lk(gMutex);
        if (gMachineInfo) return gMachineInfo;
        // Without a notebook, ask again at most once a second: GetTickCount
        // may be called in a tight loop.
        auto now = std::chrono::steady_clock::now();
        if (lastFailure != std::chrono::steady_clock::time_point() && now - lastFailure < std::chrono::seconds(1)) {
            return std::nullopt;
        }
    }
    if (ThreadConnection() == nullptr) {
        std::lock_guard<std::mutex> lk(gMutex);
        lastFailure = std::chrono::steady_clock::now();
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lk(gMutex);
    return gMachineInfo;
}

std::optional<wire::HelloReply> CurrentMachineInfo() {
    wire::Writer w;
    w.U32(static_cast<std::uint32_t>(wire::Op::MachineInfo));
    std::optional<Reply> reply = Call(w);
    if (!reply || reply->error != 0) return std::nullopt;
    wire::Reader r(reply->body);
    wire::HelloReply info = wire::ReadHelloReply(r);
    if (!r.Ok()) return std::nullopt;
    std::lock_guard<std::mutex> lk(gMutex);
    gMachineInfo = info;
    return info;
}

std::optional<Reply> Call(const wire::Writer& request) {
    Connection* connection = ThreadConnection();
    if (connection == nullptr) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> body = connection->Transact(request);
    if (!body || body->size() < 4) return std::nullopt;
    Reply reply;
    wire::Reader r(*body);
    reply.error = r.U32();
    reply.body.assign(body->begin() + 4, body->end());
    return reply;
}

}  // namespace hostuser::client
