// Runs one plan on a fresh simulated notebook with ZHP, in virtual time.
//
// The host thread takes the plan's steps at their times; senders run on
// emulated threads of their own; commands, power changes and shutdown each
// get a thread, as callers in the system would. A debug sink follows the
// driver's held-request messages as they are printed, on the printing
// thread, and looks at the queue right there. When the last step is over,
// faults are lifted and the machine runs until every request has completed
// (at most kSettleLimit); the facts are taken, then the disk is removed and
// the driver unloaded.
#pragma once

#include "invariants.h"
#include "plan.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace campaign {

constexpr Time100ns kSettleLimit = 12 * hk::kSecond;

struct RunOptions {
    std::string driverPath;
    std::string sourceDir;  // install/*.reg come from here
    bool keepTrace = false;
};

struct RunResult {
    RunFacts facts;
    std::array<std::uint64_t, static_cast<std::size_t>(ActionKind::Count)> taken{};
    // Of those, taken while the disk was blocked (cancels: of held requests).
    std::array<std::uint64_t, static_cast<std::size_t>(ActionKind::Count)> takenWhileBlocked{};
    // Steps that could not be taken as planned: a generator fault.
    std::vector<std::string> notTaken;
    std::string trace;  // with keepTrace: the debug output with virtual times
    Time100ns virtualTime = 0;
};

RunResult Execute(const Plan& plan, const RunOptions& options);

}  // namespace campaign
