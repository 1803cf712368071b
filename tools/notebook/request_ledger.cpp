#include "request_ledger.h"

namespace notebook {

void RequestLedger::Add(IssuedRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
}

std::vector<IssuedRequest> RequestLedger::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

RequestCounts RequestLedger::Tally(const hw::StorageSubsystem* storage) const {
    RequestCounts counts;
    for (const IssuedRequest& issued : Requests()) {
        const hk::HostRequest& r = *issued.request;
        ++counts.issued;
        if (r.completed) {
            if (r.status == STATUS_CANCELLED) {
                ++counts.cancelled;
            } else {
                ++counts.completed;
                if (!NT_SUCCESS(r.status)) ++counts.failed;
            }
            continue;
        }
        // Pending: a request in a cancel-safe queue carries a cancel routine.
        const bool held = r.irp != nullptr &&
                          (r.irp->CancelRoutine != nullptr || (storage != nullptr && storage->DiskHolds(r.irp)));
        ++(held ? counts.held : counts.lost);
    }
    return counts;
}

void RequestLedger::LogCompletions(EventLog& log) const {
    const std::vector<IssuedRequest> requests = Requests();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const IssuedRequest& issued = requests[i];
        const hk::HostRequest& r = *issued.request;
        if (!r.completed) continue;
        JsonObject fields;
        fields.Add("id", static_cast<std::uint64_t>(i + 1))
            .Add("op", issued.op)
            .Add("disk", issued.disk)
            .Add("offset", issued.offset)
            .Add("sent_us", static_cast<std::int64_t>(r.sentAt / hk::kMicrosecond))
            .Add("latency_us", static_cast<std::int64_t>((r.completedAt - r.sentAt) / hk::kMicrosecond))
            .Add("status", HexStatus(r.status))
            .Add("information", static_cast<std::uint64_t>(r.information));
        log.Add(r.completedAt, "request", fields);
    }
}

}  // namespace notebook
