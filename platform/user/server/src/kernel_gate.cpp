#include <hostuser/kernel_gate.h>

namespace hostuser {

bool KernelGate::Run(const std::function<void()>& fn, const std::string& name) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (kernel_.Stopped()) return false;
    return kernel_.Call(fn, 8, name);
}

bool KernelGate::Start(const std::function<void()>& fn, const std::string& name) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (kernel_.Stopped()) return false;
    PKTHREAD thread = kernel_.Spawn(fn, 8, name);
    // The thread object goes when the thread has ended; the next Run reaps it.
    kernel_.ReleaseThread(thread);
    return true;
}

void KernelGate::Exclusive(const std::function<void(hk::Kernel&)>& fn) {
    std::lock_guard<std::mutex> lk(mutex_);
    fn(kernel_);
}

}  // namespace hostuser
