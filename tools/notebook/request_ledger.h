// Every read, write and flush the scenario's user threads send, and what
// became of each by the end of the run.
//
// A scenario keeps every request to the end (its summary and event log tell
// each one). The live notebook runs for hours: its protection log retires the
// requests it has looked at once they have completed, so that only pending
// ones stay kept and the completed ones live on as counts.
#pragma once

#include "event_log.h"

#include "hw/storage.h"

#include <hostkernel/io.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace notebook {

struct IssuedRequest {
    hk::RequestPtr request;
    std::string op;  // "read", "write", "flush"
    std::string disk;
    std::uint64_t offset = 0;
    std::uint64_t id = 0;  // the place in the order of sending, from 1 (the ledger gives it)
};

struct RequestCounts {
    std::uint64_t issued = 0;
    std::uint64_t completed = 0;  // completed with any status but STATUS_CANCELLED
    std::uint64_t failed = 0;     // of those, with an error status
    std::uint64_t cancelled = 0;
    std::uint64_t held = 0;       // pending at exit in a driver's cancel-safe queue or in a disk
    std::uint64_t lost = 0;       // pending at exit and held by nobody
};

// One "request" event for a completed request, at its completion time.
void LogCompletion(EventLog& log, const IssuedRequest& issued);

class RequestLedger {
public:
    void Add(IssuedRequest request);
    // Requests sent so far, retired ones included.
    std::uint64_t Issued() const;
    // For the host thread while the machine is paused. Retired requests count
    // by the outcome they had.
    RequestCounts Tally(const hw::StorageSubsystem* storage) const;
    // One "request" event per completed request kept, at its completion time.
    void LogCompletions(EventLog& log) const;
    // The requests kept, in the order of sending.
    std::vector<IssuedRequest> Requests() const;
    // The requests kept that were sent after the first `seen` ones.
    std::vector<IssuedRequest> SentAfter(std::uint64_t seen) const;

    // Counts the completed requests among the first `seen` ones by outcome
    // and forgets them; pending ones stay kept. The caller holds the
    // processor (requests complete on emulated threads).
    void RetireCompleted(std::uint64_t seen);
    // Requests kept: pending ones, and those not retired yet.
    std::size_t Kept() const;

private:
    mutable std::mutex mutex_;
    std::vector<IssuedRequest> requests_;  // kept, in the order of sending
    std::uint64_t issued_ = 0;
    RequestCounts retired_;  // outcomes of the requests forgotten
};

}  // namespace notebook
