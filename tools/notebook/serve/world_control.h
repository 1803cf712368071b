// The world actions of `notebook ctl`: what happens to the serving
// notebook. The script's action words (drop 0.5, pin on, writes 100 every
// 10ms, suspend, resume, power D3, ioctl 107 ...), the logged-on user's
// session (lock, unlock, connect, disconnect), and questions (report,
// status, help).
//
// suspend and resume also reach user-mode programs as power broadcasts
// (suspend before the disks sleep, resume after they woke); the session
// words reach them as session changes.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <hostuser/kernel_gate.h>
#include <hostuser/win32_server.h>

#include "actions.h"
#include "event_log.h"
#include "machine.h"
#include "protection_monitor.h"
#include "request_ledger.h"
#include "script.h"

namespace notebook {

// Parses one action as a script line would have it; disks are named as the
// machine has them. nullopt with *error (the parser's "expected ...").
std::optional<Action> ParseWorldAction(const std::string& text, const std::vector<hw::DiskConfig>& disks,
                                       const std::string& sourceDir, std::string* error);

class WorldControl {
public:
    WorldControl(Machine& machine, hostuser::KernelGate& gate, EventLog& log, RequestLedger& ledger,
                 ProtectionMonitor& monitor, std::string sourceDir,
                 std::function<void(hk::Time100ns, const std::string&)> print);
    ~WorldControl();

    // The user-mode server that carries broadcasts to programs (may be null).
    void SetServer(hostuser::Win32Server* server) { server_ = server; }

    // One control request; false when refused (unknown or malformed).
    bool Handle(const std::string& request, std::string* reply);

private:
    bool TakeAction(const Action& action, std::string* reply);
    std::size_t Broadcast(std::uint32_t message, std::uint64_t wParam, std::uint64_t lParam);

    Machine& machine_;
    hostuser::KernelGate& gate_;
    RequestLedger& ledger_;
    ActionRunner runner_;
    ProtectionMonitor& monitor_;
    std::string sourceDir_;
    std::function<void(hk::Time100ns, const std::string&)> print_;
    hostuser::Win32Server* server_ = nullptr;
    std::mutex mutex_;  // one request at a time
};

}  // namespace notebook
