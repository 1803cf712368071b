// The held-I/O queue: which requests the filter holds while the disk is
// blocked, how and in which order they leave the queue, and the counters the
// filter keeps about them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/held_io_queue.h"
#include "core_test_support.h"

namespace {

using coretest::BlockDisk;
using coretest::HeldIrps;
using coretest::MediaOffsets;
using coretest::Read;
using coretest::ReleaseNow;
using coretest::Write;
using hk::kMillisecond;
using hk::kSecond;

constexpr std::uint64_t kA = 0x10000;
constexpr std::uint64_t kB = 0x20000;
constexpr std::uint64_t kC = 0x30000;
constexpr std::uint64_t kD = 0x40000;

TEST(HeldIo, AReadWhileOpenIsOutstandingUntilItCompletes) {
    zhptest::Machine m;
    std::size_t media = m.Disk().MediaAccesses().size();

    hk::RequestPtr read = Read(m, kA);
    EXPECT_EQ(read->dispatchStatus, STATUS_PENDING);  // in the disk
    EXPECT_EQ(m.FilterExt()->OutstandingIo, 1);

    m.Run(50 * kMillisecond);
    ASSERT_TRUE(read->completed);
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(read->information, hw::kSectorSize);
    EXPECT_EQ(m.FilterExt()->OutstandingIo, 0);
    EXPECT_EQ(m.FilterExt()->DispatchForwardCount, 0u);
    EXPECT_EQ(m.FilterExt()->ReadQueued, 0u);
    EXPECT_EQ(MediaOffsets(m, media), std::vector<std::uint64_t>{kA});
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, HeldRequestsReachTheDiskOldestFirstWhenTheTimerReleasesThem) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();
    const ULONG forwardedBefore = m.FilterExt()->DispatchForwardCount;

    hk::RequestPtr a = Read(m, kA);
    hk::RequestPtr b = Write(m, kB);
    hk::RequestPtr c = Read(m, kC);
    for (const auto& r : {a, b, c}) EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(m.FilterExt()->ReadQueued, 2u);
    EXPECT_EQ(m.FilterExt()->WriteQueued, 1u);
    EXPECT_EQ(HeldIrps(m), (std::vector<PIRP>{a->irp, b->irp, c->irp}));

    m.Run(500 * kMillisecond);
    EXPECT_FALSE(a->completed || b->completed || c->completed);
    EXPECT_TRUE(MediaOffsets(m, media).empty());

