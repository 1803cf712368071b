#include "machine.h"

#include <hostkernel/registry.h>

#include <stdexcept>

namespace notebook {

Machine::Machine(const MachineOptions& options) : options_(options) {
    hk::KernelOptions kernelOptions;
    kernelOptions.seed = options.seed;
    kernelOptions.clock = options.clock;
    kernelOptions.preemptPercent = options.preempt_percent;
    kernelOptions.clockInterrupt = options.clock_interrupt;
    kernelOptions.processors = options.processors;
    kernel_ = std::make_unique<hk::Kernel>(kernelOptions);
    for (const std::string& file : options.registry_files) {
        if (auto error = kernel_->Reg().ImportFile(file)) throw std::runtime_error(error->ToString());
    }
    hw::ChipsetConfig chipset;
    chipset.noise_seed = options.noise_seed != 0 ? options.noise_seed : options.seed * 2 + 1;
    chipset.motion_seed = options.motion_seed != 0 ? options.motion_seed : options.seed * 3 + 0x7A11;
    chipset.gpio_address = options.gpio_address;
    chipset_ = std::make_unique<hw::Chipset>(kernel_->Clock(), chipset);
    for (const hw::PortRange& r : chipset_->PortRanges()) kernel_->MapPorts(r.first, r.count, r.handler);
    for (const hw::MemoryRange& r : chipset_->MemoryRanges()) kernel_->MapMemory(r.first, r.length, r.handler);
    line_ = std::make_unique<LineMonitor>(*chipset_);
}

Machine::~Machine() {
    // The kernel goes first: its threads stop before the models they use.
    kernel_.reset();
}

BootReport Machine::Boot() {
    BootReport report;
    storage_ = std::make_unique<hw::StorageSubsystem>(*kernel_);
    if (!options_.driver_path.empty()) {
        zhp_ = kernel_->LoadDriverModule(L"ZHP", options_.driver_path);
        if (zhp_ == nullptr && !kernel_->Stopped()) {
            throw std::runtime_error("the ZHP driver did not load from " + options_.driver_path);
        }
        report.zhp_loaded = zhp_ != nullptr;
    }
    for (const hw::DiskConfig& config : options_.disks) {
        hw::Disk& disk = storage_->AddDisk(config);
        hw::MotionModel& motion = chipset_->Motion();
        disk.SetFreeFallProbe([&motion](hk::Time100ns t) { return motion.InFreeFall(t); });
    }
    const hk::Time100ns period = options_.line_sample_period;
    kernel_->Call([this, period] { line_->Start(period); }, 8, "line monitor");
    std::vector<PDRIVER_OBJECT> filters;
    if (zhp_ != nullptr) filters.push_back(zhp_);
    for (hw::Disk* disk : storage_->Disks()) {
        report.disk_statuses.push_back(storage_->StartDisk(*disk, filters));
        for (PDEVICE_OBJECT d = storage_->Pdo(*disk); d != nullptr && zhp_ != nullptr; d = d->AttachedDevice) {
            if (d->DriverObject == zhp_ && protected_disk_ == nullptr) protected_disk_ = disk;
        }
    }
    return report;
}

hw::Disk* Machine::FirstDisk() {
    if (!storage_) return nullptr;
    for (hw::Disk* disk : storage_->Disks()) {
        if (storage_->Pdo(*disk) != nullptr) return disk;
    }
    return nullptr;
}

}  // namespace notebook
