// Instruments for the sensor engine's tests: a window onto the SMBus host
// controller that records every register access the driver makes (and can
// change what a register reads back), a spy on the park requests that reach
// the disk class driver, debug output with the time it was printed, the two
// named events as the utility sees them, and small registry helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver_machine.h"

namespace sensortest {

using zhptest::Machine;
using zhptest::MachineOptions;

// ------------------------------------------------------------------ registry
void SetInit(hk::Registry& reg, const std::wstring& name, std::vector<std::uint8_t> data,
             std::uint32_t type = hk::kRegBinary);
void DeleteInit(hk::Registry& reg, const std::wstring& name);
std::optional<std::vector<std::uint8_t>> InitValue(Machine& m, const std::wstring& name);

// A driver routine by its exported name, typed by its declaration.
template <typename F>
F* Routine(Machine& m, const char* name) {
    return reinterpret_cast<F*>(&m.Global<unsigned char>(name));
}

// ------------------------------------------------------------------ SMBus tap
struct SmbusAccess {
    hk::Time100ns at = 0;
    std::uint8_t offset = 0;  // from the base
    bool write = false;
    std::uint8_t value = 0;   // written, or read back as the driver saw it
};

// A second decode window of the chipset's SMBus host controller at kBase:
// the driver is told (PCI_SMBUS_ADDR) to use it, and every access is passed
// on to the real controller and recorded.
class SmbusTap : public hk::PortHandler {
public:
    static constexpr std::uint16_t kBase = 0x5000;
    static constexpr std::uint16_t kCount = 32;

    void Attach(hw::SmbusHostController& controller, hk::TimeSource& clock);

    // Replaces what a register reads back (the hardware is still read).
    std::function<std::uint8_t(std::uint8_t offset, std::uint8_t hardware)> readFilter;
    std::vector<SmbusAccess> log;
    bool recording = true;

    std::uint32_t ReadPort(std::uint16_t port, unsigned width) override;
    void WritePort(std::uint16_t port, std::uint32_t value, unsigned width) override;

    // Registers the driver selected (host command writes) for transactions
    // addressed to slave8 (read when bit 0 is set), in the order started.
    std::vector<std::uint8_t> Transactions(std::uint8_t slave8) const;
    struct Started {
        hk::Time100ns at;
        std::uint8_t reg;
    };
    std::vector<Started> StartedTransactions(std::uint8_t slave8) const;
    std::vector<SmbusAccess> Writes() const;

private:
    hw::SmbusHostController* controller_ = nullptr;
    hk::TimeSource* clock_ = nullptr;
};

// Boots a machine whose registry puts the SMBus base at the tap. The tap
// must outlive the machine.
std::unique_ptr<Machine> BootWithTap(SmbusTap& tap, MachineOptions options = MachineOptions());

// ------------------------------------------------------------------ park requests
struct CapturedDeviceControl {
    ULONG code = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    std::vector<std::uint8_t> input;  // the buffer as it went down
    hk::Time100ns at = 0;
};

// Sees every device-control request that reaches the disk class driver
// (the device below the filter) before the class driver does.
class DeviceControlSpy {
public:
    explicit DeviceControlSpy(Machine& m);
    ~DeviceControlSpy();
    std::vector<CapturedDeviceControl> requests;

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    Machine& m_;
    PDRIVER_DISPATCH original_ = nullptr;
};

// ------------------------------------------------------------------ timed trace
struct TimedLine {
    hk::Time100ns at;
    std::string text;
};

class TimedTrace {
public:
    explicit TimedTrace(Machine& m);
    ~TimedTrace();
    std::vector<hk::Time100ns> TimesOf(const std::string& text) const;
    std::size_t Count(const std::string& text) const { return TimesOf(text).size(); }
    std::optional<hk::Time100ns> First(const std::string& text) const;
    std::vector<TimedLine> lines;

private:
    Machine& m_;
};

// ------------------------------------------------------------------ named events
// VrFFEvent01 and VrFFEvent02 opened by name, as the utility opens them.
class FallEvents {
public:
    explicit FallEvents(Machine& m);
    ~FallEvents();
    bool Fall();
    bool Cleared();
    void Reset();
    void Set();
    PKEVENT fall = nullptr;
    PKEVENT cleared = nullptr;

private:
    Machine& m_;
    HANDLE fallHandle_ = nullptr;
    HANDLE clearedHandle_ = nullptr;
};

// ------------------------------------------------------------------ running
// Runs in steps until done() holds; false if limit passed first.
bool RunUntil(Machine& m, const std::function<bool()>& done, hk::Time100ns limit,
              hk::Time100ns step = hk::kMillisecond);

// Switches protection on as the utility does (shipped threshold and delay).
void ProtectionOn(Machine& m);

std::size_t Occurrences(const std::string& haystack, const std::string& needle);

}  // namespace sensortest
