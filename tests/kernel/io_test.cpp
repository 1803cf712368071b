// The I/O manager as drivers rely on it: completion order and its
// interruption, pending propagation, the cancel-safe queue, buffered device
// I/O control.
#include <gtest/gtest.h>

#include "hostkernel/io.h"
#include "test_drivers.h"

namespace {

using hk::Kernel;
using hk::kMillisecond;
using testdrv::Bottom;

TEST(Completion, RoutinesRunBottomUp) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(2);
    hk::RequestPtr r;
    ASSERT_TRUE(k.Call([&] { r = hk::SendRead(stack.Top(), 0, 512); }));
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->completions, 1u);
    auto& log = testdrv::Current().log;
    std::vector<std::string> expected{"filter 1", "filter 0", "bottom", "completion 0", "completion 1"};
    EXPECT_EQ(log, expected);
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(Completion, MoreProcessingRequiredStopsCompletionUntilCompletedAgain) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(2);
    testdrv::Current().filterStopsCompletion = {true, false};
    hk::RequestPtr r;
    ASSERT_TRUE(k.Call([&] { r = hk::SendRead(stack.Top(), 0, 512); }));
    EXPECT_FALSE(r->completed);
    ASSERT_EQ(testdrv::Current().stoppedAt.size(), 1u);
    auto& log = testdrv::Current().log;
    EXPECT_EQ(log.back(), "completion 0");
    // The filter that stopped completion owns the request again; completing
    // it continues above that filter only.
    testdrv::Current().filterStopsCompletion = {false, false};
    ASSERT_TRUE(k.Call([&] { IoCompleteRequest(testdrv::Current().stoppedAt[0], IO_NO_INCREMENT); }));
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(log.back(), "completion 1");
    EXPECT_EQ(std::count(log.begin(), log.end(), "completion 0"), 1);
}

TEST(Completion, PendingReturnedPropagatesUpTheStack) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(2);
    testdrv::Current().bottom = Bottom::PendAndHold;
    hk::RequestPtr r;
    ASSERT_TRUE(k.Call([&] { r = hk::SendRead(stack.Top(), 0, 512); }));
    EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);
    ASSERT_EQ(testdrv::Current().held.size(), 1u);
    ASSERT_TRUE(k.Call([&] { testdrv::CompleteHeld(testdrv::Current().held[0], STATUS_SUCCESS, 512); }));
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(r->information, 512u);
    EXPECT_EQ(testdrv::Current().sawPendingReturned, (std::vector<bool>{true, true}));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(Completion, CompletionFromADpcReachesTheWaitingCaller) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(1);
    testdrv::Current().bottom = Bottom::PendAndCompleteFromDpc;
    testdrv::Current().bottomStatus = STATUS_IO_DEVICE_ERROR;
    hk::RequestPtr r;
    ASSERT_TRUE(k.Call([&] {
        r = hk::SendWrite(stack.Top(), 4096, std::vector<std::uint8_t>(512, 0xAB));
        EXPECT_TRUE(hk::WaitRequest(*r, 10 * kMillisecond));
    }));
    EXPECT_EQ(r->status, STATUS_IO_DEVICE_ERROR);
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(CancelSafeQueue, RemovesOldestFirstAndCancelsExactlyOnce) {
    Kernel k;
    PDEVICE_OBJECT device = testdrv::CreateQueueDevice();
    std::vector<hk::RequestPtr> r;
    ASSERT_TRUE(k.Call([&] {
        for (int i = 0; i < 4; ++i) r.push_back(hk::SendRead(device, i * 512, 512));
        EXPECT_TRUE(hk::CancelRequest(*r[1]));
        EXPECT_FALSE(hk::CancelRequest(*r[1]));  // already completed
    }));
    EXPECT_TRUE(r[1]->completed);
    EXPECT_EQ(r[1]->status, STATUS_CANCELLED);
    EXPECT_EQ(r[1]->completions, 1u);
    std::vector<PIRP> removed;
    ASSERT_TRUE(k.Call([&] {
        testdrv::QueueDevice& q = testdrv::QueueOf(device);
        while (PIRP irp = IoCsqRemoveNextIrp(&q.csq, nullptr)) removed.push_back(irp);
    }));
    ASSERT_EQ(removed.size(), 3u);
    EXPECT_EQ(removed[0], r[0]->irp);
    EXPECT_EQ(removed[1], r[2]->irp);
    EXPECT_EQ(removed[2], r[3]->irp);
    ASSERT_TRUE(k.Call([&] {
        for (PIRP irp : removed) testdrv::CompleteHeld(irp, STATUS_SUCCESS);
    }));
    EXPECT_EQ(testdrv::QueueOf(device).cancelledCompletions, 1);
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(CancelSafeQueue, CancelRacingRemovalCompletesEachRequestOnce) {
    // Over many seeds a remover and a canceller race for the same requests;
    // whoever wins, every request completes exactly once.
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        hk::KernelOptions options;
        options.seed = seed;
        options.preemptPercent = 50;
        Kernel k(options);
        const testdrv::CancelRace race = testdrv::RaceCancelAgainstRemoval(k, 8, STATUS_SUCCESS, nullptr);
        PDEVICE_OBJECT device = race.device;
        const std::vector<hk::RequestPtr>& r = race.requests;
        ASSERT_TRUE(k.RunFor(10 * kMillisecond)) << k.Stop().ToString();
        ASSERT_TRUE(k.Call([&] {
            testdrv::QueueDevice& q = testdrv::QueueOf(device);
            while (PIRP irp = IoCsqRemoveNextIrp(&q.csq, nullptr)) testdrv::CompleteHeld(irp, STATUS_SUCCESS);
        }));
        for (auto& request : r) {
            EXPECT_TRUE(request->completed) << "seed " << seed;
            EXPECT_EQ(request->completions, 1u) << "seed " << seed;
        }
    }
}

