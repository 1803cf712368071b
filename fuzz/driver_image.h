// The ZHP module for the fuzzer: loaded once and kept mapped for the whole
// run, because libFuzzer keeps reading an instrumented module's coverage
// counters and an unloaded module would take them away. Each input starts
// from a freshly loaded driver all the same: Reset() puts the module's
// writable data (.data and .bss) back to what it was right after loading.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zhpfuzz {

class DriverImage {
public:
    // Loads the module at path; aborts the process when it cannot.
    explicit DriverImage(const std::string& path);

    PDRIVER_INITIALIZE Entry() const { return entry_; }
    void* Symbol(const char* name) const;
    // Back to the state right after loading.
    void Reset();

private:
    struct Section {
        std::uint8_t* address;
        std::vector<std::uint8_t> initial;
    };
    void* handle_ = nullptr;
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::vector<Section> sections_;
};

}  // namespace zhpfuzz
