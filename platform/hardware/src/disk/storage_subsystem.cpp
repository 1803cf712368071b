// The Plug and Play side of the notebook's disks: which bus driver reports
// each disk, and the add-device / start / remove sequence of its stack.
#include "hw/storage.h"

#include "port_driver.h"

#include <hostkernel/io.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace hw {
namespace {

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

struct StorageSubsystem::Entry {
    std::unique_ptr<Disk> disk;
    PDEVICE_OBJECT pdo = nullptr;
    bool started = false;
};

bool StorageSubsystem::IsUsableBusDriverName(const std::string& name) {
    if (name.empty() || name.size() > 64 || SameName(name, "disk")) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

StorageSubsystem::StorageSubsystem(hk::Kernel& kernel) : kernel_(kernel) {
    class_driver_ = kernel_.LoadDriver(L"disk", DiskClassDriverEntry);
    if (class_driver_ == nullptr) throw std::runtime_error("the disk class driver did not load");
}

StorageSubsystem::~StorageSubsystem() = default;

PDRIVER_OBJECT StorageSubsystem::BusDriver(const std::string& name) const {
    for (const auto& [loaded, driver] : bus_drivers_) {
        if (SameName(loaded, name)) return driver;
    }
    return nullptr;
}

Disk& StorageSubsystem::AddDisk(const DiskConfig& config) {
    if (Find(config.name) != nullptr) throw std::invalid_argument("a disk named " + config.name + " exists already");
    if (!IsUsableBusDriverName(config.bus_driver)) {
        throw std::invalid_argument("\"" + config.bus_driver + "\" cannot be a disk bus driver name");
    }
    PDRIVER_OBJECT bus = BusDriver(config.bus_driver);
    if (bus == nullptr) {
        bus = kernel_.LoadDriver(Widen(config.bus_driver), DiskPortDriverEntry);
        if (bus == nullptr) throw std::runtime_error("the bus driver " + config.bus_driver + " did not load");
        bus_drivers_.emplace_back(config.bus_driver, bus);
    }
    auto entry = std::make_unique<Entry>();
    entry->disk = std::make_unique<Disk>(config);
    wchar_t name[32];
    std::swprintf(name, 32, L"\\Device\\%08X", next_pdo_number_++);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    kernel_.Call([&] { status = port_driver::ReportDisk(bus, *entry->disk, name, &entry->pdo); }, 8, "bus enumeration");
    if (!NT_SUCCESS(status)) throw std::runtime_error("the bus driver could not report disk " + config.name);
    entries_.push_back(std::move(entry));
    return *entries_.back()->disk;
}

NTSTATUS StorageSubsystem::StartDisk(Disk& disk, const std::vector<PDRIVER_OBJECT>& upper_filters) {
    Entry* entry = EntryOf(disk);
    if (entry == nullptr || entry->pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
    if (entry->started) return STATUS_SUCCESS;
    PDEVICE_OBJECT pdo = entry->pdo;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const bool ran = kernel_.Call(
        [&] {
            status = hk::PnpAddDevice(class_driver_, pdo);
            for (PDRIVER_OBJECT filter : upper_filters) {
                if (!NT_SUCCESS(status)) break;
                status = hk::PnpAddDevice(filter, pdo);
            }
            if (NT_SUCCESS(status)) status = hk::PnpStartDevice(pdo);
            if (!NT_SUCCESS(status) && pdo->AttachedDevice != nullptr) {
                // The stack does not come up: take down what was built.
                hk::PnpRemoveDevice(pdo);
            }
        },
        8, "pnp manager");
    if (!ran) return STATUS_UNSUCCESSFUL;
    entry->started = NT_SUCCESS(status);
    return status;
}

std::vector<NTSTATUS> StorageSubsystem::StartAll(const std::vector<PDRIVER_OBJECT>& upper_filters) {
    std::vector<NTSTATUS> statuses;
    for (auto& entry : entries_) {
        if (entry->pdo == nullptr || entry->started) continue;
        statuses.push_back(StartDisk(*entry->disk, upper_filters));
    }
    return statuses;
}

NTSTATUS StorageSubsystem::RemoveDisk(Disk& disk) {
    Entry* entry = EntryOf(disk);
    if (entry == nullptr || entry->pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT pdo = entry->pdo;
    NTSTATUS status = STATUS_SUCCESS;
    const bool ran = kernel_.Call(
        [&] {
            if (pdo->AttachedDevice != nullptr) status = hk::PnpRemoveDevice(pdo);
            if (!NT_SUCCESS(status)) return;  // vetoed: the stack stays
            port_driver::DeleteGoneDisk(pdo);
        },
        8, "pnp manager");
    if (!ran) return STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        entry->pdo = nullptr;
        entry->started = false;
    }
    return status;
}

Disk* StorageSubsystem::Find(const std::string& name) {
    for (auto& entry : entries_) {
        if (entry->disk->Name() == name) return entry->disk.get();
    }
    return nullptr;
}

std::vector<Disk*> StorageSubsystem::Disks() {
    std::vector<Disk*> disks;
    for (auto& entry : entries_) disks.push_back(entry->disk.get());
    return disks;
}

StorageSubsystem::Entry* StorageSubsystem::EntryOf(const Disk& disk) const {
    for (const auto& entry : entries_) {
        if (entry->disk.get() == &disk) return entry.get();
    }
    return nullptr;
}

PDEVICE_OBJECT StorageSubsystem::Pdo(const Disk& disk) const {
    Entry* entry = EntryOf(disk);
    return entry != nullptr ? entry->pdo : nullptr;
}

PDEVICE_OBJECT StorageSubsystem::Top(const Disk& disk) const {
    PDEVICE_OBJECT pdo = Pdo(disk);
    return pdo != nullptr ? hk::TopOfStack(pdo) : nullptr;
}

bool StorageSubsystem::Started(const Disk& disk) const {
    Entry* entry = EntryOf(disk);
    return entry != nullptr && entry->started;
}

bool StorageSubsystem::DiskHolds(PIRP irp) const {
    for (const auto& entry : entries_) {
        if (entry->pdo != nullptr && port_driver::HoldsRequest(entry->pdo, irp)) return true;
    }
    return false;
}

}  // namespace hw
