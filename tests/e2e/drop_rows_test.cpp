// The live notebook's account of a drop, from the machine's facts: when the
// fall was detected and the heads parked, which requests ZHP held and
// released, what reached the media while falling.
#include <gtest/gtest.h>

#include "protection_monitor.h"

namespace {

using notebook::DropRows;
using notebook::MachineFacts;

constexpr hk::Time100ns kMs = hk::kMillisecond;

MachineFacts OneDrop() {
    MachineFacts f;
    hw::DropFacts drop;
    drop.height_m = 0.5;
    drop.fall_start = 1000 * kMs;
    drop.impact = 1319 * kMs;
    drop.settled = 1530 * kMs;
    f.drops.push_back(drop);
    f.edges.push_back({1000 * kMs + 5000, true, false});   // 0.5 ms after release
    f.edges.push_back({1640 * kMs, false, false});
    hw::AtaCommandRecord park;
    park.task.command = 0xE1;
    park.received = 1001 * kMs;
    f.parks.push_back(park);
    f.unloads.push_back({hw::HeadEventKind::Unloaded, 1221 * kMs});
    hw::MediaAccess access;
    access.contact = 1200 * kMs;
    access.end = 1210 * kMs;
    access.while_falling = true;
    f.fallingAccesses.push_back(access);
    auto request = [&](hk::Time100ns sent, hk::Time100ns completed) {
        MachineFacts::Request r;
        r.sent = sent * kMs;
        r.completed = completed * kMs;
        r.done = true;
        f.requests.push_back(r);
    };
    request(990, 991);    // before the drop
    request(1010, 1240);  // delayed by the park, not held
    request(1300, 4640);  // held until the release
    request(1500, 4641);  // held
    request(4630, 4642);  // sent just before the release, released with it
    request(4700, 4701);  // after the release
    f.now = 10000 * kMs;
    return f;
}

TEST(DropRows, AFallDetectedParkedHeldAndReleased) {
    std::vector<notebook::DropRow> rows = DropRows(OneDrop());
    ASSERT_EQ(rows.size(), 1u);
    const notebook::DropRow& r = rows[0];
    EXPECT_EQ(r.number, 1);
    EXPECT_DOUBLE_EQ(r.fall_ms, 319.0);
    ASSERT_TRUE(r.line_up_ms);
    EXPECT_DOUBLE_EQ(*r.line_up_ms, 0.5);
    ASSERT_TRUE(r.park_command_ms);
    EXPECT_DOUBLE_EQ(*r.park_command_ms, 1.0);
    ASSERT_TRUE(r.heads_parked_ms);
    EXPECT_DOUBLE_EQ(*r.heads_parked_ms, 221.0);
    EXPECT_TRUE(r.parked_before_impact);
    EXPECT_EQ(r.held, 3u);
    EXPECT_EQ(r.released, 3u);
    EXPECT_EQ(r.media_io_while_falling, 1u);
    EXPECT_TRUE(r.over);
}

TEST(DropRows, RequestsStillQueuedAreHeldAndTheDropIsNotOver) {
    MachineFacts f = OneDrop();
    f.requests.resize(2);  // only those before and during the park
    MachineFacts::Request queued;
    queued.sent = 1300 * kMs;
    queued.queued = true;
    f.requests.push_back(queued);
    f.requests.push_back(queued);
    f.now = 2000 * kMs;
    std::vector<notebook::DropRow> rows = DropRows(f);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].held, 2u);
    EXPECT_EQ(rows[0].released, 0u);
    EXPECT_FALSE(rows[0].over);
}

TEST(DropRows, HeadsParkedAfterTheImpactOrNotAtAll) {
    MachineFacts late = OneDrop();
    late.unloads[0].at = 1400 * kMs;
    EXPECT_FALSE(DropRows(late)[0].parked_before_impact);

    MachineFacts none = OneDrop();
    none.parks.clear();
    none.unloads.clear();
    notebook::DropRow r = DropRows(none)[0];
    EXPECT_FALSE(r.park_command_ms);
    EXPECT_FALSE(r.heads_parked_ms);
    EXPECT_FALSE(r.parked_before_impact);
    std::string table = notebook::DropTable({r});
    EXPECT_NE(table.find("no park"), std::string::npos) << table;
    EXPECT_NE(table.find("total: 1 drop(s), 0 parked before impact, 3 held, 3 released, 1 media access(es)"),
              std::string::npos)
        << table;
}

TEST(DropRows, RequestsCountForTheDropTheyWereSentIn) {
    MachineFacts f = OneDrop();
    hw::DropFacts second = f.drops[0];
    second.fall_start = 8000 * kMs;
    second.impact = 8319 * kMs;
    second.settled = 8530 * kMs;
    f.drops.push_back(second);
    f.now = 20000 * kMs;
    std::vector<notebook::DropRow> rows = DropRows(f);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].held, 3u);
    EXPECT_EQ(rows[1].held, 0u);
    EXPECT_FALSE(rows[1].line_up_ms);
    EXPECT_EQ(rows[1].number, 2);
}

}  // namespace
