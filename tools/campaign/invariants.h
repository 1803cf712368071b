// What one run left behind, as plain facts, and the invariants the driver
// must keep over them. The runner (run.h) collects the facts; checks that
// need the machine at a given moment (the queue's content while a request
// leaves it) are made while it runs and arrive here as `seenWhileRunning`.
#pragma once

#include <hostkernel/io_space.h>

#include <ntddk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace campaign {

using hk::Time100ns;

// How a held request left the driver's queue.
enum class LeftBy { Nothing, Release, Stranded, Flush, DriverCancel };

struct RequestFacts {
    char op = 'R';  // 'R' read, 'W' write, 'F' flush, 'C' command or shutdown
    std::uint64_t offset = 0;  // reads and writes: unique within the run
    bool completed = false;
    std::uint32_t completions = 0;
    NTSTATUS status = STATUS_PENDING;
    Time100ns sentAt = 0;
    bool held = false;
    // Its place among the held requests in the order they entered the
    // queue, from 0; -1 when never held.
    std::int64_t holdIndex = -1;
    Time100ns heldAt = 0;
    LeftBy left = LeftBy::Nothing;
    Time100ns leftAt = 0;
    Time100ns fallClearedWhenLeft = -1;  // Flush: whether the fall had cleared when it passed it on
};

struct MediaFacts {
    std::uint64_t offset = 0;
    Time100ns received = 0;
    Time100ns start = 0;  // the disk began the transfer (it serves its commands in arrival order)
    bool failed = false;
};

// From the park command reaching the disk to the release (or the end).
struct Block {
    Time100ns parked = 0;
    Time100ns cleared = -1;  // the fall was over (the line dropped); -1: not while blocked
    Time100ns released = -1;  // -1: still blocked at the end
};

struct RunFacts {
    std::vector<RequestFacts> requests;
    std::vector<MediaFacts> media;  // in the order the disk served them
    std::vector<Block> blocks;
    std::vector<std::string> seenWhileRunning;  // violations found on the running machine
    std::optional<std::string> verifierStop;    // the stop report
    bool driverPresent = false;                 // the filter still attached at the end
    LONG outstandingIo = 0;
    ULONG readQueued = 0;
    ULONG writeQueued = 0;
    ULONG dispatchForwardCount = 0;
    Time100ns lastPark = -1;  // the disk received the last fall's park command
    bool unloaded = false;    // the driver was unloaded at the end
};

struct CheckOptions {
    // Today's driver passes held requests on at a flush during the fall; the
    // rule that holds a flush until the fall has cleared is on its way.
    bool allowFlushDrainMidFall = false;
};

// Every broken invariant, each in one line naming what broke.
std::vector<std::string> Check(const RunFacts& facts, const CheckOptions& options = CheckOptions());

}  // namespace campaign
