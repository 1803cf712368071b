// The disk's mechanics and facts, driven directly as its port driver drives it.
#include "hw/disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using hk::kMicrosecond;
using hk::kMillisecond;
using hk::kSecond;
using hw::AtaTaskFile;
using hw::Disk;
using hw::DiskCommandKind;
using hw::DiskOperation;
using hw::DiskOutcome;
using hw::DiskRequest;

const AtaTaskFile kUnload{0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00};
const AtaTaskFile kStandby{0x00, 0x44, 0x00, 0x4C, 0x4E, 0x55, 0xE0, 0x00};

DiskRequest Media(DiskCommandKind kind, std::uint64_t offset = 0, std::uint32_t length = 512) {
    DiskRequest r;
    r.kind = kind;
    r.offset = offset;
    r.length = length;
    return r;
}

DiskRequest Ata(const AtaTaskFile& task, hk::Time100ns timeout = 2 * kSecond) {
    DiskRequest r;
    r.kind = DiskCommandKind::Ata;
    r.task = task;
    r.timeout = timeout;
    return r;
}

// Runs one command to its end, as the port driver does.
DiskOperation Execute(Disk& disk, const DiskRequest& request, hk::Time100ns now) {
    DiskOperation op = disk.Begin(request, now);
    disk.Finish(op);
    return op;
}