    // The release comes 3 s after the fall is over.
    m.Pin(false);
    m.Run(2900 * kMillisecond);
    EXPECT_FALSE(a->completed || b->completed || c->completed);
    EXPECT_TRUE(MediaOffsets(m, media).empty());
    m.Run(600 * kMillisecond);
    for (const auto& r : {a, b, c}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->completions, 1u);
    }
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB, kC}));
    EXPECT_LT(a->completionOrder, b->completionOrder);
    EXPECT_LT(b->completionOrder, c->completionOrder);
    EXPECT_TRUE(HeldIrps(m).empty());

    // Released at DISPATCH_LEVEL: counted there, not as outstanding.
    EXPECT_EQ(m.FilterExt()->DispatchForwardCount, forwardedBefore + 3);
    EXPECT_EQ(m.FilterExt()->OutstandingIo, 0);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_IO_RESUMED);

    // The counts stay until the next fall resets them.
    EXPECT_EQ(m.FilterExt()->ReadQueued, 2u);
    EXPECT_EQ(m.FilterExt()->WriteQueued, 1u);
    m.Pin(true);
    m.Run(kSecond);
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_EQ(m.FilterExt()->ReadQueued, 0u);
    EXPECT_EQ(m.FilterExt()->WriteQueued, 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, TheReleaseCommandReportsTheQueuedCountsAndReleasesAtOnce) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();

    hk::RequestPtr a = Write(m, kA);
    hk::RequestPtr b = Read(m, kB);
    hk::RequestPtr c = Read(m, kC);
    zhptest::Reply reply = ReleaseNow(m);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(4), 2u);  // reads held
    EXPECT_EQ(reply.Word(8), 1u);  // writes held

    m.Run(50 * kMillisecond);
    for (const auto& r : {a, b, c}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
    }
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB, kC}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, WhileBlockedEveryReadAndWriteIsHeldAndOtherRequestsPass) {
    zhptest::Machine m;
    BlockDisk(m);

    std::vector<hk::RequestPtr> held;
    std::vector<hk::RequestPtr> passed;
    m.Do([&] {
        hk::RequestSpec paging;
        paging.major = IRP_MJ_READ;
        paging.offset = kA;
        paging.length = hw::kSectorSize;
        paging.irpFlags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
        held.push_back(hk::SendRequest(m.DiskTop(), paging));
        hk::RequestSpec pagingWrite;
        pagingWrite.major = IRP_MJ_WRITE;
        pagingWrite.offset = kB;
        pagingWrite.input.assign(hw::kSectorSize, 7);
        pagingWrite.irpFlags = IRP_PAGING_IO | IRP_NOCACHE;
        held.push_back(hk::SendRequest(m.DiskTop(), pagingWrite));
        held.push_back(hk::SendRead(m.DiskTop(), kC, 0));  // even one without data

        for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_QUERY_INFORMATION}) {
            hk::RequestSpec other;
            other.major = major;
            passed.push_back(hk::SendRequest(m.DiskTop(), other));
        }
    });
    m.Run(50 * kMillisecond);
    for (const auto& r : passed) EXPECT_TRUE(r->completed) << static_cast<int>(r->major);
    ASSERT_EQ(HeldIrps(m).size(), held.size());
    for (std::size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i]->dispatchStatus, STATUS_PENDING);
        EXPECT_FALSE(held[i]->completed);
        EXPECT_EQ(HeldIrps(m)[i], held[i]->irp);
    }
    m.Run(kSecond);
    for (const auto& r : held) EXPECT_FALSE(r->completed);

    ReleaseNow(m);
    m.Run(50 * kMillisecond);
    for (const auto& r : held) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
    }
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, ANewFallDuringTheReleaseStopsItAndTheRestWaitsForTheNextRelease) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();
    DEVICE_EXTENSION* ext = m.FilterExt();

    hk::RequestPtr a = Read(m, kA);
    hk::RequestPtr b = Read(m, kB);
    hk::RequestPtr c = Write(m, kC);

    {
        // A fall detected on another processor just as the release passes
        // on its first request.
        bool fell = false;
        coretest::SinkScope sink(m.kernel, [&](const std::string& line) {
            if (!fell && line.find("ZHP_RecoveryDPC(): Flush the  IO") != std::string::npos) {
                fell = true;
                InterlockedOr(reinterpret_cast<volatile LONG*>(&ext->Flag), ZHP_FLAG_FREE_FALL);
            }
        });
        ReleaseNow(m);
        m.Run(50 * kMillisecond);
        ASSERT_TRUE(fell);
    }
    ASSERT_TRUE(a->completed);
    EXPECT_EQ(a->status, STATUS_SUCCESS);
    EXPECT_FALSE(b->completed || c->completed);
    EXPECT_EQ(MediaOffsets(m, media), std::vector<std::uint64_t>{kA});
    EXPECT_EQ(HeldIrps(m), (std::vector<PIRP>{b->irp, c->irp}));

    // The fall as the sensor sees it: line down, then up again.
    m.Pin(false);
    m.Run(10 * kMillisecond);
    m.Pin(true);
    m.Run(kSecond);
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_FALSE(b->completed || c->completed);
    EXPECT_EQ(MediaOffsets(m, media), std::vector<std::uint64_t>{kA});

    ReleaseNow(m);
    m.Run(50 * kMillisecond);
    for (const auto& r : {b, c}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->completions, 1u);
    }
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB, kC}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, AFlushWhileStillFallingIsHeldBehindTheHeldRequestsAndReleasedWithThem) {
    zhptest::Machine m;
    BlockDisk(m);  // the line stays up: the fall is not over
    const std::size_t media = m.Disk().MediaAccesses().size();
    const ULONG flagBefore = m.Flag();
    ASSERT_EQ(flagBefore & ZHP_FLAG_FALL_CLEARED, 0u);

    hk::RequestPtr a = Read(m, kA);
    hk::RequestPtr b = Write(m, kB);
    hk::RequestPtr flush;
    m.Do([&] { flush = hk::SendFlush(m.DiskTop()); });
    hk::RequestPtr c = Write(m, kC);
    EXPECT_EQ(flush->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(HeldIrps(m), (std::vector<PIRP>{a->irp, b->irp, flush->irp, c->irp}));
    m.Run(500 * kMillisecond);
    for (const auto& r : {a, b, flush, c}) EXPECT_FALSE(r->completed);
    EXPECT_TRUE(MediaOffsets(m, media).empty());
    EXPECT_EQ(m.Flag(), flagBefore);
    // Only reads and writes are counted.
    EXPECT_EQ(m.FilterExt()->ReadQueued, 1u);
    EXPECT_EQ(m.FilterExt()->WriteQueued, 2u);
    EXPECT_TRUE(m.TraceHas("ZHP_Flush(): IO (Irp = 0x"));

    ReleaseNow(m);
    m.Run(50 * kMillisecond);
    for (const auto& r : {a, b, flush, c}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->completions, 1u);
    }
    // Released in the order held: the flush after what came before it.
    EXPECT_LT(a->completionOrder, b->completionOrder);
    EXPECT_LT(b->completionOrder, flush->completionOrder);
    EXPECT_LT(flush->completionOrder, c->completionOrder);
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB, kC}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, AHeldFlushIsCancelledWithTheOthersAtShutdown) {
    zhptest::Machine m;
    BlockDisk(m);
    hk::RequestPtr a = Write(m, kA);
    hk::RequestPtr flush;
    m.Do([&] { flush = hk::SendFlush(m.DiskTop()); });
    hk::RequestPtr shutdown;
    m.Do([&] { shutdown = hk::SendShutdown(m.DiskTop()); });
    m.Run(50 * kMillisecond);
    for (const auto& r : {a, flush}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_CANCELLED);
        EXPECT_EQ(r->completions, 1u);
    }
    EXPECT_TRUE(HeldIrps(m).empty());
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, AFlushOnceTheFallHasClearedPassesTheHeldRequestsFirstAndTheBlockStays) {
    zhptest::Machine m;
    BlockDisk(m);
    // The line drops: the fall is over, the release is 3 s away.
    m.Pin(false);
    m.Run(300 * kMillisecond);
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_FALL_CLEARED) << std::hex << m.Flag();
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED) << std::hex << m.Flag();
    const std::size_t media = m.Disk().MediaAccesses().size();
    const ULONG flagBefore = m.Flag();
    const ULONG forwardedBefore = m.FilterExt()->DispatchForwardCount;

    hk::RequestPtr a = Read(m, kA);
    hk::RequestPtr b = Write(m, kB);
    hk::RequestPtr flush;
    m.Do([&] { flush = hk::SendFlush(m.DiskTop()); });
    EXPECT_TRUE(HeldIrps(m).empty());
    m.Run(50 * kMillisecond);
    for (const auto& r : {a, b, flush}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
    }
    // The disk runs its commands in arrival order.
    EXPECT_LT(a->completionOrder, b->completionOrder);
    EXPECT_LT(b->completionOrder, flush->completionOrder);
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB}));
    EXPECT_EQ(m.Flag(), flagBefore);
    // Passed on from a dispatch routine: counted as outstanding, and done.
    EXPECT_EQ(m.FilterExt()->OutstandingIo, 0);
    EXPECT_EQ(m.FilterExt()->DispatchForwardCount, forwardedBefore);

    hk::RequestPtr d = Read(m, kD);
    EXPECT_EQ(d->dispatchStatus, STATUS_PENDING);
    m.Run(500 * kMillisecond);
    EXPECT_FALSE(d->completed);
    EXPECT_EQ(HeldIrps(m), std::vector<PIRP>{d->irp});
    EXPECT_EQ(m.FilterExt()->ReadQueued, 2u);

    ReleaseNow(m);
    m.Run(50 * kMillisecond);
    ASSERT_TRUE(d->completed);
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB, kD}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, ShutdownWhileBlockedCancelsTheHeldRequestsAndSwitchesProtectionOff) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();

    hk::RequestPtr a = Read(m, kA);
    hk::RequestPtr b = Write(m, kB);
    hk::RequestPtr shutdown;
    m.Do([&] { shutdown = hk::SendShutdown(m.DiskTop()); });
    for (const auto& r : {a, b}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_CANCELLED);
        EXPECT_EQ(r->information, 0u);
    }
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_TRUE(HeldIrps(m).empty());

    // The shutdown itself goes down; the release timer still runs out.
    m.Run(5 * kSecond);
    ASSERT_TRUE(shutdown->completed);
    EXPECT_EQ(shutdown->status, STATUS_SUCCESS);
    EXPECT_TRUE(MediaOffsets(m, media).empty());
    EXPECT_EQ(a->completions, 1u);
    EXPECT_EQ(b->completions, 1u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, AHeldRequestCancelledByItsSenderIsNeverPassedOn) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();

    hk::RequestPtr a = Read(m, kA);
    hk::RequestPtr b = Read(m, kB);
    hk::RequestPtr c = Write(m, kC);
    PIRP aIrp = a->irp;
    PIRP cIrp = c->irp;
    bool cancelled = false;
    m.Do([&] { cancelled = hk::CancelRequest(*b); });
    EXPECT_TRUE(cancelled);
    ASSERT_TRUE(b->completed);
    EXPECT_EQ(b->status, STATUS_CANCELLED);
    EXPECT_EQ(b->information, 0u);
    EXPECT_EQ(HeldIrps(m), (std::vector<PIRP>{aIrp, cIrp}));

    ReleaseNow(m);
    m.Run(50 * kMillisecond);
    for (const auto& r : {a, c}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
    }
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kC}));
    for (const auto& r : {a, b, c}) EXPECT_EQ(r->completions, 1u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HeldIo, RequestsToTheControlDeviceCompleteAtOnceWithSuccessAndNoData) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();
    const DEVICE_EXTENSION before = *m.FilterExt();
    PDEVICE_OBJECT control = m.Control();
    ASSERT_NE(control, nullptr);

    std::vector<hk::RequestPtr> requests;
    m.Do([&] {
        requests.push_back(hk::SendRead(control, 0, hw::kSectorSize));
        requests.push_back(hk::SendWrite(control, 0, std::vector<std::uint8_t>(hw::kSectorSize, 0x33)));
        requests.push_back(hk::SendFlush(control));
        requests.push_back(hk::SendShutdown(control));
        hk::RequestSpec cleanup;
        cleanup.major = IRP_MJ_CLEANUP;
        requests.push_back(hk::SendRequest(control, cleanup));
    });
    for (const auto& r : requests) {
        SCOPED_TRACE(static_cast<int>(r->major));
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->dispatchStatus, STATUS_SUCCESS);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->information, 0u);
    }
    EXPECT_EQ(requests[0]->buffer, std::vector<std::uint8_t>(hw::kSectorSize, 0));

    // Nothing reached the disk and the filter's record did not notice.
    m.Run(50 * kMillisecond);
    EXPECT_TRUE(MediaOffsets(m, media).empty());
    const DEVICE_EXTENSION& after = *m.FilterExt();
    EXPECT_EQ(after.Flag, before.Flag);  // the shutdown did not switch protection off
    EXPECT_EQ(after.OutstandingIo, before.OutstandingIo);
    EXPECT_EQ(after.DispatchForwardCount, before.DispatchForwardCount);
    EXPECT_EQ(after.ReadQueued, before.ReadQueued);
    EXPECT_EQ(after.WriteQueued, before.WriteQueued);
    const auto* controlExt = static_cast<const DEVICE_EXTENSION*>(control->DeviceExtension);
    EXPECT_EQ(controlExt->OutstandingIo, 0);
    EXPECT_EQ(controlExt->DispatchForwardCount, 0u);
    EXPECT_EQ(controlExt->ReadQueued, 0u);
    EXPECT_EQ(controlExt->WriteQueued, 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// A read finds the disk blocked; before it is put in the queue the release
// runs to its end (on another processor) and finds nothing to pass on. The
// read must not wait in the queue for a release that has already happened.
TEST(HeldIo, ARequestQueuedJustAfterTheReleaseDrainedTheQueueIsPassedOn) {
    zhptest::Machine m;
    BlockDisk(m);
    const std::size_t media = m.Disk().MediaAccesses().size();
    DEVICE_EXTENSION* ext = m.FilterExt();
    auto recovery = m.Routine<decltype(ZHP_RecoveryDPC)>("ZHP_RecoveryDPC");

    hk::RequestPtr a = Read(m, kA);  // held normally
    hk::RequestPtr b;
    {
        bool released = false;
        coretest::SinkScope sink(m.kernel, [&](const std::string& line) {
            if (!released && line.find("ZHP_Read(): IO (Irp = ") != std::string::npos) {
                released = true;
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                recovery(&ext->RecoveryDpc, m.Filter(), nullptr, nullptr);
                KeLowerIrql(old);
            }
        });
        b = Read(m, kB);
        ASSERT_TRUE(released);
    }
    EXPECT_EQ(b->dispatchStatus, STATUS_PENDING);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_TRUE(HeldIrps(m).empty());

    // Long before the release timer could run out.
    m.Run(50 * kMillisecond);
    for (const auto& r : {a, b}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
    }
    EXPECT_EQ(MediaOffsets(m, media), (std::vector<std::uint64_t>{kA, kB}));
    EXPECT_EQ(m.FilterExt()->ReadQueued, 2u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
