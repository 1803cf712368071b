// Helpers shared by the driver core tests: blocking the disk the way a fall
// does, reading the debug output line by line, and watching it as it is
// printed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver_machine.h"

namespace coretest {

// Installs a debug sink for the life of the scope. The sink runs on the
// emulated thread that prints, inside DbgPrint, so it sees the machine
// exactly at that point of the driver's code.
class SinkScope {
public:
    SinkScope(hk::Kernel& kernel, std::function<void(const std::string&)> sink);
    ~SinkScope();
    SinkScope(const SinkScope&) = delete;
    SinkScope& operator=(const SinkScope&) = delete;

private:
    hk::Kernel& kernel_;
};

// The driver's trace settings (exported globals) for a test to change; the
// build's values come back at the end of the scope.
class TraceSettings {
public:
    explicit TraceSettings(zhptest::Machine& m)
        : level(m.Global<ULONG>("TraceLevel")),
          components(m.Global<ULONG>("TraceComponents")),
          savedLevel_(level),
          savedComponents_(components) {}
    ~TraceSettings() {
        level = savedLevel_;
        components = savedComponents_;
    }
    TraceSettings(const TraceSettings&) = delete;
    TraceSettings& operator=(const TraceSettings&) = delete;
    void Set(ULONG newLevel, ULONG newComponents) {
        level = newLevel;
        components = newComponents;
    }

    ULONG& level;
    ULONG& components;

private:
    ULONG savedLevel_;
    ULONG savedComponents_;
};

// Switches protection on through the control device, as the utility does.
void SwitchProtectionOn(zhptest::Machine& m);
// Protection on, interrupt line forced high, heads parked: reads and writes
// are held from now on (until the release timer, about 2 s at the earliest).
void BlockDisk(zhptest::Machine& m);
// Command 106: release the held requests now.
zhptest::Reply ReleaseNow(zhptest::Machine& m);

// Requests to the top of the first disk's stack, sent from an emulated thread.
hk::RequestPtr Read(zhptest::Machine& m, std::uint64_t offset);
hk::RequestPtr Write(zhptest::Machine& m, std::uint64_t offset);

// The held requests, oldest first, as the filter's record lists them.
std::vector<PIRP> HeldIrps(zhptest::Machine& m);
// Offsets of the disk's media accesses from index `from` on, in the order made.
std::vector<std::uint64_t> MediaOffsets(zhptest::Machine& m, std::size_t from = 0);

// The debug output as printed, one DbgPrint per entry, from index `from` on.
std::vector<std::string> Lines(const zhptest::Machine& m, std::size_t from = 0);
// How a pointer prints through %p: 16 upper-case hex digits.
std::string PointerText(const void* p);
// Whether `lines` holds `expected` as consecutive entries.
bool HasRun(const std::vector<std::string>& lines, const std::vector<std::string>& expected);
// Number of entries equal to `line`.
std::size_t Count(const std::vector<std::string>& lines, const std::string& line);

}  // namespace coretest
