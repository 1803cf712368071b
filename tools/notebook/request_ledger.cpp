#include "request_ledger.h"

#include <algorithm>

namespace notebook {

namespace {

// Counts a completed request by its outcome.
void CountCompleted(const hk::HostRequest& r, RequestCounts& counts) {
    if (r.status == STATUS_CANCELLED) {
        ++counts.cancelled;
    } else {
        ++counts.completed;
        if (!NT_SUCCESS(r.status)) ++counts.failed;
    }
}

}  // namespace

void RequestLedger::Add(IssuedRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    request.id = ++issued_;
    requests_.push_back(std::move(request));
}

std::uint64_t RequestLedger::Issued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return issued_;
}

std::vector<IssuedRequest> RequestLedger::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<IssuedRequest> RequestLedger::SentAfter(std::uint64_t seen) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto first = std::partition_point(requests_.begin(), requests_.end(),
                                      [seen](const IssuedRequest& r) { return r.id <= seen; });
    return std::vector<IssuedRequest>(first, requests_.end());
}

void RequestLedger::RetireCompleted(std::uint64_t seen) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto retire = [&](const IssuedRequest& issued) {
        if (issued.id > seen || !issued.request->completed) return false;
        CountCompleted(*issued.request, retired_);
        return true;
    };
    requests_.erase(std::remove_if(requests_.begin(), requests_.end(), retire), requests_.end());
}

std::size_t RequestLedger::Kept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

RequestCounts RequestLedger::Tally(const hw::StorageSubsystem* storage) const {
    std::lock_guard<std::mutex> lock(mutex_);
    RequestCounts counts = retired_;
    counts.issued = issued_;
    for (const IssuedRequest& issued : requests_) {
        const hk::HostRequest& r = *issued.request;
        if (r.completed) {
            CountCompleted(r, counts);
            continue;
        }
        // Pending: a request in a cancel-safe queue carries a cancel routine.
        const bool held = r.irp != nullptr &&
                          (r.irp->CancelRoutine != nullptr || (storage != nullptr && storage->DiskHolds(r.irp)));
        ++(held ? counts.held : counts.lost);
    }
    return counts;
}

void LogCompletion(EventLog& log, const IssuedRequest& issued) {
    const hk::HostRequest& r = *issued.request;
    if (!r.completed) return;
    log.Add(r.completedAt, "request",
            JsonObject()
                .Add("id", issued.id)
                .Add("op", issued.op)
                .Add("disk", issued.disk)
                .Add("offset", issued.offset)
                .Add("sent_us", static_cast<std::int64_t>(r.sentAt / hk::kMicrosecond))
                .Add("latency_us", static_cast<std::int64_t>((r.completedAt - r.sentAt) / hk::kMicrosecond))
                .Add("status", HexStatus(r.status))
                .Add("information", static_cast<std::uint64_t>(r.information)));
}

void RequestLedger::LogCompletions(EventLog& log) const {
    for (const IssuedRequest& issued : Requests()) LogCompletion(log, issued);
}

}  // namespace notebook