TEST(DeviceIoControl, BuiltRequestCopiesOutputAndSignalsTheCaller) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(0);
    testdrv::Current().bottomInformation = 6;
    ASSERT_TRUE(k.Call([&] {
        std::uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        std::uint8_t out[8] = {0};
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_DISK, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                                 stack.bottom, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        NTSTATUS status = IoCallDriver(stack.bottom, irp);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 6u);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        // The bottom device echoes nothing, so the system buffer still holds the
        // input; only the six reported bytes come back.
        std::uint8_t expected[8] = {1, 2, 3, 4, 5, 6, 0, 0};
        EXPECT_EQ(memcmp(out, expected, 8), 0);
    }));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(DeviceIoControl, FailedRequestCopiesNothingBack) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(0);
    testdrv::Current().bottomStatus = STATUS_INVALID_PARAMETER;
    testdrv::Current().bottomInformation = 4;
    hk::RequestPtr r;
    ASSERT_TRUE(k.Call([&] {
        r = hk::SendDeviceControl(stack.bottom, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                  {9, 9, 9, 9}, 4, UserMode);
    }));
    EXPECT_EQ(r->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r->buffer, (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

}  // namespace

namespace {

// The system buffer is pool memory the I/O manager does not clear: past the
// caller's input it holds stale bytes, and a driver that reports more bytes
// than it wrote hands them to the caller.
TEST(DeviceIoControl, SystemBufferPastTheInputHoldsStaleBytes) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> input;
        ULONG output;
        ULONG_PTR information;
        std::vector<std::uint8_t> expected;
    };
    const std::uint8_t s = hk::kStaleSystemBufferByte;
    const Case cases[] = {
        {"output only", {}, 4, 4, {s, s, s, s}},
        {"output longer than the input", {1, 2}, 5, 5, {1, 2, s, s, s}},
        {"fewer bytes reported than the buffer holds", {1, 2}, 5, 3, {1, 2, s, 0, 0}},
        {"input longer than the output", {1, 2, 3, 4, 5, 6}, 4, 4, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hk::Kernel k;
        testdrv::Stack stack = testdrv::BuildStack(0);
        testdrv::Current().bottomInformation = c.information;
        hk::RequestPtr r;
        ASSERT_TRUE(k.Call([&] {
            r = hk::SendDeviceControl(stack.bottom,
                                      CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS), c.input,
                                      c.output, UserMode);
        }));
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->buffer, c.expected);
    }
    // A buffered read's system buffer starts out stale as well.
    hk::Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(0);
    stack.bottom->Flags |= DO_BUFFERED_IO;
    testdrv::Current().bottomInformation = 3;
    hk::RequestPtr r;
    ASSERT_TRUE(k.Call([&] { r = hk::SendRead(stack.bottom, 0, 3); }));
    EXPECT_EQ(r->buffer, (std::vector<std::uint8_t>{s, s, s}));
}

}  // namespace

