// The machine's life: boot, the host's controls, verifier stops, teardown.
#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "hostkernel/registry.h"
#include "irp_tracker.h"

using hk::K;
using Impl = hk::Kernel::Impl;

namespace hk {
PDRIVER_OBJECT CreateDriverObject(const std::wstring& name);
void FreeObject(ObjectHeader* h);
}
using hk::IrpTracker;
using hk::ObjectHeader;

static unsigned ProcessorCountOf(const hk::KernelOptions& o) {
    if (o.processors < 1) return 1;
    return o.processors > hk::kMaxProcessors ? hk::kMaxProcessors : o.processors;
}

Impl::Impl(const KernelOptions& o)
    : options(o),
      rng(o.seed),
      processorCount(ProcessorCountOf(o)),
      processors(new hk::Processor[ProcessorCountOf(o)]),
      idle(processors[0].idleThread) {
    for (unsigned n = 0; n < processorCount; ++n) {
        hk::Processor& p = processors[n];
        p.number = n;
        p.idleThread.name = processorCount == 1 ? "idle" : "idle " + std::to_string(n);
        p.idleThread.priority = 0;
        p.idleThread.isIdle = true;
        p.idleThread.Header.Type = kThreadObject;
        InitializeListHead(&p.idleThread.Header.WaitListHead);
        p.current = &p.idleThread;
        InitializeListHead(&p.dpcQueue);
    }
    InitializeListHead(&timerList);
    clock.k = this;
    realBase = std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
    // 2026-01-01 00:00:00 UTC in 100-ns units since 1601.
    bootSystemTime = 134115264000000000LL;
    registry = std::make_unique<Registry>();
}

bool Impl::InjectedFault(KernelFault fault) {
    auto it = pendingFaults.find(fault);
    if (it == pendingFaults.end()) return false;
    if (it->second > 0) {
        it->second--;
        return false;
    }
    pendingFaults.erase(it);
    return true;
}

[[noreturn]] void Impl::Stop(const std::string& rule, const std::string& description, std::uintptr_t p1,
                             std::uintptr_t p2, std::uintptr_t p3, std::uintptr_t p4) {
    std::unique_lock<std::mutex> lk(mu);
    _KTHREAD* self = tokenOwner;
    if (!stopped) {
        stopped = true;
        stop.rule = rule;
        stop.description = description;
        stop.parameters[0] = p1;
        stop.parameters[1] = p2;
        stop.parameters[2] = p3;
        stop.parameters[3] = p4;
        stop.thread = current != nullptr ? current->name : std::string("(none)");
        std::size_t n = debugOutput.size();
        std::size_t from = n > options.traceTail ? n - options.traceTail : 0;
        stop.traceTail.assign(debugOutput.begin() + static_cast<std::ptrdiff_t>(from), debugOutput.end());
        if (processorCount > 1) stop.processors = DescribeProcessorsLocked();
        if (options.echoDebugOutput) std::cerr << "VERIFIER STOP " << stop.ToString() << std::endl;
    }
    for (_KTHREAD* t : threads) {
        if (t->external) t->baton.Post();
    }
    WakeCallersLocked();
    if (self == nullptr || self->external) {
        // Only emulated threads run kernel code; anything else is a bug here.
        std::cerr << "verifier stop outside an emulated thread: " << rule << std::endl;
        std::abort();
    }
    ParkForever(lk, self);
}

std::string hk::StopReport::ToString() const {
    std::ostringstream out;
    out << rule << ": " << description << " (thread " << thread << ", parameters";
    for (auto p : parameters) out << " 0x" << std::hex << p;
    out << std::dec << ")";
    for (const auto& processor : processors) out << "\n  " << processor;
    if (!traceTail.empty()) {
        out << "\n  last debug output:";
        for (const auto& line : traceTail) {
            out << "\n    " << line;
            if (!line.empty() && line.back() == '\n') out.seekp(-1, std::ios_base::cur);
        }
    }
    return out.str();
}

