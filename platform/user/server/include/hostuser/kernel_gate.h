// How OS threads outside the notebook's machine (socket connections, the
// control channel, the main program) enter its kernel while it runs in real
// time.
//
// Kernel code runs only on emulated threads. Run() performs a function on a
// new emulated thread and returns when it has returned (Kernel::Call);
// Start() hands a function to a new emulated thread and returns at once, for
// work that may block for long (a pending request, a wait with a time-out):
// that function reports back through host-side synchronisation of its own.
//
// Entries are serialised with one another and with Exclusive, whose host
// code (the notebook's world actions) touches the machine from outside.
// Functions given to Run should therefore not block for long.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include <hostkernel/kernel.h>

namespace hostuser {

class KernelGate {
public:
    explicit KernelGate(hk::Kernel& kernel) : kernel_(kernel) {}
    KernelGate(const KernelGate&) = delete;
    KernelGate& operator=(const KernelGate&) = delete;

    // False when the machine has stopped (a verifier stop): fn may not have run.
    bool Run(const std::function<void()>& fn, const std::string& name = "user call");
    bool Start(const std::function<void()>& fn, const std::string& name = "user wait");

    // Runs host code that enters the kernel itself (Kernel::Call, Spawn, the
    // notebook's actions) with the gate held, so that it does not race the
    // other entries.
    void Exclusive(const std::function<void(hk::Kernel&)>& fn);

    hk::Kernel& Kernel() { return kernel_; }

private:
    hk::Kernel& kernel_;
    std::mutex mutex_;
};

}  // namespace hostuser
