// One small notebook per fuzz input: the host kernel in virtual time with
// the verifier on, the chipset models, one SATA disk with its stack and ZHP
// as its upper filter, booted with the installer's registry. Any verifier
// stop ends the process with the stop report.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <ntddk.h>

#include "driver_image.h"
#include "hostkernel/io.h"
#include "hostkernel/kernel.h"
#include "hw/chipset.h"
#include "hw/storage.h"

namespace zhpfuzz {

// Opens the device as a program would and closes it again; false when the
// open failed. On an emulated thread.
bool OpenAndClose(PDEVICE_OBJECT device);

class Notebook {
public:
    Notebook(DriverImage& image, std::uint64_t seed, unsigned preemptPercent);
    ~Notebook();

    hk::Kernel kernel;
    hw::Chipset chipset;
    hw::StorageSubsystem storage;
    PDRIVER_OBJECT zhp = nullptr;

    hw::Disk& Disk() { return *storage.Disks().at(0); }
    bool Removed() { return storage.Pdo(Disk()) == nullptr; }
    PDEVICE_OBJECT Pdo() { return storage.Pdo(Disk()); }
    PDEVICE_OBJECT DiskTop() { return storage.Top(Disk()); }
    PDEVICE_OBJECT Control();
    PDEVICE_OBJECT Filter();

    // Runs fn on a new emulated thread and leaves it running.
    void Spawn(const std::function<void()>& fn, const char* name);
    // Runs fn on an emulated thread until it returns; a thread that does not
    // return within the limit is a hang.
    void Do(const std::function<void()>& fn, const char* what);
    void Run(hk::Time100ns duration);
    // Waits for every spawned thread.
    void JoinAll(hk::Time100ns limit);

    // Aborts the process with the verifier's report if the machine stopped.
    void CheckNotStopped(const char* where);
    [[noreturn]] void Finding(const std::string& what);

    // Called once before the process aborts on a finding (a target that
    // keeps a machine across inputs saves what led there).
    static void BeforeAbort(std::function<void()> hook);

private:
    DriverImage& image_;
    std::vector<PKTHREAD> threads_;
};

}  // namespace zhpfuzz