namespace hk {

Kernel::Kernel(const KernelOptions& options) : impl_(std::make_unique<Impl>(options)) {
    if (gK != nullptr) {
        std::cerr << "only one host kernel may exist at a time" << std::endl;
        std::abort();
    }
    gK = impl_.get();
    impl_->owner = this;
    impl_->StartIdleThreads();
    if (options.clock == ClockMode::Real) {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->SetHostLocked(&impl_->idle);
        impl_->current = &impl_->idle;
        impl_->idle.baton.Post();
    }
}

Kernel::~Kernel() {
    Impl& k = *impl_;
    {
        std::lock_guard<std::mutex> lk(k.mu);
        k.dying = true;
        for (_KTHREAD* t : k.threads) t->baton.Post();
        for (unsigned n = 0; n < k.processorCount; ++n) k.processors[n].idleThread.baton.Post();
        k.WakeCallersLocked();
    }
    for (_KTHREAD* t : k.threads) {
        if (t->hasOsThread && !t->external) pthread_join(t->os, nullptr);
    }
    for (unsigned n = 0; n < k.processorCount; ++n) {
        _KTHREAD& idleThread = k.processors[n].idleThread;
        if (idleThread.hasOsThread) pthread_join(idleThread.os, nullptr);
    }
    // Whatever the machine still held goes with it.
    for (void* block : k.liveIrps) {
        auto* tr = static_cast<IrpTracker*>(block);
        if (tr->dropContext != nullptr) tr->dropContext(tr->onCompleteContext);
        std::free(tr->systemBuffer);
        if (tr->mdl != nullptr) std::free(tr->mdl);
        std::free(block);
    }
    for (void* p : k.irpQuarantine) std::free(p);
    for (auto& block : k.pool) std::free(block.first);
    for (auto& mapping : k.ioMappings) std::free(reinterpret_cast<void*>(mapping.first));
    std::vector<ObjectHeader*> objects(k.liveObjects.begin(), k.liveObjects.end());
    for (ObjectHeader* h : objects) FreeObject(h);
    for (auto& entry : k.driverModules) dlclose(entry.second);
    gK = nullptr;
}

Kernel& Kernel::Current() {
    // The public object is found through its implementation's owner.
    return *gK->owner;
}

bool Kernel::Exists() { return gK != nullptr; }

const KernelOptions& Kernel::Options() const { return impl_->options; }

Time100ns Kernel::Now() const { return impl_->clock.Now(); }

TimeSource& Kernel::Clock() { return impl_->clock; }

bool Kernel::RunUntil(Time100ns time) {
    Impl& k = *impl_;
    _KTHREAD* self = k.AttachExternal("host", 1);
    if (self == nullptr) return false;
    LARGE_INTEGER due;
    due.QuadPart = k.bootSystemTime + time;  // absolute
    k.WaitForObjects(0, nullptr, WaitAny, &due, self->builtinBlocks);
    k.DetachExternal(self);
    return !k.stopped;
}

bool Kernel::RunFor(Time100ns duration) { return RunUntil(Now() + duration); }

PKTHREAD Kernel::Spawn(const std::function<void()>& fn, KPRIORITY priority, const std::string& name) {
    Impl& k = *impl_;
    _KTHREAD* t = k.NewThread(name, priority);
    t->hostFunction = fn;
    ObfReferenceObject(t);  // the caller's reference
    k.StartOsThread(t);
    k.MakeReady(t);
    return t;
}

bool Kernel::ThreadFinished(PKTHREAD thread) const { return thread->state == ThreadState::Terminated; }

void Kernel::ReleaseThread(PKTHREAD thread) {
    // Dropped by the next processor holder that reaps ended threads.
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->pendingDereferences.push_back(thread);
}

bool Kernel::Join(PKTHREAD thread, Time100ns limit) {
    Impl& k = *impl_;
    _KTHREAD* self = k.AttachExternal("host", 1);
    if (self == nullptr) return false;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -limit;
    PVOID objects[1] = {thread};
    NTSTATUS status = k.WaitForObjects(1, objects, WaitAny, limit < 0 ? nullptr : &timeout, self->builtinBlocks);
    k.DetachExternal(self);
    return !k.stopped && status == STATUS_WAIT_0;
}

bool Kernel::Call(const std::function<void()>& fn, KPRIORITY priority, const std::string& name) {
    if (impl_->stopped) return false;
    if (impl_->OnEmulatedThread()) {
        // Already on the machine (a host helper called from kernel code).
        fn();
        return !impl_->stopped;
    }
    // A machine in real time runs on its own: a pooled thread does the work.
    // In virtual time the caller drives the machine until fn has returned.
    if (impl_->options.clock == ClockMode::Real) return impl_->CallOnWorker(fn, priority, name);
    PKTHREAD t = Spawn(fn, priority, name);
    bool finished = Join(t, -1);
    ReleaseThread(t);
    return finished;
}

bool Kernel::Stopped() const { return impl_->stopped; }

const StopReport& Kernel::Stop() const { return impl_->stop; }

void Kernel::VerifierStop(const std::string& rule, const std::string& description, std::uintptr_t p1,
                          std::uintptr_t p2, std::uintptr_t p3, std::uintptr_t p4) {
    impl_->Stop(rule, description, p1, p2, p3, p4);
}

const std::vector<std::string>& Kernel::DebugOutput() const { return impl_->debugOutput; }

void Kernel::ClearDebugOutput() { impl_->debugOutput.clear(); }

void Kernel::SetDebugSink(std::function<void(const std::string&)> sink) { impl_->debugSink = std::move(sink); }

PoolStatistics Kernel::Pool() const { return impl_->poolStats; }

void Kernel::MapPorts(std::uint16_t first, std::uint32_t count, PortHandler* handler) {
    impl_->ports.push_back(PortMapping{first, count, handler});
}

void Kernel::MapMemory(std::uint64_t first, std::uint64_t length, MemoryHandler* handler) {
    impl_->memory.push_back(MemoryMapping{first, length, handler});
}

void Kernel::FailMemoryMapping(std::uint64_t first, std::uint64_t length) {
    impl_->mappingHoles.emplace_back(first, length);
}

void Kernel::FailRegistryWrites(bool fail) { impl_->failRegistryWrites = fail; }

void Kernel::FailNextCall(KernelFault fault, unsigned skip) { impl_->pendingFaults[fault] = skip; }

Registry& Kernel::Reg() { return *impl_->registry; }

static const wchar_t* kServices = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";

PDRIVER_OBJECT Kernel::LoadDriver(const std::wstring& name, PDRIVER_INITIALIZE entry) {
    PDRIVER_OBJECT driver = nullptr;
    Call(
        [&] {
            Impl& k = K();
            driver = CreateDriverObject(name);
            if (driver == nullptr) return;
            driver->DriverInit = entry;
            std::wstring servicePath = std::wstring(kServices) + name;
            UNICODE_STRING registryPath;
            RtlInitUnicodeString(&registryPath, servicePath.c_str());
            PDRIVER_OBJECT saved = k.currentDriver;
            k.currentDriver = driver;
            NTSTATUS status = entry(driver, &registryPath);
            k.currentDriver = saved;
            if (!NT_SUCCESS(status)) driver = nullptr;
        },
        8, "driver loader");
    return driver;
}

PDRIVER_OBJECT Kernel::LoadDriverModule(const std::wstring& name, const std::string& path) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::cerr << "cannot load driver image " << path << ": " << dlerror() << std::endl;
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(module);
        return nullptr;
    }
    PDRIVER_OBJECT driver = LoadDriver(name, entry);
    if (driver == nullptr) {
        dlclose(module);
        return nullptr;
    }
    impl_->driverModules[driver] = module;
    return driver;
}

void Kernel::UnloadDriver(PDRIVER_OBJECT driver) {
    Call(
        [driver] {
            Impl& k = K();
            if (driver->DriverUnload != nullptr) {
                PDRIVER_OBJECT saved = k.currentDriver;
                k.currentDriver = driver;
                driver->DriverUnload(driver);
                k.currentDriver = saved;
            }
            if (auto held = k.resolutionHolders.find(driver); held != k.resolutionHolders.end()) {
                k.Stop("TIMER_RESOLUTION_HELD_AT_UNLOAD",
                       "the driver was unloaded holding a timer resolution request (ExSetTimerResolution "
                       "without the release)",
                       reinterpret_cast<std::uintptr_t>(driver), held->second, k.grantedIncrement);
            }
            for (const auto& block : k.pool) {
                if (block.second.driver == driver) {
                    k.Stop("POOL_LEAKED_AT_UNLOAD", "the driver was unloaded with pool it allocated still in use",
                           reinterpret_cast<std::uintptr_t>(driver), reinterpret_cast<std::uintptr_t>(block.first),
                           block.second.size, block.second.tag);
                }
            }
        },
        8, "driver unloader");
}

}  // namespace hk
