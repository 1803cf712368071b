// The notebook's storage stack on the host kernel: port drivers that own the
// disks' physical device objects, the disk class driver above them, and the
// Plug and Play sequence that builds each disk's stack.
//
//   upper filters (ZHP, when loaded)       \Driver\ZHP
//   disk class FDO  \Device\HarddiskN\DR N  \Driver\disk
//   physical device object                 \Driver\storahci, \Driver\USBSTOR, \Driver\sdbus, ...
//
// The drivers are WDM drivers: they talk to the kernel only through the WDM
// API. DiskPortDriverEntry serves any bus driver name, so every bus name a
// test needs (USB, SD card readers, odd vendor names) is the same code under
// another driver object.
//
// The port driver executes one command at a time per disk, in arrival order:
// reads, writes, flushes, shutdowns, IOCTL_ATA_PASS_THROUGH and device
// set-power requests wait in a cancel-safe queue (cancellable until the disk
// takes them up), and each is completed by a timer DPC when hw::Disk says it
// is done. ATA pass-through reports command errors the way a real port driver
// does: the request succeeds and the returned task file carries status ERR
// and error ABRT; only a time-out (TimeOutValue seconds) fails the request,
// with STATUS_IO_TIMEOUT, while the disk finishes the command anyway.
//
// Power: the disk class driver follows the device power state of the
// set-power requests that pass it. A read or write that finds the disk in D3
// waits in the class driver while it asks for D0 with PoRequestPowerIrp; that
// request goes down the whole stack, upper filters included, and the waiting
// requests follow it in arrival order, as with Windows' disk class driver.
//
// Removal: IRP_MN_REMOVE_DEVICE fails the queued requests with
// STATUS_NO_SUCH_DEVICE, waits for the command in the disk and completes; the
// physical device object stays (a bus driver keeps it while the device is
// present) until StorageSubsystem::RemoveDisk reports the disk gone and the
// port driver deletes it.
#pragma once

#include "hw/disk.h"

#include <hostkernel/kernel.h>
#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

namespace hw {

// Entry of every disk port / bus driver (storahci, USBSTOR, sdbus, ...).
NTSTATUS DiskPortDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
// Entry of the disk class driver ("disk").
NTSTATUS DiskClassDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// The disks of one machine. Every method runs on the host thread (it drives
// the machine with Kernel::Call and LoadDriver), never on an emulated thread.
class StorageSubsystem {
public:
    explicit StorageSubsystem(hk::Kernel& kernel);
    ~StorageSubsystem();
    StorageSubsystem(const StorageSubsystem&) = delete;
    StorageSubsystem& operator=(const StorageSubsystem&) = delete;

    // Loads the bus driver on its first use and lets it report the disk: a
    // physical device object with the disk's characteristics. Throws
    // std::invalid_argument for a duplicate name or an unusable driver name.
    Disk& AddDisk(const DiskConfig& config);

    // Plug and Play for one disk: the disk class driver's add-device, then each
    // upper filter's, then start. If an add-device fails, the stack built so
    // far is removed again and that status is returned.
    NTSTATUS StartDisk(Disk& disk, const std::vector<PDRIVER_OBJECT>& upper_filters);
    // StartDisk for every disk not started yet, in the order they were added.
    std::vector<NTSTATUS> StartAll(const std::vector<PDRIVER_OBJECT>& upper_filters);
    // Plug and Play removal, then the bus driver deletes the physical device
    // object. The Disk and its facts stay.
    NTSTATUS RemoveDisk(Disk& disk);

    // Letters, digits, '_', '-' and '.', at most 64; "disk" is the class driver's.
    static bool IsUsableBusDriverName(const std::string& name);

    Disk* Find(const std::string& name);
    std::vector<Disk*> Disks();  // in the order added, removed ones included
    PDEVICE_OBJECT Pdo(const Disk& disk) const;  // null once removed
    PDEVICE_OBJECT Top(const Disk& disk) const;  // top of the disk's stack; null once removed
    bool Started(const Disk& disk) const;
    // True while the request waits for a disk or is in one. For the host
    // thread while the machine is paused.
    bool DiskHolds(PIRP irp) const;
    PDRIVER_OBJECT ClassDriver() const { return class_driver_; }
    PDRIVER_OBJECT BusDriver(const std::string& name) const;

private:
    struct Entry;
    Entry* EntryOf(const Disk& disk) const;

    hk::Kernel& kernel_;
    PDRIVER_OBJECT class_driver_ = nullptr;
    std::vector<std::pair<std::string, PDRIVER_OBJECT>> bus_drivers_;
    std::vector<std::unique_ptr<Entry>> entries_;
    unsigned next_pdo_number_ = 0x20;
};

}  // namespace hw
