// The request ledger in a long run: completed requests that have been looked
// at are retired into counts, pending ones stay, ids keep the sending order.
#include "request_ledger.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(RequestLedger, CompletedRequestsSeenAreRetiredIntoCountsAndPendingOnesStay) {
    notebook::RequestLedger ledger;
    std::vector<std::weak_ptr<hk::HostRequest>> sent;
    std::uint64_t seen = 0;
    for (std::uint64_t n = 0; n < 10000; ++n) {
        auto r = std::make_shared<hk::HostRequest>();
        r->buffer.assign(4096, 0xa5);
        ledger.Add(notebook::IssuedRequest{r, "write", "sata0", n * 4096});
        sent.push_back(r);
        // Every 1000th stays pending; of the others a tenth fail, a tenth are cancelled.
        r->completed = n % 1000 != 500;
        r->status = n % 10 == 3 ? STATUS_CANCELLED : n % 10 == 7 ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
        if (n % 100 != 99) continue;
        // A look: the new requests in sending order, then retirement; the
        // newest one is left unseen and must stay kept though completed.
        for (const notebook::IssuedRequest& issued : ledger.SentAfter(seen)) {
            if (issued.id == n + 1) break;
            EXPECT_EQ(issued.id, ++seen);
        }
        ledger.RetireCompleted(seen);
        EXPECT_EQ(ledger.Kept(), (n + 500) / 1000 + 1) << "after request " << n + 1;
    }
    const std::vector<notebook::IssuedRequest> kept = ledger.Requests();
    ASSERT_EQ(kept.size(), 11u);
    EXPECT_EQ(kept.front().id, 501u);
    EXPECT_EQ(kept.back().offset, 9999u * 4096) << "the unseen last one";
    // Retired requests are let go with their buffers.
    std::size_t alive = 0;
    for (const auto& w : sent) alive += w.expired() ? 0 : 1;
    EXPECT_EQ(alive, 11u);

    const notebook::RequestCounts counts = ledger.Tally(nullptr);
    EXPECT_EQ(counts.issued, 10000u);
    EXPECT_EQ(counts.cancelled, 1000u);
    EXPECT_EQ(counts.failed, 1000u);
    EXPECT_EQ(counts.completed, 10000u - 1000u - 10u);
    EXPECT_EQ(counts.lost, 10u) << "pending, held by no driver";
    notebook::EventLog log;
    ledger.LogCompletions(log);
    EXPECT_EQ(log.Count("request"), 1u);
    EXPECT_NE(log.Text().find("\"id\":10000,"), std::string::npos) << log.Text();
}

}  // namespace