namespace {

TEST(DeviceIoControl, CallerLearnsAnImmediateFailureFromIoCallDriverAlone) {
    // Windows fills the caller's status block and signals its event for a
    // success, a warning or a failure after pending; a failure completed at
    // once is reported by IoCallDriver's result only.
    struct Case {
        const char* what;
        Bottom bottom;
        NTSTATUS status;
        bool reported;
    };
    const Case cases[] = {
        {"success at once", Bottom::CompleteAtOnce, STATUS_SUCCESS, true},
        {"warning at once", Bottom::CompleteAtOnce, STATUS_BUFFER_OVERFLOW, true},
        {"error at once", Bottom::CompleteAtOnce, STATUS_INVALID_DEVICE_REQUEST, false},
        {"error after pending", Bottom::PendAndHold, STATUS_INVALID_DEVICE_REQUEST, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel k;
        testdrv::Stack stack = testdrv::BuildStack(1);
        testdrv::Current().bottom = c.bottom;
        testdrv::Current().bottomStatus = c.status;
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        iosb.Status = 0x12345;  // untouched
        NTSTATUS called = 0;
        ASSERT_TRUE(k.Call([&] {
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_DISK, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                                     stack.Top(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
            called = IoCallDriver(stack.Top(), irp);
            for (PIRP held : testdrv::Current().held) testdrv::CompleteHeld(held, c.status);
        }));
        EXPECT_EQ(called, c.bottom == Bottom::PendAndHold ? STATUS_PENDING : c.status);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, c.reported);
        EXPECT_EQ(iosb.Status, c.reported ? c.status : NTSTATUS(0x12345));
        EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
    }
}

TEST(Devices, NothingAttachesOntoATopDeviceStillInitializing) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(0);
    ASSERT_TRUE(k.Call([&] {
        PDEVICE_OBJECT middle = nullptr, upper = nullptr;
        ASSERT_EQ(IoCreateDevice(stack.filterDriver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &middle), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(stack.filterDriver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &upper), STATUS_SUCCESS);
        // Attaching while the device itself is initializing is normal ...
        EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, stack.bottom), stack.bottom);
        // ... but the stack's top must have finished its own.
        EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, stack.bottom), nullptr);
        EXPECT_EQ(middle->AttachedDevice, nullptr);
        middle->Flags &= ~DO_DEVICE_INITIALIZING;
        EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, stack.bottom), middle);
        IoDetachDevice(middle);
        IoDetachDevice(stack.bottom);
        IoDeleteDevice(upper);
        IoDeleteDevice(middle);
    }));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(Requests, AllocationFlagsSayWhereTheRequestCameFrom) {
    struct Case {
        CCHAR stackSize;
        BOOLEAN chargeQuota;
        UCHAR flags;
    };
    const Case cases[] = {
        {1, FALSE, IRP_ALLOCATED_FIXED_SIZE | IRP_LOOKASIDE_ALLOCATION},
        {3, FALSE, IRP_ALLOCATED_FIXED_SIZE | IRP_LOOKASIDE_ALLOCATION},
        {8, FALSE, IRP_ALLOCATED_FIXED_SIZE | IRP_LOOKASIDE_ALLOCATION},
        {9, FALSE, 0},
        {2, TRUE, IRP_QUOTA_CHARGED},
    };
    Kernel k;
    ASSERT_TRUE(k.Call([&] {
        for (const Case& c : cases) {
            PIRP irp = IoAllocateIrp(c.stackSize, c.chargeQuota);
            ASSERT_NE(irp, nullptr);
            EXPECT_EQ(irp->AllocationFlags, c.flags) << int(c.stackSize) << " quota " << int(c.chargeQuota);
            EXPECT_EQ(irp->StackCount, c.stackSize);
            IoFreeIrp(irp);
        }
    }));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

}  // namespace

