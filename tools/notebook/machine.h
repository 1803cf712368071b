// The simulated notebook: the host kernel with its registry, the chipset on
// its port and memory ranges, the storage stack and, when present, ZHP as
// the disks' upper filter.
//
//   Machine m(options);   // kernel, registry files, chipset
//   ... edit m.Kernel().Reg() ...
//   m.Boot();             // storage drivers, ZHP, disks, Plug and Play
//
// Every method runs on the host thread.
#pragma once

#include "line_monitor.h"

#include "hw/chipset.h"
#include "hw/storage.h"

#include <hostkernel/kernel.h>

#include <memory>
#include <string>
#include <vector>

namespace notebook {

struct MachineOptions {
    std::uint64_t seed = 1;
    // The chipset's sensor noise and motion generators; 0: derived from seed.
    std::uint64_t noise_seed = 0;
    std::uint64_t motion_seed = 0;
    unsigned preempt_percent = hk::KernelOptions().preemptPercent;
    hk::ClockMode clock = hk::ClockMode::Virtual;
    hk::ClockInterrupt clock_interrupt = hk::ClockInterrupt::Windows;
    unsigned processors = 2;  // logical processors: a notebook has several
    std::vector<std::string> registry_files;  // imported in order
    std::vector<hw::DiskConfig> disks;        // boot order
    std::uint64_t gpio_address = hw::GpioLevelRegister::kDefaultAddress;  // port if <= 0xFFFF
    std::string driver_path;                  // the ZHP module; empty: unprotected
    hk::Time100ns line_sample_period = 500 * hk::kMicrosecond;
};

struct BootReport {
    bool zhp_loaded = false;
    std::vector<NTSTATUS> disk_statuses;  // per disk, boot order
};

class Machine {
public:
    // Throws std::runtime_error when a registry file does not import.
    explicit Machine(const MachineOptions& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the storage drivers and ZHP, reports the disks and brings up each
    // disk's stack. Throws std::runtime_error when a driver does not load
    // (unless the verifier stopped the machine meanwhile: see Kernel().Stopped()).
    BootReport Boot();
    bool Booted() const { return storage_ != nullptr; }

    hk::Kernel& Kernel() { return *kernel_; }
    hw::Chipset& Chipset() { return *chipset_; }
    hw::StorageSubsystem& Storage() { return *storage_; }
    LineMonitor& Line() { return *line_; }
    const MachineOptions& Options() const { return options_; }

    PDRIVER_OBJECT Zhp() const { return zhp_; }
    // The first disk in boot order that is still present; null if none.
    hw::Disk* FirstDisk();
    // The disk whose stack holds ZHP's filter device at boot; null if none.
    hw::Disk* ProtectedDisk() { return protected_disk_; }

private:
    MachineOptions options_;
    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<hw::Chipset> chipset_;
    std::unique_ptr<LineMonitor> line_;
    std::unique_ptr<hw::StorageSubsystem> storage_;
    PDRIVER_OBJECT zhp_ = nullptr;
    hw::Disk* protected_disk_ = nullptr;
};

}  // namespace notebook
