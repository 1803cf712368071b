// Plug and Play, power and open/close of the filter and the control device:
// start, device power changes, paging-file notifications, removal.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>

#include "control_test_util.h"
#include "driver_machine.h"
#include "fault_filter.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using zhptest::Machine;
using zhptest::Reply;
using zhptest::RunUntilCompleted;
using zhptest::TraceCount;
using zhptest::TraceIndex;

constexpr ULONG kD0 = PowerDeviceD0, kD1 = PowerDeviceD1, kD2 = PowerDeviceD2, kD3 = PowerDeviceD3;

NTSTATUS SetDevicePower(Machine& m, DEVICE_POWER_STATE state) {
    NTSTATUS status = STATUS_PENDING;
    m.Do([&] { status = hk::PoSetDevicePower(m.storage.Pdo(m.Disk()), state); });
    return status;
}

NTSTATUS PagingFile(Machine& m, bool added, DEVICE_USAGE_NOTIFICATION_TYPE type = DeviceUsageTypePaging) {
    NTSTATUS status = STATUS_PENDING;
    m.Do([&] { status = hk::PnpDeviceUsageNotification(m.storage.Pdo(m.Disk()), type, added); });
    return status;
}

UCHAR PowResume(Machine& m) { return m.Global<UCHAR>("POW_RESUME"); }

// The sensor thread's own run of the start-up path, traced once per run.
constexpr char kThreadStartUp[] = "ZHP_SettleAfterPowerChange(): No command has set the sensor up";

bool RunUntil(Machine& m, const std::function<bool()>& done, hk::Time100ns limit) {
    const hk::Time100ns until = m.kernel.Now() + limit;
    while (!done() && m.kernel.Now() < until && !m.kernel.Stopped()) m.kernel.RunFor(kMillisecond);
    return done();
}

bool FallSignalled(Machine& m) {
    bool signalled = false;
    m.Do([&] {
        PKEVENT event = m.FilterExt()->FreeFallEvent;
        signalled = event != nullptr && KeReadStateEvent(event) != 0;
    });
    return signalled;
}

// A machine whose disk stack has the fault filter between the disk and ZHP.
struct FaultyStack {
    Machine m;
    PDRIVER_OBJECT lower = nullptr;

    explicit FaultyStack(const zhptest::FaultFilterSettings& settings) : m(NotStarted()) {
        lower = m.kernel.LoadDriver(L"faultfilter", zhptest::FaultFilterDriverEntry);
        zhptest::FaultFilter() = settings;
    }
    NTSTATUS Start() { return m.storage.StartDisk(m.Disk(), {lower, m.zhp}); }

    static zhptest::MachineOptions NotStarted() {
        zhptest::MachineOptions options;
        options.start = false;
        return options;
    }
};

