// The notebook's user-mode processes and their handle tables.
//
// A process is the set of connections that share a client process id. Its
// handle table maps the handle values the process sees to kernel objects.
// Tables are changed on emulated threads (inside the KernelGate), together
// with the kernel objects they refer to; the mutex only keeps the container
// consistent and is never held across a kernel call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <ntddk.h>

#include "wire.h"

namespace hostuser {

// A waitable timer: a kernel timer that belongs to the server, shared by the
// handles that name it.
struct NamedTimer {
    KTIMER timer;
    std::wstring name;  // normalised kernel name; empty when unnamed
};

struct HandleEntry {
    wire::HandleKind kind = wire::HandleKind::Event;
    PFILE_OBJECT file = nullptr;       // Device: the open file object
    HANDLE kernelHandle = nullptr;     // Event: the kernel handle that keeps the event
    PKEVENT event = nullptr;           // Event
    std::shared_ptr<NamedTimer> timer; // Timer
};

struct ProcessRecord {
    std::uint32_t pid = 0;
    unsigned connections = 0;
    std::mutex mutex;
    std::map<std::uint64_t, HandleEntry> handles;
    std::uint64_t nextHandle = 0x100;

    std::uint64_t Insert(const HandleEntry& entry);
    std::optional<HandleEntry> Find(std::uint64_t value);
    std::optional<HandleEntry> Remove(std::uint64_t value);
    std::vector<HandleEntry> TakeAll();
};

class ProcessTable {
public:
    // A connection of process pid begins; returns its (possibly new) record.
    std::shared_ptr<ProcessRecord> Attach(std::uint32_t pid);
    // A connection ends; true when it was the process's last one (the record
    // has left the table and its handles are the caller's to close).
    bool Detach(const std::shared_ptr<ProcessRecord>& process);
    std::size_t Count() const;

private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<ProcessRecord>> processes_;
};

}  // namespace hostuser
