#include "wire.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace hostuser::wire {

Writer& Writer::U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) body_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
}

Writer& Writer::U64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) body_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
}

Writer& Writer::Str(const std::string& s) { return Bytes(s.data(), s.size()); }

Writer& Writer::Bytes(const void* data, std::size_t size) {
    U32(static_cast<std::uint32_t>(size));
    const auto* p = static_cast<const std::uint8_t*>(data);
    body_.insert(body_.end(), p, p + size);
    return *this;
}

bool Reader::Take(std::size_t n) {
    if (!ok_ || body_.size() - pos_ < n) {
        ok_ = false;
        return false;
    }
    return true;
}

std::uint64_t Reader::LittleEndian(std::size_t n) {
    if (!Take(n)) return 0;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(body_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
}

std::uint32_t Reader::U32() { return static_cast<std::uint32_t>(LittleEndian(4)); }

std::uint64_t Reader::U64() { return LittleEndian(8); }

std::string Reader::Str() {
    std::vector<std::uint8_t> b = Bytes();
    return std::string(b.begin(), b.end());
}

std::vector<std::uint8_t> Reader::Bytes() {
    std::uint32_t n = U32();
    if (!Take(n)) return {};
    std::vector<std::uint8_t> b(body_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                body_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    return b;
}

static bool ReadAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

static bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a peer that went away is an error, not a SIGPIPE.
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadFrame(int fd, std::vector<std::uint8_t>& body) {
    std::uint8_t header[4];
    if (!ReadAll(fd, header, sizeof header)) return false;
    std::uint32_t length = static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
                           static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    if (length > kMaxFrame) return false;
    body.resize(length);
    return length == 0 || ReadAll(fd, body.data(), length);
}

bool WriteFrame(int fd, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> frame;
    frame.reserve(body.size() + 4);
    auto length = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    frame.insert(frame.end(), body.begin(), body.end());
    return WriteAll(fd, frame.data(), frame.size());
}

void WriteHelloReply(Writer& w, const HelloReply& h) {
    w.U32(h.administrator).U32(h.locale).I64(h.bootMonotonicNs).Str(h.driveC);
}

HelloReply ReadHelloReply(Reader& r) {
    HelloReply h;
    h.administrator = r.U32();
    h.locale = r.U32();
    h.bootMonotonicNs = r.I64();
    h.driveC = r.Str();
    return h;
}

void WriteNotification(Writer& w, const Notification& n) { w.U32(n.message).U64(n.wParam).U64(n.lParam); }

Notification ReadNotification(Reader& r) {
    Notification n;
    n.message = r.U32();
    n.wParam = r.U64();
    n.lParam = r.U64();
    return n;
}

}  // namespace hostuser::wire