TEST(Start, LowerDriversStartFirstThenTheSensorStartUpRuns) {
    zhptest::FaultFilterSettings settings;
    FaultyStack s(settings);
    Machine& m = s.m;
    EXPECT_EQ(PowResume(m), 1);
    // As at a notebook's boot, the disk starts a while after ZHP was added.
    m.Run(100 * kMillisecond);
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(s.Start(), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD0);
    EXPECT_EQ(PowResume(m), 0);
    int start = TraceIndex(m, "ZHP_DispatchPnp(): Schedule completion for IRP_MN_START_DEVICE\n");
    ASSERT_GE(start, 0);
    EXPECT_GT(TraceIndex(m, "(FUNC_W_0)I2C_W", start), start);
    EXPECT_GT(TraceIndex(m, "(FUNC_W_3)I2C_W", start), start) << "OP_MODE 1 switches the interrupt on";
    EXPECT_TRUE(m.storage.Started(m.Disk()));
    // The start-up runs past the settle time; the sensor thread leaves it to
    // the start: one start-up sequence, not two interleaved on the SMBus.
    m.Run(kSecond);
    EXPECT_EQ(TraceCount(m, kThreadStartUp), 0) << m.Trace();
    EXPECT_EQ(TraceCount(m, "(FUNC_W_3)I2C_W: Addr[0x22] = 0xb3"), 1);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Start, ALowerDriverThatPendsAndFailsTheStartStillGetsTheSensorStartUp) {
    zhptest::FaultFilterSettings settings;
    settings.failStart = STATUS_IO_DEVICE_ERROR;
    FaultyStack s(settings);
    Machine& m = s.m;
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(s.Start(), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(zhptest::FaultFilterSeen().startPended);
    EXPECT_TRUE(zhptest::FaultFilterSeen().startFailed);

    int start = TraceIndex(m, "Schedule completion for IRP_MN_START_DEVICE");
    int failed = TraceIndex(m, "FaultFilter: start failed below");
    int startUp = TraceIndex(m, "(FUNC_W_0)I2C_W", start);
    ASSERT_GE(start, 0);
    EXPECT_GT(failed, start);
    EXPECT_GT(startUp, failed) << "the start-up sequence runs after the lower drivers are done";
    EXPECT_EQ(PowResume(m), 0);
    // The manager takes the stack down again.
    EXPECT_GT(TraceIndex(m, "Schedule completion for IRP_MN_REMOVE_DEVICE", startUp), startUp);
    EXPECT_EQ(m.Filter(), nullptr);
    EXPECT_FALSE(m.storage.Started(m.Disk()));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, DownToD3AndBackToD0SwitchesProtectionOnAgain) {
    Machine m;
    // The user had switched protection off.
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    ULONG flag = m.Flag();
    ASSERT_TRUE(flag & ZHP_FLAG_SENSOR_OFF);
    ASSERT_EQ(PowResume(m), 0);

    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(PowResume(m), 1);
    EXPECT_EQ(m.Flag(), flag);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD3);
    EXPECT_TRUE(m.TraceHas("ZHP_PowerComplete():  POW_RESUME.12 = TRUE"));
    EXPECT_TRUE(m.TraceHas("ZHP_PowerComplete(): The storage device is reducing power"));
    EXPECT_FALSE(m.TraceHas("The sensor status is stopped")) << "protection was off";
    EXPECT_FALSE(m.TraceHas("adding power"));
    EXPECT_EQ(m.Disk().Power(), hw::DevicePower::D3);

    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_OFF);
    EXPECT_EQ(PowResume(m), 1);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD0);
    EXPECT_TRUE(m.TraceHas("ZHP_PowerComplete(): The storage device is adding power"));
    char resumed[96];
    std::snprintf(resumed, sizeof resumed, "ZHP_PowerComplete(): The sensor status is resumed. Flag = 0x%08x\n",
                  m.Flag());
    EXPECT_TRUE(m.TraceHas(resumed)) << m.Trace();

    // Until the sensor has been set up again a fall goes unnoticed; with no
    // command coming, the sensor thread sets it up once the disk has been
    // back for the settle time, and protection is back.
    const hk::Time100ns poweredUp = m.kernel.Now();
    m.Pin(true);
    m.Run(100 * kMillisecond);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_EQ(PowResume(m), 1);
    while (!m.TraceHas(kThreadStartUp) && m.kernel.Now() - poweredUp < kSecond) m.Run(kMillisecond);
    EXPECT_LE(m.kernel.Now() - poweredUp, 200 * kMillisecond) << "the settle time";
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, kSecond));
    EXPECT_EQ(PowResume(m), 0);
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_EQ(TraceCount(m, kThreadStartUp), 1);
    m.Pin(false);
    m.Run(4 * kSecond);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, BackInD0TheThreadSetsTheSensorUpAsACommandWould) {
    Machine m;
    // Protection switched on and off again: the named events are closed.
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    ASSERT_EQ(m.FilterExt()->FreeFallEvent, nullptr);
    ASSERT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_SUCCESS);
    // While the disk sleeps its heads are off the media: nothing to set up.
    m.Run(2 * kSecond);
    EXPECT_EQ(PowResume(m), 1);
    EXPECT_EQ(TraceCount(m, kThreadStartUp), 0);

    m.kernel.ClearDebugOutput();
    ASSERT_EQ(SetDevicePower(m, PowerDeviceD0), STATUS_SUCCESS);
    m.Run(400 * kMillisecond);
    EXPECT_EQ(PowResume(m), 0);
    EXPECT_EQ(TraceCount(m, kThreadStartUp), 1);
    // The whole start-up sequence ran, ending with the interrupt output on
    // (OP_MODE 1: FUNC_W_3).
    EXPECT_LT(TraceIndex(m, "(FUNC_W_0)I2C_W: Addr[0x22] = 0x0"), TraceIndex(m, "(FUNC_W_3)I2C_W: Addr[0x22] = 0xb3"));
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_OFF);
    EXPECT_NE(m.FilterExt()->FreeFallEvent, nullptr);
    EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0);

    // A fall is seen, parked and signalled.
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, kSecond));
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_TRUE(FallSignalled(m));
    m.Pin(false);
    m.Run(4 * kSecond);
    EXPECT_EQ(TraceCount(m, kThreadStartUp), 1) << "once per power change";
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, ACommandWithinTheSettleTimeStillRunsTheStartUpPathAndTheThreadDoesNot) {
    Machine m;
    ASSERT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(SetDevicePower(m, PowerDeviceD0), STATUS_SUCCESS);
    m.Run(50 * kMillisecond);
    m.kernel.ClearDebugOutput();
    // The first command is replaced by command 200, as after any power change.
    Reply reply = m.Command(ZHP_CMD_QUERY, {{16, 0x44}, {20, 0}, {24, 0x02}, {28, 0}});
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(36), 1u) << "OP_MODE";
    EXPECT_EQ(reply.Word(32), 0u) << "not a query: the delay level is not reported";
    EXPECT_EQ(PowResume(m), 0);
    m.Run(kSecond);
    EXPECT_EQ(TraceCount(m, kThreadStartUp), 0);
    EXPECT_EQ(TraceCount(m, "(FUNC_W_3)I2C_W: Addr[0x22] = 0xb3"), 1) << "one start-up, the command's";
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, LosingPowerWhileProtectedOnlyTraces) {
    Machine m;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    ULONG flag = m.Flag();
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(m.Flag(), flag);
    char stopped[128];
    std::snprintf(stopped, sizeof stopped,
                  "ZHP_PowerComplete(): The sensor status is stopped. Flag = 0x%08x, SensorOp=0x00000000\n", flag);
    EXPECT_TRUE(m.TraceHas(stopped)) << m.Trace();
    std::snprintf(stopped, sizeof stopped, "ZHP_PowerComplete(): The sensor status is stopped. Flag = 0x%08x\n\n",
                  flag);
    EXPECT_TRUE(m.TraceHas(stopped)) << m.Trace();
    EXPECT_EQ(PowResume(m), 1);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, SameStateIsReducingAndOnlyResumesTheStartUp) {
    Machine m;
    ULONG flag = m.Flag();
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("The storage device is reducing power"));
    EXPECT_FALSE(m.TraceHas("adding power"));
    EXPECT_FALSE(m.TraceHas("The sensor status is"));
    EXPECT_EQ(m.Flag(), flag);
    EXPECT_EQ(PowResume(m), 1);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD0);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, AddingPowerUpToD2LeavesTheSensorAloneAndD1SwitchesItOn) {
    Machine m;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    ASSERT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_SUCCESS);
    ULONG flag = m.Flag();

    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("The storage device is adding power"));
    EXPECT_FALSE(m.TraceHas("The sensor status is resumed"));
    EXPECT_EQ(m.Flag(), flag);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD2);

    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD1), STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("The sensor status is resumed"));
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_OFF);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD1);

    // From D1 down to D2 with protection on: stopped, traced only.
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("The sensor status is stopped"));
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Power, AFailedSetPowerChangesNothing) {
    zhptest::FaultFilterSettings settings;
    FaultyStack s(settings);
    Machine& m = s.m;
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    ULONG flag = m.Flag();
    ASSERT_EQ(PowResume(m), 0);

    m.kernel.ClearDebugOutput();
    zhptest::FaultFilter().failSetPower = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PowResume(m), 0);
    EXPECT_EQ(m.Flag(), flag);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD0);
    zhptest::FaultFilter().failSetPower = STATUS_SUCCESS;

    // A state the disk refuses: to D0 would switch protection on if it counted.
    ASSERT_EQ(SetDevicePower(m, PowerDeviceD3), STATUS_SUCCESS);
    m.Command(ZHP_CMD_QUERY);  // the start-up path clears POW_RESUME
    flag = m.Flag();
    m.kernel.ClearDebugOutput();
    zhptest::FaultFilter().failSetPower = STATUS_DEVICE_BUSY;
    EXPECT_EQ(SetDevicePower(m, PowerDeviceD0), STATUS_DEVICE_BUSY);
    zhptest::FaultFilter().failSetPower = STATUS_SUCCESS;
    EXPECT_EQ(m.Flag(), flag);
    EXPECT_EQ(PowResume(m), 0);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD3);
    EXPECT_FALSE(m.TraceHas("POW_RESUME.12"));
    EXPECT_FALSE(m.TraceHas("adding power"));

    // The disk itself refuses an unknown state.
    EXPECT_EQ(SetDevicePower(m, PowerDeviceMaximum), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PowResume(m), 0);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD3);

    // Other power requests pass by.
    NTSTATUS status = STATUS_PENDING;
    m.Do([&] { status = hk::PoSetSystemPower(m.storage.Pdo(m.Disk()), PowerSystemWorking); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    m.Do([&] { status = hk::PoQueryDevicePower(m.storage.Pdo(m.Disk()), PowerDeviceD0); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(PowResume(m), 0);
    EXPECT_EQ(m.FilterExt()->DevicePowerState, kD3);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Paging, FirstFileClearsPagableAndTheLastOneSetsItAgain) {
    Machine m;
    PDEVICE_OBJECT filter = m.Filter();
    ASSERT_TRUE(filter->Flags & DO_POWER_PAGABLE);
    m.kernel.ClearDebugOutput();

    EXPECT_EQ(PagingFile(m, true), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 1);
    EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(m.TraceHas("ZHP_DispatchPnp(): Processing DEVICE_USAGE_NOTIFICATION\n"));
    EXPECT_EQ(TraceCount(m, "ZHP_DispatchPnp(): Clearing PAGABLE bit for DO "), 1);

    EXPECT_EQ(PagingFile(m, true), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 2);
    EXPECT_EQ(TraceCount(m, "Clearing PAGABLE bit"), 1);

    // Not the last one: the count goes down, the flag stays.
    EXPECT_EQ(PagingFile(m, false), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 1);
    EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(m.TraceHas("PAGABLE bit for DO") && m.TraceHas("Setting"));

    EXPECT_EQ(PagingFile(m, false), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 0);
    EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(TraceCount(m, "ZHP_DispatchPnp(): Setting  PAGABLE bit for DO "), 1);

    // Other usages pass by.
    EXPECT_EQ(PagingFile(m, true, DeviceUsageTypeHibernation), STATUS_SUCCESS);
    EXPECT_EQ(PagingFile(m, true, DeviceUsageTypeDumpFile), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 0);
    EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);

    // Any other minor function is forwarded with a dump.
    m.kernel.ClearDebugOutput();
    NTSTATUS status = STATUS_PENDING;
    m.Do([&] { status = hk::PnpSendMinor(m.storage.Pdo(m.Disk()), IRP_MN_QUERY_STOP_DEVICE); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("ZHP_DispatchPnp(): PNP that filter will forwarding\n"));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Paging, AnInrushDeviceStaysNonPagable) {
    Machine m;
    PDEVICE_OBJECT filter = m.Filter();
    ASSERT_EQ(PagingFile(m, true), STATUS_SUCCESS);
    filter->Flags |= DO_POWER_INRUSH;
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(PagingFile(m, false), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 0);
    EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(m.TraceHas("ZHP_DispatchPnp(): last paging fileremoved but DO_POWER_INRUSH set, so not for DO "))
        << m.Trace();
    EXPECT_FALSE(m.TraceHas("Setting  PAGABLE"));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Paging, AFailedNotificationChangesNothing) {
    zhptest::FaultFilterSettings settings;
    FaultyStack s(settings);
    Machine& m = s.m;
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    PDEVICE_OBJECT filter = m.Filter();

    zhptest::FaultFilter().failUsageNotification = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(PagingFile(m, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 0);
    EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);

    zhptest::FaultFilter().failUsageNotification = STATUS_SUCCESS;
    ASSERT_EQ(PagingFile(m, true), STATUS_SUCCESS);
    ASSERT_FALSE(filter->Flags & DO_POWER_PAGABLE);

    // The last one cannot go: the flag set for it is taken back.
    zhptest::FaultFilter().failUsageNotification = STATUS_UNSUCCESSFUL;
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(PagingFile(m, false), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m.TraceHas("Setting  PAGABLE bit"));
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 1);
    EXPECT_FALSE(filter->Flags & DO_POWER_PAGABLE);
    zhptest::FaultFilter().failUsageNotification = STATUS_SUCCESS;

    // Notifications do not wait for each other forever.
    EXPECT_EQ(PagingFile(m, false), STATUS_SUCCESS);
    EXPECT_EQ(m.FilterExt()->PagingPathCount, 0);
    EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// Protection on and a fall that lasts: the disk is blocked from here on.
bool BlockTheDisk(Machine& m) {
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Pin(true);
    m.Run(kSecond);
    return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0;
}

TEST(Removal, HeldRequestsAreCancelledAfterTheSensorThreadHasEnded) {
    Machine m;
    ASSERT_TRUE(BlockTheDisk(m));
    std::vector<hk::RequestPtr> held;
    m.Do([&] {
        held.push_back(hk::SendRead(m.DiskTop(), 0, 512));
        held.push_back(hk::SendWrite(m.DiskTop(), 512, std::vector<std::uint8_t>(512, 3)));
        held.push_back(hk::SendRead(m.DiskTop(), 1024, 512));
    });
    m.Run(10 * kMillisecond);
    for (auto& r : held) ASSERT_FALSE(r->completed);

    PKTHREAD thread = m.FilterExt()->SensorThread;
    ASSERT_NE(thread, nullptr);
    m.Do([&] { ObReferenceObject(thread); });
    // Looks at the thread the moment the first held request completes.
    bool threadEndedFirst = false;
    PKTHREAD watcher = m.kernel.Spawn(
        [&] {
            KeWaitForSingleObject(&held[0]->done, Executive, KernelMode, FALSE, nullptr);
            LARGE_INTEGER now;
            now.QuadPart = 0;
            threadEndedFirst = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
        },
        LOW_REALTIME_PRIORITY + 8, "watcher");
    m.Run(kMillisecond);

    m.kernel.ClearDebugOutput();
    EXPECT_EQ(m.storage.RemoveDisk(m.Disk()), STATUS_SUCCESS);
    ASSERT_TRUE(m.kernel.Join(watcher, kSecond));
    m.kernel.ReleaseThread(watcher);
    for (auto& r : held) {
        EXPECT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_CANCELLED);
        EXPECT_EQ(r->information, 0u);
        EXPECT_EQ(r->completions, 1u);
    }
    EXPECT_TRUE(threadEndedFirst);
    EXPECT_EQ(TraceCount(m, "ZHP_PendingIOCancel(): IO (Irp = 0x"), 3);
    EXPECT_EQ(m.Filter(), nullptr);
    m.Do([&] { ObDereferenceObject(thread); });
    m.Pin(false);
    m.Run(4 * kSecond);  // no release may run against the deleted device
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// A sender cancels its held requests while the disk is removed, the two
// interleaved differently with each seed: every request completes exactly
// once, as cancelled, whoever takes it, and the removal does not delete the
// device under a cancel still using it.
// On two processors the sender's cancel runs beside the removal.
void CancelHeldRequestsDuringRemoval(unsigned processors) {
    constexpr int kHeld = 4;
    int bySender = 0;
    int byRemoval = 0;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(std::to_string(processors) + " processor(s), seed " + std::to_string(seed));
        zhptest::MachineOptions options;
        options.seed = seed;
        options.processors = processors;
        options.preemptPercent = 20 + static_cast<unsigned>(seed % 60);
        Machine m(options);
        ASSERT_TRUE(BlockTheDisk(m));
        std::vector<hk::RequestPtr> held;
        m.Do([&] {
            for (int i = 0; i < kHeld; ++i) held.push_back(hk::SendRead(m.DiskTop(), 512u * i, 512));
        });
        m.Run(10 * kMillisecond);
        m.kernel.ClearDebugOutput();

        // The cancels start once the removal has begun and come one after
        // the other, around the moment the removal cancels what is held
        // (about 42 ms in, after the lower drivers and the sensor thread).
        PKTHREAD canceller = m.kernel.Spawn(
            [&] {
                LARGE_INTEGER pause;
                pause.QuadPart = -static_cast<LONGLONG>(100 * 10);  // 100 us
                while (!m.TraceHas("Schedule completion for IRP_MN_REMOVE_DEVICE")) {
                    KeDelayExecutionThread(KernelMode, FALSE, &pause);
                }
                LARGE_INTEGER wait;
                wait.QuadPart = -static_cast<LONGLONG>((40 + seed % 5) * kMillisecond);
                KeDelayExecutionThread(KernelMode, FALSE, &wait);
                for (auto& r : held) hk::CancelRequest(*r);
            },
            8, "canceller");
        EXPECT_EQ(m.storage.RemoveDisk(m.Disk()), STATUS_SUCCESS);
        ASSERT_TRUE(m.kernel.Join(canceller, kSecond));
        m.kernel.ReleaseThread(canceller);

        ASSERT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
        for (auto& r : held) {
            EXPECT_TRUE(r->completed);
            EXPECT_EQ(r->completions, 1u);
            EXPECT_EQ(r->status, STATUS_CANCELLED);
        }
        EXPECT_EQ(m.Filter(), nullptr);
        const int removal = TraceCount(m, "ZHP_PendingIOCancel(): IO (Irp = 0x");
        byRemoval += removal;
        bySender += kHeld - removal;
    }
    // Both sides did take requests, so the runs raced the two.
    EXPECT_GT(bySender, 0);
    EXPECT_GT(byRemoval, 0);
    std::cout << processors << " processor(s): cancelled by the sender: " << bySender
              << ", by the removal: " << byRemoval << std::endl;
}

TEST(Removal, ASenderCancellingItsHeldRequestsMeanwhileCompletesEachOnce) { CancelHeldRequestsDuringRemoval(1); }

TEST(Removal, OnTwoProcessorsASenderCancellingBesideTheRemovalCompletesEachOnce) {
    CancelHeldRequestsDuringRemoval(2);
}

TEST(Removal, APendingTransferIsCompletedAsCancelled) {
    Machine m;
    hk::RequestPtr read = m.SendCommand(ZHP_CMD_READ_SENSOR, {{16, 0x20}, {64, 24}});
    ASSERT_EQ(read->dispatchStatus, STATUS_PENDING);
    ASSERT_FALSE(read->completed);
    EXPECT_EQ(m.storage.RemoveDisk(m.Disk()), STATUS_SUCCESS);
    EXPECT_TRUE(read->completed);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    EXPECT_EQ(read->completions, 1u);
    m.Run(100 * kMillisecond);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Removal, LaterCommandsFindNoDevice) {
    Machine m;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    ASSERT_EQ(m.storage.RemoveDisk(m.Disk()), STATUS_SUCCESS);
    ASSERT_NE(m.Control(), nullptr) << "the control device outlives the disk";
    for (std::uint32_t command : {100u, 101u, 102u, 106u, 107u, 110u, 111u, 200u, 203u, 212u, 99u}) {
        Reply r = m.Command(command, {{36, 1}, {64, 2}});
        EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE) << command;
        EXPECT_EQ(r.bytes, 0u) << command;
    }
    // After a power change the start-up path would run: it must not either.
    m.Global<UCHAR>("POW_RESUME") = 1;
    Reply r = m.Command(ZHP_CMD_QUERY);
    EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE);
    // Opening and closing still work.
    NTSTATUS status = STATUS_PENDING;
    m.Do([&] {
        PFILE_OBJECT file = hk::OpenDevice(m.Control(), &status);
        if (file != nullptr) hk::CloseDevice(file);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Removal, ACommandInFlightFinishesFirst) {
    Machine m;
    PDEVICE_OBJECT control = m.Control();
    hk::RequestPtr startUp;
    bool removalHadBegun = false;
    bool filterStillThere = false;
    PKTHREAD caller = m.kernel.Spawn([&] {
        startUp = hk::SendDeviceControl(control, ZHP_IOCTL_COMMAND,
                                        zhptest::CommandBlock(ZHP_CMD_SENSOR_STARTUP, {{16, 0x26}, {24, 0x10}}), 80,
                                        UserMode);
        removalHadBegun = m.TraceHas("Schedule completion for IRP_MN_REMOVE_DEVICE");
        filterStillThere = m.Filter() != nullptr;
    });
    m.Run(2 * kMillisecond);
    ASSERT_FALSE(m.kernel.ThreadFinished(caller)) << "the command should still be under way";
    EXPECT_EQ(m.storage.RemoveDisk(m.Disk()), STATUS_SUCCESS);
    ASSERT_TRUE(m.kernel.Join(caller, kSecond));
    m.kernel.ReleaseThread(caller);
    ASSERT_TRUE(startUp && startUp->completed);
    EXPECT_EQ(startUp->status, STATUS_SUCCESS);
    EXPECT_EQ(startUp->information, 80u);
    EXPECT_TRUE(removalHadBegun);
    EXPECT_TRUE(filterStillThere);
    EXPECT_EQ(m.Filter(), nullptr);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(OpenClose, TheControlDeviceOpensWithOneTraceLine) {
    Machine m;
    PDEVICE_OBJECT control = m.Control();
    ULONG flag = m.Flag();
    m.kernel.ClearDebugOutput();
    NTSTATUS status = STATUS_PENDING;
    PFILE_OBJECT file = nullptr;
    m.Do([&] { file = hk::OpenDevice(control, &status); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(m.kernel.DebugOutput().size(), 1u) << m.Trace();
    EXPECT_EQ(m.kernel.DebugOutput()[0], "INFO ZHP_CreateClose(): Gsensor is opened\n\n");
    m.kernel.ClearDebugOutput();
    m.Do([&] { status = hk::CloseDevice(file); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("INFO ZHP_CreateClose(): Gsensor is closed\n"));
    EXPECT_FALSE(m.TraceHas("Disk is"));
    EXPECT_EQ(m.Flag(), flag);

    // The request itself: no bytes.
    hk::RequestPtr create;
    m.Do([&] {
        hk::RequestSpec spec;
        spec.major = IRP_MJ_CREATE;
        spec.requestorMode = UserMode;
        create = hk::SendRequest(control, spec);
    });
    ASSERT_TRUE(RunUntilCompleted(m, *create));
    EXPECT_EQ(create->status, STATUS_SUCCESS);
    EXPECT_EQ(create->information, 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(OpenClose, TheFilterItselfAndTheDiskThroughIt) {
    Machine m;
    NTSTATUS status = STATUS_PENDING;
    PFILE_OBJECT file = nullptr;

    m.kernel.ClearDebugOutput();
    m.Do([&] { file = hk::OpenDevice(m.Filter(), &status); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("ZHP_CreateClose(): Disk is opened\n"));
    EXPECT_TRUE(m.TraceHas("ZHP_CreateClose(): Filter is opened\n"));
    m.Do([&] { status = hk::CloseDevice(file); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("ZHP_CreateClose(): Disk is closed\n"));
    EXPECT_TRUE(m.TraceHas("ZHP_CreateClose(): Filter is closed\n"));

    // The disk's own device, opened through the stack: passed on.
    PDEVICE_OBJECT disk = m.FilterExt()->LowerDeviceObject;
    m.kernel.ClearDebugOutput();
    m.Do([&] { file = hk::OpenDevice(disk, &status); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("ZHP_CreateClose(): Disk is opened\n"));
    EXPECT_FALSE(m.TraceHas("Filter is opened"));
    m.Do([&] { status = hk::CloseDevice(file); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(m.TraceHas("ZHP_CreateClose(): Disk is closed\n"));
    EXPECT_FALSE(m.TraceHas("Gsensor"));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
