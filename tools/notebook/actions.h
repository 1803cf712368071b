// Takes a script's actions on the running machine. Hardware actions (pin,
// motion, faults) happen at once on an emulated thread holding the
// processor; requests, power changes and shutdown run on threads of their
// own, so the script's timeline goes on while they wait; removal runs the
// Plug and Play manager to completion before the timeline continues.
#pragma once

#include "event_log.h"
#include "machine.h"
#include "request_ledger.h"
#include "script.h"

#include <ntddk.h>

#include <functional>
#include <string>
#include <vector>

namespace notebook {

// The control device's command code and block size.
constexpr ULONG kControlCode = 0x00072020;
constexpr ULONG kCommandBlockSize = 80;
// Each read or write moves this much.
constexpr ULONG kRequestBytes = 4096;

class ActionRunner {
public:
    ActionRunner(Machine& machine, EventLog& log, RequestLedger& ledger);
    ~ActionRunner();
    ActionRunner(const ActionRunner&) = delete;
    ActionRunner& operator=(const ActionRunner&) = delete;

    // Host thread, between runs; `scheduled` is the script's time for it (the
    // machine may be later, when booting took longer). False once the
    // machine has stopped.
    bool Take(const Action& action, hk::Time100ns scheduled);

private:
    bool InMachine(const std::function<void()>& fn);
    void OnOwnThread(const std::function<void()>& fn, const std::string& name);
    hk::Time100ns Now();

    void Pin(const Action& a);
    void Motion(const Action& a);
    void Requests(const Action& a);
    void Flush();
    void Ioctl(const Action& a);
    void Power(const Action& a);
    void SystemPower(bool sleep);
    void Remove(const Action& a);
    void Fault(const Action& a);
    void Shutdown();

    Machine& machine_;
    EventLog& log_;
    RequestLedger& ledger_;
    std::vector<PKTHREAD> threads_;
    std::uint64_t next_block_ = 0;
};

}  // namespace notebook
