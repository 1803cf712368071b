// The wire protocol between user-mode programs (the win32host client
// library) and the notebook's user-mode server.
//
// Transport: a Unix-domain stream socket. Every message is a frame: a 32-bit
// little-endian body length followed by the body. A request body starts with
// its Op; the reply body starts with a 32-bit Win32 error code (0 = success)
// followed by the op's results. Strings are a 32-bit length and UTF-8 bytes,
// byte blocks a 32-bit length and the bytes.
//
// A connection starts with Hello and its reply. Requests on one connection
// are strictly one at a time (each client thread has its own connection), so
// a frame that arrives while a request is still being served is a protocol
// error. A subscriber connection (Hello with the subscriber role) sends
// nothing after its Hello and receives Notification frames. A control
// connection sends Control requests, one at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostuser::wire {

constexpr std::uint32_t kMagic = 0x5A485055;  // "ZHPU"
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kMaxFrame = 1u << 20;  // larger frames are garbage

enum class Op : std::uint32_t {
    Hello = 1,
    CreateFile = 2,        // path -> handle
    DeviceIoControl = 3,   // handle, code, input, output length -> bytes returned, output
    CloseHandle = 4,       // handle
    CreateEvent = 5,       // manual reset, initial state, has name, name -> handle, existed
    OpenEvent = 6,         // name -> handle
    SetEvent = 7,          // handle
    ResetEvent = 8,        // handle
    Wait = 9,              // count, handles, wait all, time-out ms -> wait result
    CreateTimer = 10,      // manual reset, has name, name -> handle, existed
    RegKeyExists = 11,     // kernel key path
    RegQueryValue = 12,    // kernel key path, value name -> type, data
    CheckHandle = 13,      // handle -> kind (for calls that only validate a handle)
    MachineInfo = 14,      // -> the HelloReply fields, as they are now
    Control = 20,          // control connections: request text -> reply text (error word 1: refused)
};

// Callers make Win32 calls; subscribers receive notifications; control
// connections (the notebook's own `notebook ctl`) send world actions.
enum class Role : std::uint32_t { Caller = 1, Subscriber = 2, Control = 3 };

enum class HandleKind : std::uint32_t { Device = 1, Event = 2, Timer = 3 };

// What the server tells every new connection about the machine.
struct HelloReply {
    std::uint32_t administrator = 1;    // the simulated user is in Administrators
    std::uint32_t locale = 1033;        // the user's locale number
    std::int64_t bootMonotonicNs = 0;   // CLOCK_MONOTONIC at the notebook's boot
    std::string driveC;                 // host directory that stands for C:\ (may be empty)
};

// A system notification pushed to subscribers: a window message number
// (0x218 power broadcast, 0x2B1 session change) and its two parameters.
struct Notification {
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::uint64_t lParam = 0;
};

class Writer {
public:
    Writer& U32(std::uint32_t v);
    Writer& U64(std::uint64_t v);
    Writer& I64(std::int64_t v) { return U64(static_cast<std::uint64_t>(v)); }
    Writer& Str(const std::string& s);
    Writer& Bytes(const void* data, std::size_t size);
    Writer& Bytes(const std::vector<std::uint8_t>& b) { return Bytes(b.data(), b.size()); }
    const std::vector<std::uint8_t>& Body() const { return body_; }

private:
    std::vector<std::uint8_t> body_;
};

// Reads a body; any read past the end (or a length that does not fit) marks
// the reader bad and yields zeros, so a handler checks Ok() once at the end.
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& body) : body_(body) {}
    std::uint32_t U32();
    std::uint64_t U64();
    std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
    std::string Str();
    std::vector<std::uint8_t> Bytes();
    bool Ok() const { return ok_; }
    bool AtEnd() const { return pos_ == body_.size(); }

private:
    bool Take(std::size_t n);
    std::uint64_t LittleEndian(std::size_t n);  // the next n bytes, least significant first
    const std::vector<std::uint8_t>& body_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// Blocking frame I/O on a socket. ReadFrame is false on end of file, an
// error, or a frame larger than kMaxFrame; WriteFrame is false on an error.
bool ReadFrame(int fd, std::vector<std::uint8_t>& body);
bool WriteFrame(int fd, const std::vector<std::uint8_t>& body);

void WriteHelloReply(Writer& w, const HelloReply& h);
HelloReply ReadHelloReply(Reader& r);
void WriteNotification(Writer& w, const Notification& n);
Notification ReadNotification(Reader& r);

}  // namespace hostuser::wire
