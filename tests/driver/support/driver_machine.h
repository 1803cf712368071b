// A notebook for driver tests: the host kernel in virtual time, the chipset
// models on its ports, the disks with their stacks, and ZHP loaded from its
// module as an upper filter of the disk class, with the installer's registry.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ntddk.h>

#include "core/device_extension.h"
#include "hostkernel/io.h"
#include "hostkernel/kernel.h"
#include "hostkernel/registry.h"
#include "hw/chipset.h"
#include "hw/storage.h"
#include "shared/zhp_command.h"

namespace zhptest {

extern const wchar_t* const kInitKey;

struct MachineOptions {
    std::uint64_t seed = 1;
    unsigned preemptPercent = 10;
    // Windows' clock interrupt (the default) or the exact clock; with the
    // resolution locked, the driver's request for a finer one is not granted.
    hk::ClockInterrupt clockInterrupt = hk::ClockInterrupt::Windows;
    bool lockTimerResolution = false;
    unsigned processors = 1;
    std::vector<hw::DiskConfig> disks{hw::DiskConfig{}};
    hw::ChipsetConfig chipset;
    bool loadRegistry = true;  // install/ZHP.reg and install/Halvorin.reg
    // Edits applied to the registry before boot.
    std::function<void(hk::Registry&)> editRegistry;
    bool start = true;  // Plug and Play for every disk at boot
};

// The reply to one command block.
struct Reply {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR bytes = 0;
    std::uint32_t words[20] = {};
    std::uint32_t Word(unsigned offset) const { return words[offset / 4]; }
};

class Machine {
public:
    explicit Machine(const MachineOptions& options = MachineOptions());
    ~Machine();

    hk::Kernel kernel;
    hw::Chipset chipset;
    hw::StorageSubsystem storage;
    PDRIVER_OBJECT zhp = nullptr;
    std::vector<NTSTATUS> startResults;

    hw::Disk& Disk(std::size_t index = 0) { return *storage.Disks().at(index); }
    // The top of the first disk's stack (the filter when ZHP filters it).
    PDEVICE_OBJECT DiskTop(std::size_t index = 0) { return storage.Top(Disk(index)); }
    PDEVICE_OBJECT Filter();           // the driver's FilterDeviceObject
    DEVICE_EXTENSION* FilterExt();
    PDEVICE_OBJECT Control();          // \DosDevices\VELMORACC, or null
    ULONG Flag() { return FilterExt()->Flag; }

    // A driver global by name (the driver exports them for inspection).
    template <typename T>
    T& Global(const char* name) {
        return *static_cast<T*>(Symbol(name));
    }
    // A driver routine by name, typed by its declaration:
    // m.Routine<decltype(ZHP_Trace)>("ZHP_Trace").
    template <typename F>
    F* Routine(const char* name) {
        return reinterpret_cast<F*>(Symbol(name));
    }

    // Sends a command block to a device (default: the control device) as a
    // user-mode caller does and returns the request (it may stay pending).
    hk::RequestPtr SendCommand(std::uint32_t command, std::vector<std::pair<unsigned, std::uint32_t>> words = {},
                               PDEVICE_OBJECT device = nullptr, ULONG inLength = 80, ULONG outLength = 80);
    // Sends and lets the machine run until the reply is in (or limit passes).
    Reply Command(std::uint32_t command, std::vector<std::pair<unsigned, std::uint32_t>> words = {},
                  hk::Time100ns limit = hk::kSecond);
    static Reply ReplyOf(const hk::HostRequest& request);

    // Runs fn on an emulated thread; fails the test if the machine stopped.
    void Do(const std::function<void()>& fn);
    void Run(hk::Time100ns duration);
    // Forces the sensor's interrupt line, bypassing physics.
    void Pin(bool on);
    std::string Trace() const;  // the driver's debug output so far, concatenated
    bool TraceHas(const std::string& text) const;

private:
    void* Symbol(const char* name);
    void* module_ = nullptr;
};

}  // namespace zhptest
