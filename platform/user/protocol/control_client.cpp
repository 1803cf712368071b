#include "control_client.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "wire.h"

namespace hostuser {

ControlOutcome SendControlRequest(const std::string& socketPath, const std::string& request, std::string* reply) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        *reply = "socket path too long: " + socketPath;
        return ControlOutcome::Unreachable;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *reply = "no notebook serving on " + socketPath + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return ControlOutcome::Unreachable;
    }
    wire::Writer hello;
    hello.U32(static_cast<std::uint32_t>(wire::Op::Hello))
        .U32(wire::kMagic)
        .U32(wire::kVersion)
        .U32(static_cast<std::uint32_t>(wire::Role::Control));
    wire::Writer w;
    w.U32(static_cast<std::uint32_t>(wire::Op::Control)).Str(request);
    std::vector<std::uint8_t> body;
    bool ok = wire::WriteFrame(fd, hello.Body()) && wire::ReadFrame(fd, body) && wire::WriteFrame(fd, w.Body()) &&
              wire::ReadFrame(fd, body);
    ::close(fd);
    if (!ok) {
        *reply = "the notebook on " + socketPath + " closed the connection (it takes no control requests?)";
        return ControlOutcome::Unreachable;
    }
    wire::Reader r(body);
    std::uint32_t error = r.U32();
    *reply = r.Str();
    if (!r.Ok()) {
        *reply = "a malformed reply from the notebook";
        return ControlOutcome::Unreachable;
    }
    return error == 0 ? ControlOutcome::Done : ControlOutcome::Refused;
}

}  // namespace hostuser
