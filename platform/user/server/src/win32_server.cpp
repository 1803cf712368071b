#include <hostuser/win32_server.h>

#include <ctime>

#include <unistd.h>

#include "server_impl.h"
#include "socket_path.h"

namespace hostuser {

void Win32Server::Impl::Log(const std::string& line) {
    if (options.log) options.log(line);
}

void Win32Server::Impl::ReapFinishedSessions() {
    std::list<std::shared_ptr<Session>> finished;
    {
        std::lock_guard<std::mutex> lk(mutex);
        for (auto it = sessions.begin(); it != sessions.end();) {
            if ((*it)->Finished()) {
                finished.push_back(*it);
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : finished) session->Join();
}

void Win32Server::Impl::AcceptLoop() {
    for (;;) {
        int fd = listener.Accept();
        if (fd < 0) return;
        ReapFinishedSessions();
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
            // Only the user who runs the notebook may use it.
            counters.droppedConnections++;
            Log("user: refused a connection from user id " + std::to_string(peer.uid));
            ::close(fd);
            continue;
        }
        auto session = std::make_shared<Session>(*this, fd, peer);
        {
            std::lock_guard<std::mutex> lk(mutex);
            if (!running) {
                ::shutdown(fd, SHUT_RDWR);
                continue;  // the session closes the socket when it goes
            }
            sessions.push_back(session);
        }
        session->Start();
    }
}

Win32Server::Win32Server(KernelGate& gate, Win32ServerOptions options)
    : impl_(std::make_unique<Impl>(gate, std::move(options))) {}

Win32Server::~Win32Server() { Stop(); }

bool Win32Server::Start(std::string* error) {
    Impl& s = *impl_;
    s.path = ResolveSocketPath(s.options.socketPath);
    // CLOCK_MONOTONIC is the steady clock of every process on the machine:
    // clients derive GetTickCount from the notebook's boot time on it.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    s.bootMonotonicNs = static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec - s.gate.Kernel().Now() * 100;
    bool replacedStale = false;
    if (!s.listener.Open(s.path, error, &replacedStale)) return false;
    if (replacedStale) s.Log("user: replaced the stale socket " + s.path + " left by a notebook that is gone");
    {
        std::lock_guard<std::mutex> lk(s.mutex);
        s.running = true;
    }
    s.acceptThread = std::thread([&s] { s.AcceptLoop(); });
    return true;
}

void Win32Server::Stop() {
    Impl& s = *impl_;
    std::list<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lk(s.mutex);
        if (!s.running) return;
        s.running = false;
        sessions = s.sessions;
        s.sessions.clear();
    }
    s.listener.Shutdown();
    if (s.acceptThread.joinable()) s.acceptThread.join();
    s.listener.Close();
    // Every connection goes as if its client had gone: pending requests are
    // cancelled and the handles closed on the still running machine.
    for (auto& session : sessions) session->Shutdown();
    for (auto& session : sessions) session->Join();
}

const std::string& Win32Server::SocketPath() const { return impl_->path; }

std::size_t Win32Server::Broadcast(std::uint32_t message, std::uint64_t wParam, std::uint64_t lParam) {
    std::list<std::shared_ptr<Session>> subscribers;
    {
        std::lock_guard<std::mutex> lk(impl_->mutex);
        for (auto& session : impl_->sessions) {
            if (session->IsSubscriber() && !session->Finished()) subscribers.push_back(session);
        }
    }
    wire::Notification n{message, wParam, lParam};
    std::size_t delivered = 0;
    for (auto& session : subscribers) {
        if (session->Notify(n)) {
            delivered++;
        } else {
            session->Shutdown();
        }
    }
    return delivered;
}

Win32ServerStatistics Win32Server::Statistics() const {
    const Impl::Counters& c = impl_->counters;
    Win32ServerStatistics s;
    s.connections = c.connections;
    s.openConnections = c.openConnections;
    s.processes = impl_->processes.Count();
    s.droppedConnections = c.droppedConnections;
    s.cancelledRequests = c.cancelledRequests;
    s.abandonedWaits = c.abandonedWaits;
    s.closedOrphanHandles = c.closedOrphanHandles;
    s.requests = c.requests;
    return s;
}

}  // namespace hostuser