TEST(DiskModel, SectorsKeepWhatWasWrittenAndReadZeroElsewhere) {
    Disk disk(hw::DiskConfig{});
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    disk.WriteData(4096, data.data(), 1024);
    std::vector<std::uint8_t> back(1536, 0xEE);
    disk.ReadData(4096, back.data(), 1536);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + 1024, back.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(DiskModel, TransfersTakeASeededFractionOfAMillisecondToTwo) {
    hw::DiskConfig config;
    config.seed = 99;
    Disk a(config), b(config);
    hk::Time100ns t = 0;
    for (int i = 0; i < 50; ++i) {
        DiskOperation op = Execute(a, Media(i % 2 ? DiskCommandKind::Write : DiskCommandKind::Read), t);
        EXPECT_GE(op.done - t, 100 * kMicrosecond);
        EXPECT_LE(op.done - t, 2 * kMillisecond);
        EXPECT_EQ(op.done, Execute(b, Media(i % 2 ? DiskCommandKind::Write : DiskCommandKind::Read), t).done);
        t = op.done;
    }
    EXPECT_EQ(a.MediaAccesses().size(), 50u);
    EXPECT_EQ(a.ReadsCompleted(), 25u);
    EXPECT_EQ(a.WritesCompleted(), 25u);
}

TEST(DiskModel, UnloadParksWithinAFewHundredMillisecondsAndTheNextAccessLoads) {
    Disk disk(hw::DiskConfig{});
    ASSERT_TRUE(disk.HeadsLoaded());
    DiskOperation park = Execute(disk, Ata(kUnload), 10 * kMillisecond);
    EXPECT_EQ(park.outcome, DiskOutcome::Ok);
    EXPECT_GE(park.done - park.started, 200 * kMillisecond);
    EXPECT_LE(park.done - park.started, 260 * kMillisecond);
    EXPECT_EQ(park.reply_task.command, 0x50);
    EXPECT_EQ(park.reply_task.lba_low, 0xC4);
    EXPECT_FALSE(disk.HeadsLoaded());
    EXPECT_TRUE(disk.Spinning());
    EXPECT_TRUE(disk.HeadsUnloadedAt(park.done));
    EXPECT_FALSE(disk.HeadsUnloadedAt(park.started));

    // Parking parked heads is quick.
    DiskOperation again = Execute(disk, Ata(kUnload), park.done);
    EXPECT_LT(again.done - again.started, kMillisecond);

    const hk::Time100ns t = again.done + kSecond;
    DiskOperation read = Execute(disk, Media(DiskCommandKind::Read), t);
    EXPECT_TRUE(read.loads_heads);
    EXPECT_EQ(read.transfer - t, 20 * kMillisecond);
    EXPECT_TRUE(disk.HeadsLoaded());
    ASSERT_FALSE(disk.HeadEvents().empty());
    EXPECT_EQ(disk.HeadEvents().back().kind, hw::HeadEventKind::Loaded);
    EXPECT_EQ(disk.HeadEvents().back().at, read.transfer);
    EXPECT_EQ(disk.MediaAccesses().back().contact, t);
}

TEST(DiskModel, StandbyParksSlowerAndStopsTheSpindle) {
    Disk disk(hw::DiskConfig{});
    DiskOperation standby = Execute(disk, Ata(kStandby), 0);
    EXPECT_EQ(standby.outcome, DiskOutcome::Ok);
    EXPECT_GE(standby.done, 900 * kMillisecond);
    EXPECT_LE(standby.done, 1110 * kMillisecond);
    EXPECT_LT(standby.unloaded, standby.done);
    EXPECT_FALSE(disk.Spinning());
    EXPECT_FALSE(disk.HeadsLoaded());

    DiskOperation read = Execute(disk, Media(DiskCommandKind::Read), 2 * kSecond);
    EXPECT_TRUE(read.spins_up);
    EXPECT_GE(read.transfer - 2 * kSecond, 1500 * kMillisecond + 20 * kMillisecond);
    EXPECT_TRUE(disk.Spinning());
}

TEST(DiskModel, OtherCommandsAbortAndPlainIdleChangesNothing) {
    Disk disk(hw::DiskConfig{});
    AtaTaskFile identify{};
    identify.command = 0xEC;
    DiskOperation op = Execute(disk, Ata(identify), 0);
    EXPECT_EQ(op.outcome, DiskOutcome::Aborted);
    EXPECT_EQ(op.reply_task.command, 0x51);   // DRDY DSC ERR
    EXPECT_EQ(op.reply_task.features, 0x04);  // ABRT
    EXPECT_TRUE(disk.HeadsLoaded());

    AtaTaskFile wrongSignature = kUnload;
    wrongSignature.lba_high = 0x00;  // IDLE IMMEDIATE without the unload signature: plain idle
    op = Execute(disk, Ata(wrongSignature), op.done);
    EXPECT_EQ(op.outcome, DiskOutcome::Ok);
    EXPECT_TRUE(disk.HeadsLoaded());
    EXPECT_EQ(disk.AtaCommands().size(), 2u);
}

TEST(DiskModel, InjectedFaults) {
    hw::DiskConfig config;
    config.faults.io_error_every = 3;
    Disk disk(config);
    std::vector<bool> failed;
    hk::Time100ns t = 0;
    for (int i = 0; i < 6; ++i) {
        DiskOperation op = Execute(disk, Media(DiskCommandKind::Write), t);
        failed.push_back(op.outcome == DiskOutcome::MediaError);
        t = op.done;
    }
    EXPECT_EQ(failed, (std::vector<bool>{false, false, true, false, false, true}));
    EXPECT_EQ(disk.WritesCompleted(), 4u);

    disk.Faults().fail_park = true;
    DiskOperation park = Execute(disk, Ata(kUnload), t);
    EXPECT_EQ(park.outcome, DiskOutcome::Aborted);
    EXPECT_EQ(park.reply_task.features, 0x04);
    EXPECT_TRUE(disk.HeadsLoaded());

    disk.Faults().fail_park = false;
    disk.Faults().slow_park = 1500 * kMillisecond;
    park = Execute(disk, Ata(kUnload), park.done);
    EXPECT_EQ(park.done - park.started, 1500 * kMillisecond);
    EXPECT_FALSE(disk.HeadsLoaded());
}

TEST(DiskModel, ACommandOutlivingItsTimeOutIsAnsweredEarlyButFinished) {
    hw::DiskConfig config;
    config.faults.slow_park = 3 * kSecond;
    Disk disk(config);
    DiskOperation op = Execute(disk, Ata(kUnload, 2 * kSecond), 0);
    EXPECT_EQ(op.outcome, DiskOutcome::TimedOut);
    EXPECT_EQ(op.reply, 2 * kSecond);
    EXPECT_EQ(op.done, 3 * kSecond);
    EXPECT_FALSE(disk.HeadsLoaded());
}

TEST(DiskModel, AccessesTouchingAFallAreCounted) {
    Disk disk(hw::DiskConfig{});
    // Airborne from 100 ms to 200 ms.
    disk.SetFreeFallProbe([](hk::Time100ns t) { return t >= 100 * kMillisecond && t < 200 * kMillisecond; });
    DiskOperation before = Execute(disk, Media(DiskCommandKind::Read), 50 * kMillisecond);
    DiskOperation across = Execute(disk, Media(DiskCommandKind::Write), 100 * kMillisecond - 50 * kMicrosecond);
    DiskOperation inside = Execute(disk, Media(DiskCommandKind::Read), 150 * kMillisecond);
    DiskOperation after = Execute(disk, Media(DiskCommandKind::Read), 200 * kMillisecond);
    const auto& accesses = disk.MediaAccesses();
    ASSERT_EQ(accesses.size(), 4u);
    EXPECT_FALSE(accesses[0].while_falling);
    EXPECT_TRUE(accesses[1].while_falling);
    EXPECT_TRUE(accesses[2].while_falling);
    EXPECT_FALSE(accesses[3].while_falling);
    EXPECT_EQ(disk.MediaIoWhileFalling(), 2u);
    (void)before, (void)across, (void)inside, (void)after;

    // Loading the heads onto the media during the fall counts too, even when
    // the transfer itself comes after it.
    Disk parked(hw::DiskConfig{});
    parked.SetFreeFallProbe([](hk::Time100ns t) { return t >= 100 * kMillisecond && t < 110 * kMillisecond; });
    Execute(parked, Ata(kUnload), 0);
    DiskOperation load = Execute(parked, Media(DiskCommandKind::Read), 105 * kMillisecond);
    EXPECT_GE(load.transfer, 110 * kMillisecond);
    EXPECT_EQ(parked.MediaIoWhileFalling(), 1u);
}

TEST(DiskModel, AReaderThatLetsTheDiskForgetWhatItTookKeepsTheHistoryBounded) {
    Disk disk(hw::DiskConfig{});
    disk.SetFreeFallProbe([](hk::Time100ns t) { return t >= 2 * kSecond && t < 2300 * kMillisecond; });
    constexpr std::uint64_t kAccesses = 10000;
    std::uint64_t next = 0, fallingTaken = 0;  // the reader's next access number, what it saw falling
    std::size_t mostRetained = 0;
    hk::Time100ns t = 0;
    for (std::uint64_t n = 0; n < kAccesses; ++n) {
        t = Execute(disk, Media(DiskCommandKind::Read, n * 4096, 4096), t).done;
        if (n % 7 != 6) continue;  // the reader looks now and then
        mostRetained = std::max(mostRetained, disk.MediaAccesses().size());
        ASSERT_EQ(disk.MediaAccessesForgotten(), next);
        for (; next < disk.MediaAccessCount(); ++next) {
            const hw::MediaAccess& a = disk.MediaAccesses()[next - disk.MediaAccessesForgotten()];
            ASSERT_EQ(a.offset, next * 4096);
            fallingTaken += a.while_falling ? 1 : 0;
        }
        disk.ForgetMediaAccessesBefore(next);
        disk.ForgetMediaAccessesBefore(next / 2);  // an older number changes nothing
    }
    EXPECT_EQ(mostRetained, 7u);
    EXPECT_EQ(disk.MediaAccessCount(), kAccesses);
    EXPECT_EQ(disk.MediaAccesses().size(), kAccesses % 7);  // not taken yet
    EXPECT_EQ(disk.MediaAccesses().front().offset, next * 4096);
    EXPECT_EQ(disk.ReadsCompleted(), kAccesses);
    EXPECT_GT(fallingTaken, 0u);
    EXPECT_EQ(fallingTaken, disk.MediaIoWhileFalling());
    disk.ForgetMediaAccessesBefore(kAccesses + 5);  // no further than was recorded
    EXPECT_TRUE(disk.MediaAccesses().empty());
    EXPECT_EQ(disk.MediaAccessesForgotten(), kAccesses);
}

TEST(DiskModel, PowerD3SpinsDownAndD0WaitsForTheNextAccess) {
    Disk disk(hw::DiskConfig{});
    DiskRequest d3;
    d3.kind = DiskCommandKind::Power;
    d3.power = hw::DevicePower::D3;
    DiskOperation down = Execute(disk, d3, 0);
    EXPECT_EQ(disk.Power(), hw::DevicePower::D3);
    EXPECT_FALSE(disk.Spinning());
    EXPECT_FALSE(disk.HeadsLoaded());
    EXPECT_GE(down.done, 900 * kMillisecond);

    DiskRequest d0 = d3;
    d0.power = hw::DevicePower::D0;
    DiskOperation up = Execute(disk, d0, down.done);
    EXPECT_EQ(disk.Power(), hw::DevicePower::D0);
    EXPECT_FALSE(disk.Spinning());
    EXPECT_LT(up.done - up.started, kMillisecond);
    EXPECT_TRUE(Execute(disk, Media(DiskCommandKind::Read), up.done).spins_up);
}

TEST(DiskModel, ReadOnlyDiskRefusesWritesWithoutTouchingTheMedia) {
    hw::DiskConfig config;
    config.read_only = true;
    Disk disk(config);
    EXPECT_EQ(Execute(disk, Media(DiskCommandKind::Write), 0).outcome, DiskOutcome::WriteProtected);
    EXPECT_TRUE(disk.MediaAccesses().empty());
}

}  // namespace
