// The Win32 operations as the kernel performs them. Every function here runs
// on an emulated thread (inside KernelGate::Run or Start); each returns a
// Win32 error code.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <hostkernel/io.h>
#include <ntddk.h>

#include "process_table.h"

namespace hostuser {

// Named waitable timers, shared by every process (the kernel has no named
// timers of its own; their names still share the object namespace).
class TimerDirectory {
public:
    // Existing timer of that kernel name, or null.
    std::shared_ptr<NamedTimer> Find(const std::wstring& kernelName);
    void Add(const std::shared_ptr<NamedTimer>& timer);

private:
    std::mutex mutex_;
    std::map<std::wstring, std::weak_ptr<NamedTimer>> timers_;  // upper-cased names
};

// A request or wait that continues on its own emulated thread while the
// connection's thread waits for it (and for its peer going away).
class Completion {
public:
    Completion();
    ~Completion();
    Completion(const Completion&) = delete;
    Completion& operator=(const Completion&) = delete;
    void Signal();
    // Waits for Signal for at most the time given; true when signalled.
    bool WaitFor(int milliseconds);
    bool Done();
    int WakeFd() const { return wakeFd_; }  // readable once signalled

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    int wakeFd_ = -1;
};

struct IoJob : Completion {
    // Kernel context.
    hk::RequestPtr request;
    PFILE_OBJECT file = nullptr;
    std::uint32_t outputLength = 0;
    bool finished = false;
    // Results, valid once finished.
    std::uint32_t error = 0;
    std::uint32_t bytesReturned = 0;
    std::vector<std::uint8_t> output;
};

struct WaitJob : Completion {
    // Kernel context.
    std::vector<PVOID> objects;
    std::vector<PVOID> referencedObjects;        // kernel objects to dereference at the end
    std::vector<std::shared_ptr<NamedTimer>> timers;
    std::vector<KWAIT_BLOCK> blocks;
    KEVENT abortEvent;
    bool abortArmed = false;  // abortEvent initialised and part of the wait
    bool abort = false;
    bool waitAll = false;
    std::uint32_t milliseconds = 0;
    bool finished = false;
    std::uint32_t error = 0;
    std::uint32_t result = 0;
};

std::uint32_t KernelOpenDevice(ProcessRecord& process, const std::string& name, std::uint64_t* handle);
std::uint32_t KernelCloseHandle(ProcessRecord& process, std::uint64_t handle);
void KernelCloseEntry(const HandleEntry& entry);

std::uint32_t KernelCreateEvent(ProcessRecord& process, TimerDirectory& timers, bool manualReset, bool initialState,
                                const std::wstring& kernelName, std::uint64_t* handle, bool* existed);
std::uint32_t KernelOpenEvent(ProcessRecord& process, TimerDirectory& timers, const std::wstring& kernelName,
                              std::uint64_t* handle);
std::uint32_t KernelSetEvent(ProcessRecord& process, std::uint64_t handle, bool signalled);
std::uint32_t KernelCreateTimer(ProcessRecord& process, TimerDirectory& timers, bool manualReset,
                                const std::wstring& kernelName, std::uint64_t* handle, bool* existed);

// Device I/O control: sends the request; finishes the job at once when the
// request completed during dispatch. KernelFinishIo waits for it otherwise.
void KernelStartIo(ProcessRecord& process, std::uint64_t handle, std::uint32_t code,
                   const std::vector<std::uint8_t>& input, IoJob& job);
void KernelFinishIo(IoJob& job);
void KernelCancelIo(IoJob& job);

// Waits: KernelStartWait resolves the handles and polls; when the wait is
// neither satisfied nor a poll, KernelFinishWait blocks for it.
void KernelStartWait(ProcessRecord& process, const std::vector<std::uint64_t>& handles, WaitJob& job);
void KernelFinishWait(WaitJob& job);
void KernelAbortWait(WaitJob& job);

}  // namespace hostuser
