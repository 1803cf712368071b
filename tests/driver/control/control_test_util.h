// Small helpers shared by the control device tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver_machine.h"

namespace zhptest {

using Words = std::vector<std::pair<unsigned, std::uint32_t>>;

// An 80-byte (or longer) command block as a caller fills it.
inline std::vector<std::uint8_t> CommandBlock(std::uint32_t command, const Words& words = {},
                                              std::size_t length = ZHP_COMMAND_BLOCK_SIZE) {
    std::vector<std::uint8_t> block(length, 0);
    auto put = [&](unsigned offset, std::uint32_t value) {
        for (unsigned i = 0; i < 4 && offset + i < block.size(); ++i) block[offset + i] = (value >> (8 * i)) & 0xFF;
    };
    put(0, command);
    for (const auto& w : words) put(w.first, w.second);
    return block;
}

// The bytes of a value of the driver's INIT key, or nothing.
inline std::optional<std::vector<std::uint8_t>> InitValue(Machine& m, const wchar_t* name) {
    auto value = m.kernel.Reg().GetValue(kInitKey, name);
    if (!value) return std::nullopt;
    return value->data;
}

// Lets the machine run until the request has completed or the limit passed.
inline bool RunUntilCompleted(Machine& m, const hk::HostRequest& request, hk::Time100ns limit = hk::kSecond) {
    hk::Time100ns until = m.kernel.Now() + limit;
    while (!request.completed && m.kernel.Now() < until && !m.kernel.Stopped()) m.kernel.RunFor(hk::kMillisecond);
    return request.completed;
}

// How many debug lines contain text.
inline int TraceCount(const Machine& m, const std::string& text) {
    int count = 0;
    for (const auto& line : m.kernel.DebugOutput()) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

// Index of the first debug line at or after `from` that contains text; -1 if none.
inline int TraceIndex(const Machine& m, const std::string& text, int from = 0) {
    const auto& lines = m.kernel.DebugOutput();
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].find(text) != std::string::npos) return i;
    }
    return -1;
}

}  // namespace zhptest