namespace {

// What PoRequestPowerIrp's caller was told.
struct PowerReport {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    std::size_t driversSeenBefore = 0;  // log entries when the caller was told
};

VOID NTAPI ReportPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                       PIO_STATUS_BLOCK ioStatus) {
    auto* report = static_cast<PowerReport*>(context);
    report->calls++;
    report->device = device;
    report->minor = minor;
    report->state = state;
    report->status = ioStatus->Status;
    report->driversSeenBefore = testdrv::Current().log.size();
}

struct PowerRequestCase {
    UCHAR minor;
    testdrv::Bottom bottom;
    NTSTATUS bottomStatus;
};

TEST(PowerRequest, GoesToTheTopOfTheStackAndReportsBackOnceEveryDriverIsDone) {
    const PowerRequestCase cases[] = {
        {IRP_MN_SET_POWER, Bottom::CompleteAtOnce, STATUS_SUCCESS},
        {IRP_MN_QUERY_POWER, Bottom::CompleteAtOnce, STATUS_DEVICE_BUSY},
        {IRP_MN_SET_POWER, Bottom::PendAndCompleteFromDpc, STATUS_SUCCESS},
    };
    for (const PowerRequestCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.minor));
        Kernel k;
        testdrv::Stack stack = testdrv::BuildStack(2);
        testdrv::Current().bottom = c.bottom;
        testdrv::Current().bottomStatus = c.bottomStatus;
        PowerReport report;
        NTSTATUS status = STATUS_SUCCESS;
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        // Asked for by the bottom device: the request still starts at the top.
        ASSERT_TRUE(k.Call([&] { status = PoRequestPowerIrp(stack.bottom, c.minor, d0, ReportPower, &report, nullptr); }));
        k.RunFor(10 * kMillisecond);
        EXPECT_EQ(status, STATUS_PENDING);
        const std::vector<std::string>& log = testdrv::Current().log;
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(log[0], "filter 1");
        EXPECT_EQ(log[1], "filter 0");
        EXPECT_EQ(log[2], "bottom");
        EXPECT_EQ(log.back(), "completion 1");
        EXPECT_EQ(report.calls, 1);
        EXPECT_EQ(report.driversSeenBefore, log.size()) << "told after the last completion routine";
        EXPECT_EQ(report.device, stack.bottom);
        EXPECT_EQ(report.minor, c.minor);
        EXPECT_EQ(report.state.DeviceState, PowerDeviceD0);
        EXPECT_EQ(report.status, c.bottomStatus);
        EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
    }
}

TEST(PowerRequest, OtherMinorFunctionsAreRefusedAndNothingIsSent) {
    Kernel k;
    testdrv::Stack stack = testdrv::BuildStack(1);
    PowerReport report;
    NTSTATUS status = STATUS_SUCCESS;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    ASSERT_TRUE(k.Call([&] {
        status = PoRequestPowerIrp(stack.bottom, IRP_MN_POWER_SEQUENCE, d0, ReportPower, &report, nullptr);
    }));
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER_2);
    EXPECT_TRUE(testdrv::Current().log.empty());
    EXPECT_EQ(report.calls, 0);
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

}  // namespace
