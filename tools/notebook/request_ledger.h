// Every read, write and flush the scenario's user threads send, and what
// became of each by the end of the run.
#pragma once

#include "event_log.h"

#include "hw/storage.h"

#include <hostkernel/io.h>

#include <mutex>
#include <string>
#include <vector>

namespace notebook {

struct IssuedRequest {
    hk::RequestPtr request;
    std::string op;  // "read", "write", "flush"
    std::string disk;
    std::uint64_t offset = 0;
};

struct RequestCounts {
    std::uint64_t issued = 0;
    std::uint64_t completed = 0;  // completed with any status but STATUS_CANCELLED
    std::uint64_t failed = 0;     // of those, with an error status
    std::uint64_t cancelled = 0;
    std::uint64_t held = 0;       // pending at exit in a driver's cancel-safe queue or in a disk
    std::uint64_t lost = 0;       // pending at exit and held by nobody
};

class RequestLedger {
public:
    void Add(IssuedRequest request);
    // For the host thread while the machine is paused.
    RequestCounts Tally(const hw::StorageSubsystem* storage) const;
    // One "request" event per completed request, at its completion time; the
    // id is the request's place in the order of sending, from 1.
    void LogCompletions(EventLog& log) const;
    std::vector<IssuedRequest> Requests() const;

private:
    mutable std::mutex mutex_;
    std::vector<IssuedRequest> requests_;
};

}  // namespace notebook
