#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include "object_names.h"
#include "server_impl.h"
#include "text.h"
#include "win32_errors.h"

#include <hostkernel/registry.h>

namespace hostuser {

namespace {

// How long a cancelled request or an aborted wait may take to end before
// its connection is dropped regardless (the request is then left to the
// driver; its job keeps what it refers to alive).
constexpr int kCancelGraceMs = 10000;

}  // namespace

Session::Session(Win32Server::Impl& server, int fd, const ucred& peer) : server_(server), fd_(fd), peer_(peer) {}

Session::~Session() {
    if (fd_ >= 0) ::close(fd_);
}

void Session::Start() {
    auto self = shared_from_this();
    thread_ = std::thread([self] { self->Run(); });
}

void Session::Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

void Session::Join() {
    if (thread_.joinable()) thread_.join();
}

bool Session::Notify(const wire::Notification& notification) {
    wire::Writer w;
    wire::WriteNotification(w, notification);
    std::lock_guard<std::mutex> lk(writeMutex_);
    if (!greeted_) return true;  // not subscribed yet: nothing was promised
    return wire::WriteFrame(fd_, w.Body());
}

bool Session::Greet() {
    std::vector<std::uint8_t> body;
    if (!wire::ReadFrame(fd_, body)) {
        dropReason_ = "no hello";
        return false;
    }
    wire::Reader r(body);
    auto op = static_cast<wire::Op>(r.U32());
    std::uint32_t magic = r.U32();
    std::uint32_t version = r.U32();
    auto role = static_cast<wire::Role>(r.U32());
    if (!r.Ok() || !r.AtEnd() || op != wire::Op::Hello || magic != wire::kMagic || version != wire::kVersion ||
        (role != wire::Role::Caller && role != wire::Role::Subscriber && role != wire::Role::Control)) {
        dropReason_ = "not a hello";
        return false;
    }
    if (role == wire::Role::Control && !server_.options.control) {
        dropReason_ = "this notebook takes no control requests";
        return false;
    }
    subscriber_ = role == wire::Role::Subscriber;
    control_ = role == wire::Role::Control;
    if (subscriber_) {
        // A stalled subscriber must not hold up the notebook's broadcasts.
        timeval timeout{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    } else if (!control_) {
        process_ = server_.processes.Attach(static_cast<std::uint32_t>(peer_.pid));
    }
    wire::Writer reply;
    reply.U32(win32::kSuccess);
    wire::WriteHelloReply(reply, server_.Machine());
    // A subscriber counts as subscribed from the moment its reply is out:
    // every broadcast the client can know to follow it reaches it.
    std::lock_guard<std::mutex> lk(writeMutex_);
    greeted_ = wire::WriteFrame(fd_, reply.Body());
    return greeted_;
}

void Session::Run() {
    server_.counters.openConnections++;
    bool greeted = Greet();
    if (greeted) server_.counters.connections++;
    std::vector<std::uint8_t> body;
    bool dropped = !greeted;
    while (greeted) {
        if (!wire::ReadFrame(fd_, body)) break;  // gone (or a frame too large: garbage)
        if (subscriber_) {
            dropReason_ = "a subscriber sent a request";
            dropped = true;
            break;
        }
        server_.counters.requests++;
        if (!(control_ ? ServeControl(body) : Serve(body))) {
            dropped = true;
            break;
        }
    }
    if (dropped) {
        server_.counters.droppedConnections++;
        if (!dropReason_.empty() && dropReason_ != "gone") {
            server_.Log("user: dropped the connection of process " + std::to_string(peer_.pid) + ": " + dropReason_);
        }
    }
    EndProcessConnection();
    ::shutdown(fd_, SHUT_RDWR);
    server_.counters.openConnections--;
    finished_ = true;
}

void Session::EndProcessConnection() {
    if (!process_) return;
    if (!server_.processes.Detach(process_)) return;
    // The process's last connection: it has ended, and its handles with it.
    std::vector<HandleEntry> handles = process_->TakeAll();
    if (handles.empty()) return;
    server_.gate.Run([&] {
        for (const HandleEntry& entry : handles) KernelCloseEntry(entry);
    });
    server_.counters.closedOrphanHandles += handles.size();
    server_.Log("user: process " + std::to_string(peer_.pid) + " ended; closed its " +
                std::to_string(handles.size()) + " handle(s)");
}

bool Session::AwaitCompletion(Completion& completion) {
    pollfd fds[2] = {{fd_, POLLIN | POLLRDHUP, 0}, {completion.WakeFd(), POLLIN, 0}};
    for (;;) {
        if (completion.Done()) return true;
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        // Done() takes the completion's lock: the job's results, written
        // before Signal, are visible from here on.
        if (n < 0) return completion.Done();
        if (fds[1].revents != 0 && completion.Done()) return true;
        if (fds[0].revents != 0) return completion.Done();
    }
}

bool Session::ServeControl(const std::vector<std::uint8_t>& body) {
    wire::Reader r(body);
    auto op = static_cast<wire::Op>(r.U32());
    std::string request = r.Str();
    if (!r.Ok() || !r.AtEnd() || op != wire::Op::Control) {
        dropReason_ = "malformed control request";
        return false;
    }
    std::string text;
    bool done = server_.options.control(request, &text);
    wire::Writer reply;
    reply.U32(done ? 0 : 1).Str(text);
    return wire::WriteFrame(fd_, reply.Body());
}

bool Session::Serve(const std::vector<std::uint8_t>& body) {
    wire::Reader r(body);
    auto op = static_cast<wire::Op>(r.U32());
    wire::Writer reply;
    ProcessRecord& process = *process_;
    std::uint32_t error = win32::kSuccess;
    bool ran = true;

    switch (op) {
        case wire::Op::CreateFile: {
            std::string name = r.Str();
            r.U32();  // desired access: devices are opened for reading and writing alike
            if (!r.Ok() || !r.AtEnd()) break;
            std::uint64_t handle = 0;
            ran = server_.gate.Run([&] { error = KernelOpenDevice(process, name, &handle); });
            reply.U32(ran ? error : win32::kGenFailure).U64(handle);
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::DeviceIoControl:
            return DeviceIoControl(r, reply);
        case wire::Op::CloseHandle: {
            std::uint64_t handle = r.U64();
            if (!r.Ok() || !r.AtEnd()) break;
            ran = server_.gate.Run([&] { error = KernelCloseHandle(process, handle); });
            reply.U32(ran ? error : win32::kGenFailure);
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::CreateEvent:
        case wire::Op::CreateTimer: {
            bool manualReset = r.U32() != 0;
            bool initialState = op == wire::Op::CreateEvent ? r.U32() != 0 : false;
            bool named = r.U32() != 0;
            std::string name = r.Str();
            if (!r.Ok() || !r.AtEnd()) break;
            std::wstring kernelName;
            if (named) {
                std::optional<std::wstring> mapped = KernelObjectName(WideFromUtf8(name));
                if (!mapped) {
                    reply.U32(win32::kInvalidName).U64(0).U32(0);
                    return wire::WriteFrame(fd_, reply.Body());
                }
                kernelName = *mapped;
            }
            std::uint64_t handle = 0;
            bool existed = false;
            ran = server_.gate.Run([&] {
                error = op == wire::Op::CreateEvent
                            ? KernelCreateEvent(process, server_.timers, manualReset, initialState, kernelName,
                                                &handle, &existed)
                            : KernelCreateTimer(process, server_.timers, manualReset, kernelName, &handle, &existed);
            });
            reply.U32(ran ? error : win32::kGenFailure).U64(handle).U32(existed ? 1 : 0);
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::OpenEvent: {
            std::string name = r.Str();
            r.U32();  // desired access: every program of the user may use the events
            if (!r.Ok() || !r.AtEnd()) break;
            std::optional<std::wstring> kernelName = KernelObjectName(WideFromUtf8(name));
            std::uint64_t handle = 0;
            if (!kernelName) {
                error = win32::kInvalidName;
            } else {
                ran = server_.gate.Run([&] { error = KernelOpenEvent(process, server_.timers, *kernelName, &handle); });
            }
            reply.U32(ran ? error : win32::kGenFailure).U64(handle);
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::SetEvent:
        case wire::Op::ResetEvent: {
            std::uint64_t handle = r.U64();
            if (!r.Ok() || !r.AtEnd()) break;
            ran = server_.gate.Run([&] { error = KernelSetEvent(process, handle, op == wire::Op::SetEvent); });
            reply.U32(ran ? error : win32::kGenFailure);
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::Wait:
            return Wait(r, reply);
        case wire::Op::RegKeyExists: {
            std::string path = r.Str();
            if (!r.Ok() || !r.AtEnd()) break;
            // The registry serves any OS thread; no trip through the kernel.
            bool exists = server_.gate.Kernel().Reg().KeyExists(WideFromUtf8(path));
            reply.U32(exists ? win32::kSuccess : win32::kFileNotFound);
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::RegQueryValue: {
            std::string path = r.Str();
            std::string name = r.Str();
            if (!r.Ok() || !r.AtEnd()) break;
            hk::Registry& registry = server_.gate.Kernel().Reg();
            std::optional<hk::RegValue> value;
            if (registry.KeyExists(WideFromUtf8(path))) value = registry.GetValue(WideFromUtf8(path), WideFromUtf8(name));
            if (!value) {
                reply.U32(win32::kFileNotFound);
            } else {
                reply.U32(win32::kSuccess).U32(value->type).Bytes(value->data);
            }
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::MachineInfo: {
            if (!r.Ok() || !r.AtEnd()) break;
            reply.U32(win32::kSuccess);
            wire::WriteHelloReply(reply, server_.Machine());
            return wire::WriteFrame(fd_, reply.Body());
        }
        case wire::Op::CheckHandle: {
            std::uint64_t handle = r.U64();
            if (!r.Ok() || !r.AtEnd()) break;
            std::optional<HandleEntry> entry = process.Find(handle);
            if (!entry) {
                reply.U32(win32::kInvalidHandle).U32(0);
            } else {
                reply.U32(win32::kSuccess).U32(static_cast<std::uint32_t>(entry->kind));
            }
            return wire::WriteFrame(fd_, reply.Body());
        }
        default:
            dropReason_ = "unknown request " + std::to_string(static_cast<std::uint32_t>(op));
            return false;
    }
    if (dropReason_.empty()) dropReason_ = "malformed request " + std::to_string(static_cast<std::uint32_t>(op));
    return false;
}

bool Session::DeviceIoControl(wire::Reader& r, wire::Writer& reply) {
    std::uint64_t handle = r.U64();
    std::uint32_t code = r.U32();
    std::vector<std::uint8_t> input = r.Bytes();
    std::uint32_t outputLength = r.U32();
    if (!r.Ok() || !r.AtEnd() || outputLength > wire::kMaxFrame / 2) {
        dropReason_ = "malformed device I/O control";
        return false;
    }
    auto job = std::make_shared<IoJob>();
    job->outputLength = outputLength;
    ProcessRecord& process = *process_;
    bool ran = server_.gate.Run([&] { KernelStartIo(process, handle, code, input, *job); });
    if (!ran) {
        reply.U32(win32::kGenFailure).U32(0).Bytes(nullptr, 0);
        return wire::WriteFrame(fd_, reply.Body());
    }
    if (!job->finished) {
        // Pending: the request completes on its own emulated thread.
        bool started = server_.gate.Start([job] {
            KernelFinishIo(*job);
            job->Signal();
        });
        if (!started || !AwaitCompletion(*job)) {
            // The client went away (or the machine stopped) while its request
            // was pending: cancel it, as the system does for a process that ends.
            server_.gate.Run([job] { KernelCancelIo(*job); });
            bool ended = job->WaitFor(kCancelGraceMs);
            server_.counters.cancelledRequests++;
            dropReason_ = "gone";
            std::string outcome = !ended ? "cancel requested, the driver has not completed it"
                                  : job->error == win32::kOperationAborted ? "cancelled it"
                                                                           : "it completed as it was being cancelled";
            server_.Log("user: process " + std::to_string(peer_.pid) + " went away with a device request pending; " +
                        outcome);
            TellDeviceControl(code, input, *job, true, ended);
            return false;
        }
    }
    TellDeviceControl(code, input, *job, false, true);
    reply.U32(job->error).U32(job->bytesReturned).Bytes(job->output);
    return wire::WriteFrame(fd_, reply.Body());
}

void Session::TellDeviceControl(std::uint32_t code, const std::vector<std::uint8_t>& input, const IoJob& job,
                                bool abandoned, bool ended) {
    if (!server_.options.deviceControl) return;
    DeviceControlRecord record;
    record.processId = static_cast<std::uint32_t>(peer_.pid);
    record.code = code;
    record.input = input;
    record.outputLength = job.outputLength;
    record.sent = job.request != nullptr;
    record.abandoned = abandoned;
    record.ended = ended;
    // An abandoned request that has not ended may still be completing on
    // its own thread: only its sending is told.
    if (record.sent) record.sentAt = static_cast<std::uint64_t>(job.request->sentAt);
    if (ended) {
        if (record.sent) {
            record.status = job.request->status;
            record.completedAt = static_cast<std::uint64_t>(job.request->completedAt);
        }
        record.error = job.error;
        record.bytesReturned = job.bytesReturned;
        record.output = job.output;
    }
    server_.options.deviceControl(record);
}

bool Session::Wait(wire::Reader& r, wire::Writer& reply) {
    std::uint32_t count = r.U32();
    if (!r.Ok() || count == 0 || count > win32::kMaximumWaitObjects) {
        dropReason_ = "malformed wait";
        return false;
    }
    std::vector<std::uint64_t> handles(count);
    for (auto& h : handles) h = r.U64();
    auto job = std::make_shared<WaitJob>();
    job->waitAll = r.U32() != 0;
    job->milliseconds = r.U32();
    if (!r.Ok() || !r.AtEnd()) {
        dropReason_ = "malformed wait";
        return false;
    }
    ProcessRecord& process = *process_;
    bool ran = server_.gate.Run([&] { KernelStartWait(process, handles, *job); });
    if (!ran) {
        reply.U32(win32::kGenFailure).U32(win32::kWaitFailed);
        return wire::WriteFrame(fd_, reply.Body());
    }
    if (!job->finished) {
        bool started = server_.gate.Start([job] {
            KernelFinishWait(*job);
            job->Signal();
        });
        if (!started || !AwaitCompletion(*job)) {
            server_.gate.Run([job] { KernelAbortWait(*job); });
            job->WaitFor(kCancelGraceMs);
            server_.counters.abandonedWaits++;
            dropReason_ = "gone";
            return false;
        }
    }
    reply.U32(job->error).U32(job->result);
    return wire::WriteFrame(fd_, reply.Body());
}

}  // namespace hostuser
