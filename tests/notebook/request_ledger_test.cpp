// The request ledger in a long run: completed requests that have been looked
// at are retired into counts, pending ones stay, ids keep the sending order.
#include "request_ledger.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using notebook::IssuedRequest;
using notebook::RequestCounts;
using notebook::RequestLedger;

// A write as a user thread sends it; the test completes it by hand.
hk::RequestPtr Write(RequestLedger& ledger, std::uint64_t offset) {
    auto r = std::make_shared<hk::HostRequest>();
    r->major = IRP_MJ_WRITE;
    r->buffer.assign(4096, 0xa5);
    ledger.Add(IssuedRequest{r, "write", "sata0", offset});
    return r;
}

void Complete(hk::HostRequest& r, NTSTATUS status, hk::Time100ns at) {
    r.completed = true;
    r.status = status;
    r.sentAt = at - 10 * hk::kMicrosecond;
    r.completedAt = at;
}

TEST(RequestLedger, ALongStreamOfCompletedRequestsIsRetiredIntoCounts) {
    RequestLedger ledger;
    std::vector<std::weak_ptr<hk::HostRequest>> sent;
    std::vector<hk::RequestPtr> pending;  // every 1000th request never completes
    std::uint64_t seen = 0;
    for (int batch = 0; batch < 100; ++batch) {
        for (int i = 0; i < 100; ++i) {
            const std::uint64_t n = sent.size();
            hk::RequestPtr r = Write(ledger, n * 4096);
            sent.push_back(r);
            if (n % 1000 == 999) {
                pending.push_back(r);
            } else {
                Complete(*r, n % 10 == 3 ? STATUS_CANCELLED : n % 10 == 7 ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS,
                         static_cast<hk::Time100ns>(n) * hk::kMillisecond);
            }
        }
        // The watcher takes what is new, in sending order, then retires it.
        const std::vector<IssuedRequest> fresh = ledger.SentAfter(seen);
        ASSERT_EQ(fresh.size(), 100u);
        for (const IssuedRequest& issued : fresh) EXPECT_EQ(issued.id, ++seen);
        ledger.RetireCompleted(seen);
        EXPECT_EQ(ledger.Kept(), pending.size()) << "after batch " << batch;
    }

    EXPECT_EQ(ledger.Issued(), 10000u);
    // Retired requests are let go with their buffers; pending ones are not.
    std::size_t alive = 0;
    for (const auto& w : sent) alive += w.expired() ? 0 : 1;
    EXPECT_EQ(alive, pending.size());
    const std::vector<IssuedRequest> kept = ledger.Requests();
    ASSERT_EQ(kept.size(), 10u);
    EXPECT_EQ(kept.front().id, 1000u);
    EXPECT_EQ(kept.back().id, 10000u);
    EXPECT_EQ(kept.back().offset, 9999u * 4096);

    const RequestCounts counts = ledger.Tally(nullptr);
    EXPECT_EQ(counts.issued, 10000u);
    EXPECT_EQ(counts.cancelled, 1000u);
    EXPECT_EQ(counts.completed, 10000u - 1000u - 10u);
    EXPECT_EQ(counts.failed, 1000u);
    EXPECT_EQ(counts.held, 0u);
    EXPECT_EQ(counts.lost, 10u) << "pending, with no driver holding them";
}

TEST(RequestLedger, OnlyCompletedRequestsAlreadySeenRetire) {
    RequestLedger ledger;
    hk::RequestPtr first = Write(ledger, 0);
    hk::RequestPtr second = Write(ledger, 4096);
    hk::RequestPtr third = Write(ledger, 8192);
    Complete(*first, STATUS_SUCCESS, 100);
    Complete(*third, STATUS_SUCCESS, 300);

    ledger.RetireCompleted(2);  // the third has not been looked at yet
    std::vector<IssuedRequest> kept = ledger.Requests();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].id, 2u);
    EXPECT_EQ(kept[1].id, 3u);
    EXPECT_EQ(ledger.SentAfter(2).size(), 1u);

    // Completions of the kept requests still log under their sending ids.
    notebook::EventLog log;
    ledger.LogCompletions(log);
    ASSERT_EQ(log.Count("request"), 1u);
    EXPECT_NE(log.Text().find("\"id\":3,"), std::string::npos) << log.Text();

    Complete(*second, STATUS_SUCCESS, 200);
    ledger.RetireCompleted(3);
    EXPECT_EQ(ledger.Kept(), 0u);
    const RequestCounts counts = ledger.Tally(nullptr);
    EXPECT_EQ(counts.issued, 3u);
    EXPECT_EQ(counts.completed, 3u);
    EXPECT_EQ(counts.lost, 0u);
}

}  // namespace
