// The free-fall state machine tick by tick: interrupt state, pin and
// report-only mode; a pin that is up for one tick, one that never comes
// down; the conditions under which nothing is detected; the named events.
#include <gtest/gtest.h>

#include "sensor_rig.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using namespace sensortest;

const char kGiveUp[] = "ZHP_Proc_INT_Status(): >_<  Due tu retry too mcuh time of INT Release so bolck the relese "
                       "accessec!!\n";
const char kTrueInt[] = "ZHP_Proc_INT_Status():Got a TRUE INT of FreeFall form G-sensor \n";
const char kRearm[] = "Reset the timer";

bool Blocked(Machine& m) { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }

hk::RequestPtr Write(Machine& m, std::uint64_t sector) {
    hk::RequestPtr request;
    m.Do([&] { request = hk::SendWrite(m.DiskTop(), sector * 512, std::vector<std::uint8_t>(512, 0x5A)); });
    return request;
}

// When the write to this sector reached the disk, or -1.
hk::Time100ns ReachedDisk(Machine& m, std::uint64_t sector) {
    for (const auto& access : m.Disk().MediaAccesses()) {
        if (access.write && access.offset == sector * 512) return access.received;
    }
    return -1;
}

TEST(FreeFallStateMachine, EachRowOfTheTable) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    ProtectionOn(*m);
    FallEvents events(*m);
    DEVICE_EXTENSION* ext = m->FilterExt();
    auto& retry = m->Global<unsigned char>("INT_RELEASE_RETRY");
    auto& busy = m->Global<unsigned char>("CONFIG_BUSY");
    ASSERT_EQ(busy, 0);

    // Quiet, pin low: the retry counter is reset.
    retry = 7;
    m->Run(3 * kMillisecond);
    EXPECT_EQ(retry, 0);
    EXPECT_EQ(ext->IntState, 0);

    // Quiet, pin high: detection.
    m->Pin(true);
    ASSERT_TRUE(RunUntil(*m, [&] { return ext->IntState == 1; }, 2 * kSecond));
    EXPECT_EQ(m->Disk().AtaCommands().size(), 1u);
    ULONG flag = m->Flag();
    EXPECT_TRUE(flag & ZHP_FLAG_IO_BLOCKED);
    EXPECT_FALSE(flag & (ZHP_FLAG_FREE_FALL | ZHP_FLAG_FALL_CLEARED | ZHP_FLAG_IO_RESUMED));
    EXPECT_TRUE(events.Fall());
    EXPECT_FALSE(events.Cleared());
    EXPECT_EQ(Occurrences(m->Trace(), kTrueInt), 1u);
    EXPECT_TRUE(m->TraceHas("ZHP_FFDetected(): The Filter driver will park disk, Flag = 0x00000043"));

    // Falling, pin still high: one release attempt per tick, 0x5F then 0x7F
    // 100 ms apart, attempts about 200 ms apart.
    tap.log.clear();
    ASSERT_TRUE(RunUntil(*m, [&] { return retry == 3; }, kSecond));
    auto reads = tap.StartedTransactions(0x3B);
    ASSERT_EQ(reads.size(), 6u);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].reg, i % 2 == 0 ? 0x5F : 0x7F);
        if (i > 0) {
            const hk::Time100ns gap = reads[i].at - reads[i - 1].at;
            EXPECT_GE(gap, 100 * kMillisecond);
            EXPECT_LE(gap, 110 * kMillisecond);
        }
    }
    EXPECT_TRUE(tap.Transactions(0x3A).empty());  // nothing is written
    EXPECT_EQ(m->Disk().AtaCommands().size(), 1u);

    // Falling, pin low: the fall is over.
    m->Pin(false);
    ASSERT_TRUE(RunUntil(*m, [&] { return ext->IntState == 0; }, kSecond));
    EXPECT_EQ(retry, 0);
    flag = m->Flag();
    EXPECT_TRUE(flag & ZHP_FLAG_FALL_CLEARED);
    EXPECT_TRUE(flag & ZHP_FLAG_IO_BLOCKED);
    EXPECT_TRUE(events.Cleared());
    ASSERT_TRUE(RunUntil(*m, [&] { return !Blocked(*m); }, 3100 * kMillisecond));
    EXPECT_TRUE(m->Flag() & ZHP_FLAG_IO_RESUMED);

    // Report-only mode: quiet, pin high: only the fall event.
    busy = 1;
    events.Reset();
    const ULONG before = m->Flag();
    m->Pin(true);
    ASSERT_TRUE(RunUntil(*m, [&] { return ext->IntState == 1; }, kSecond));
    EXPECT_TRUE(events.Fall());
    EXPECT_FALSE(events.Cleared());
    EXPECT_EQ(m->Flag(), before);
    EXPECT_EQ(m->Disk().AtaCommands().size(), 1u);
    EXPECT_EQ(Occurrences(m->Trace(), kTrueInt), 1u);

    // Report-only mode: falling, pin low: only the cleared event.
    m->Pin(false);
    ASSERT_TRUE(RunUntil(*m, [&] { return ext->IntState == 0; }, kSecond));
    EXPECT_TRUE(events.Cleared());
    EXPECT_EQ(m->Flag(), before);
    EXPECT_EQ(retry, 0);
    busy = 0;
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, PinUpForOneTick) {
    zhptest::Machine m;
    ProtectionOn(m);
    TimedTrace trace(m);
    m.Pin(true);
    // The detection tick has sampled the pin and is parking the disk.
    ASSERT_TRUE(RunUntil(m, [&] { return m.TraceHas("TriggerPinConfirm()"); }, kSecond));
    m.Pin(false);
    ASSERT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
    hk::RequestPtr held = Write(m, 100);
    ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 0; }, kSecond));

    // The very next tick clears the fall and re-arms the release.
    auto detected = trace.First("ZHP_FFDetected(): The Filter driver will park disk");
    auto cleared = trace.First(kRearm);
    ASSERT_TRUE(detected && cleared);
    EXPECT_GE(*cleared - *detected, kMillisecond);
    EXPECT_LT(*cleared - *detected, 2 * kMillisecond);
    EXPECT_EQ(trace.Count("TriggerPinConfirm()"), 1u);
    EXPECT_EQ(trace.Count("ZHP_FFCleared(): The sensor is resumed, Device"), 1u);

    // Released 3 s after that tick, not after the detection.
    ASSERT_TRUE(RunUntil(m, [&] { return held->completed; }, 5 * kSecond));
    EXPECT_EQ(held->status, STATUS_SUCCESS);
    const hk::Time100ns reached = ReachedDisk(m, 100);
    EXPECT_GE(reached - *cleared, 3 * kSecond);
    EXPECT_LE(reached - *cleared, 3 * kSecond + kMillisecond);
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, EveryFallReArmsItsOwnRelease) {
    zhptest::Machine m;
    ProtectionOn(m);
    TimedTrace trace(m);
    DEVICE_EXTENSION* ext = m.FilterExt();
    auto fall = [&](hk::Time100ns held, std::uint64_t sector) {
        m.Pin(true);
        EXPECT_TRUE(RunUntil(m, [&] { return ext->IntState == 1; }, kSecond));
        EXPECT_TRUE(Blocked(m));
        EXPECT_FALSE(m.Flag() & (ZHP_FLAG_FALL_CLEARED | ZHP_FLAG_IO_RESUMED));
        hk::RequestPtr write = Write(m, sector);
        m.Run(held);
        m.Pin(false);
        EXPECT_TRUE(RunUntil(m, [&] { return ext->IntState == 0; }, kSecond));
        EXPECT_TRUE(m.Flag() & ZHP_FLAG_FALL_CLEARED);
        return write;
    };

    // Two falls, the second after the first one's release.
    fall(0, 500);
    ASSERT_TRUE(RunUntil(m, [&] { return !Blocked(m); }, 3100 * kMillisecond));
    hk::RequestPtr second = fall(500 * kMillisecond, 501);
    const hk::Time100ns secondCleared = trace.TimesOf(kRearm).back();
    EXPECT_EQ(trace.Count(kRearm), 2u);

    // A third one while the second one's I/O is still held: parked again,
    // held on, released 3 s after its own end.
    m.Run(kSecond);
    EXPECT_FALSE(second->completed);
    hk::RequestPtr third = fall(300 * kMillisecond, 502);
    const hk::Time100ns thirdCleared = trace.TimesOf(kRearm).back();
    EXPECT_EQ(trace.Count(kRearm), 3u);
    EXPECT_EQ(m.Disk().AtaCommands().size(), 3u);
    ASSERT_TRUE(RunUntil(m, [&] { return third->completed; }, 4 * kSecond));
    EXPECT_TRUE(second->completed);
    EXPECT_LT(second->completionOrder, third->completionOrder);
    for (hk::Time100ns reached : {ReachedDisk(m, 501), ReachedDisk(m, 502)}) {
        EXPECT_GE(reached - thirdCleared, 3 * kSecond);
        EXPECT_LE(reached - thirdCleared, 3 * kSecond + kMillisecond);
    }
    EXPECT_GT(thirdCleared - secondCleared, kSecond);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, PinThatNeverComesDown) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    ProtectionOn(*m);
    FallEvents events(*m);
    TimedTrace trace(*m);
    m->Pin(true);
    ASSERT_TRUE(RunUntil(*m, [&] { return Blocked(*m); }, kSecond));
    hk::RequestPtr held = Write(*m, 200);
    tap.log.clear();

    // Ten release attempts, then the give-up path.
    ASSERT_TRUE(RunUntil(*m, [&] { return trace.Count(kGiveUp) == 1; }, 4 * kSecond));
    const hk::Time100ns firstGiveUp = *trace.First(kGiveUp);
    auto reads = tap.StartedTransactions(0x3B);
    ASSERT_EQ(reads.size(), 20u);
    for (std::size_t i = 2; i < reads.size(); i += 2) {
        EXPECT_EQ(reads[i].reg, 0x5F);
        EXPECT_EQ(reads[i + 1].reg, 0x7F);
        const hk::Time100ns gap = reads[i].at - reads[i - 2].at;
        EXPECT_GE(gap, 200 * kMillisecond);
        EXPECT_LE(gap, 215 * kMillisecond);
    }
    EXPECT_EQ(m->Global<unsigned char>("INT_RELEASE_RETRY"), 10);
    // The first give-up re-arms the release; the fall is reported as over
    // and both events are signalled.
    EXPECT_EQ(trace.Count(kRearm), 1u);
    EXPECT_TRUE(events.Fall());
    EXPECT_TRUE(events.Cleared());

    // It repeats about every 1.1 s, signalling both events each time, with
    // no second re-arm and no release attempts every tick: one release
    // (0x5F, then 0x7F) closes each round, so that a latch left by motion
    // that has ended is let go.
    for (std::size_t round = 2; round <= 4; ++round) {
        m->Run(150 * kMillisecond);  // past the second signal, inside the 1 s pause
        events.Reset();
        m->Run(200 * kMillisecond);
        EXPECT_FALSE(events.Fall());
        EXPECT_FALSE(events.Cleared());
        ASSERT_TRUE(RunUntil(*m, [&] { return trace.Count(kGiveUp) == round; }, 2 * kSecond));
        EXPECT_TRUE(events.Fall());
        EXPECT_TRUE(events.Cleared());
    }
    auto giveUps = trace.TimesOf(kGiveUp);
    for (std::size_t i = 1; i < giveUps.size(); ++i) {
        EXPECT_GE(giveUps[i] - giveUps[i - 1], 1100 * kMillisecond);
        EXPECT_LE(giveUps[i] - giveUps[i - 1], 1110 * kMillisecond);
    }
    const auto allReads = tap.StartedTransactions(0x3B);
    ASSERT_EQ(allReads.size(), 20u + 2 * (giveUps.size() - 1)) << "one release per finished round";
    for (std::size_t round = 0; round + 1 < giveUps.size(); ++round) {
        const auto& first = allReads[20 + 2 * round];
        const auto& second = allReads[21 + 2 * round];
        EXPECT_EQ(first.reg, 0x5F);
        EXPECT_EQ(second.reg, 0x7F);
        EXPECT_GE(first.at - giveUps[round], 1080 * kMillisecond) << "at the end of the round's pause";
        EXPECT_LT(second.at, giveUps[round + 1]);
    }
    EXPECT_EQ(trace.Count(kRearm), 1u);
    EXPECT_EQ(m->Disk().AtaCommands().size(), 1u);

    // The held write went down 3 s after the first give-up.
    ASSERT_TRUE(held->completed);
    const hk::Time100ns reached = ReachedDisk(*m, 200);
    EXPECT_GE(reached - firstGiveUp, 3 * kSecond);
    EXPECT_LE(reached - firstGiveUp, 3 * kSecond + kMillisecond);

    // When the pin finally drops the machine is quiet again.
    m->Pin(false);
    ASSERT_TRUE(RunUntil(*m, [&] { return m->FilterExt()->IntState == 0; }, 2 * kSecond));
    EXPECT_EQ(m->Global<unsigned char>("INT_RELEASE_RETRY"), 0);
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, GiveUpRunsInReportOnlyModeToo) {
    zhptest::Machine m;
    ProtectionOn(m);
    FallEvents events(m);
    m.Global<unsigned char>("CONFIG_BUSY") = 1;
    m.Pin(true);
    ASSERT_TRUE(RunUntil(m, [&] { return m.TraceHas(kGiveUp); }, 4 * kSecond));
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_FALSE(Blocked(m));
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_FALL_CLEARED);  // nothing held, nothing to re-arm
    m.Run(150 * kMillisecond);
    EXPECT_TRUE(events.Fall());
    EXPECT_TRUE(events.Cleared());
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, ReportOnlyModeFromThePresetCommands) {
    zhptest::Machine m;
    ProtectionOn(m);
    FallEvents events(m);
    m.Command(210, {{36, 1}}, 5 * kSecond);
    EXPECT_EQ(m.Global<unsigned char>("CONFIG_BUSY"), 1);

    m.Pin(true);
    ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 1; }, kSecond));
    EXPECT_TRUE(events.Fall());
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_FALSE(Blocked(m));
    hk::RequestPtr write = Write(m, 300);
    EXPECT_TRUE(RunUntil(m, [&] { return write->completed; }, 100 * kMillisecond));  // not held
    m.Pin(false);
    ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 0; }, kSecond));
    EXPECT_TRUE(events.Cleared());
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_FALL_CLEARED);

    // Command 110 ends report-only mode: the next fall parks.
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * kSecond);
    EXPECT_EQ(m.Global<unsigned char>("CONFIG_BUSY"), 0);
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, NothingIsDetectedWhileTheStartUpIsPending) {
    zhptest::Machine m;
    ProtectionOn(m);
    auto& powResume = m.Global<unsigned char>("POW_RESUME");
    // As right after a device power change of the disk: within the settle
    // time the thread leaves the start-up to a command.
    m.Global<unsigned long long>("PowerSettleSince") = static_cast<unsigned long long>(m.kernel.Now());
    powResume = 1;
    m.kernel.ClearDebugOutput();
    m.Pin(true);
    m.Run(120 * kMillisecond);
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_EQ(m.FilterExt()->IntState, 0);
    EXPECT_FALSE(m.TraceHas("TriggerPinConfirm()"));  // the line is not even sampled

    // Any command runs the start-up path first.
    zhptest::Reply r = m.Command(ZHP_CMD_QUERY, {}, 5 * kSecond);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(powResume, 0);
    EXPECT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, UnknownTransferStateMakesTheTickDoNothing) {
    zhptest::Machine m;
    m.FilterExt()->SensorOp = 3;
    m.kernel.ClearDebugOutput();
    m.Pin(true);
    m.Run(100 * kMillisecond);
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_FALSE(m.TraceHas("TriggerPinConfirm()"));
    EXPECT_FALSE(m.TraceHas("SM_RW CMD"));
    m.FilterExt()->SensorOp = 0;
    EXPECT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, OnlyASingleBitSelectsThePin) {
    {
    zhptest::Machine m;
    auto& pinMask = m.Global<unsigned char>("PCI_TRIG_PIN");
    m.Pin(true);  // GPIO bit 0x20
    for (unsigned char mask : {0x00, 0x30, 0x21, 0x60, 0xFF, 0x10, 0x01, 0x80}) {
        SCOPED_TRACE(int(mask));
        pinMask = mask;
        m.kernel.ClearDebugOutput();
        m.Run(100 * kMillisecond);
        EXPECT_TRUE(m.Disk().AtaCommands().empty());
        EXPECT_EQ(m.FilterExt()->IntState, 0);
        EXPECT_FALSE(m.TraceHas("TriggerPinConfirm()"));
    }
    // Another input of the register, selected by its own bit.
    m.Pin(false);
    m.chipset.Gpio().SetOtherInputs(0x10);
    pinMask = 0x10;
    EXPECT_TRUE(RunUntil(m, [&] { return Blocked(m); }, kSecond));
    EXPECT_TRUE(m.TraceHas("Ph_GPIO_ADDR(0x00001ebb)= 0x00000010"));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }

    // The same from the registry.
    zhptest::MachineOptions options;
    options.editRegistry = [](hk::Registry& reg) { SetInit(reg, L"PCI_TRIG_PIN", {0x30}); };
    zhptest::Machine fromRegistry(options);
    EXPECT_EQ(InitValue(fromRegistry, L"ERR_CODE"), std::vector<std::uint8_t>{0x00});
    fromRegistry.Pin(true);
    fromRegistry.Run(500 * kMillisecond);
    EXPECT_TRUE(fromRegistry.Disk().AtaCommands().empty());
    EXPECT_FALSE(fromRegistry.kernel.Stopped()) << fromRegistry.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, UnmappableGpioAddressReadsAsNotAsserted) {
    zhptest::MachineOptions options;
    options.chipset.gpio_address = 0xFED0C000;
    options.editRegistry = [](hk::Registry& reg) { SetInit(reg, L"PCI_GPIO_ADDR", {0xFE, 0xD0, 0xC0, 0x00}); };
    zhptest::Machine m(options);
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    m.kernel.FailMemoryMapping(0xFED0C000, 4);
    m.Pin(true);
    m.Run(2 * kSecond);
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_EQ(m.FilterExt()->IntState, 0);
    EXPECT_EQ(Occurrences(m.Trace(), "Ph_MEM_ADDR(0xfed0c000) can not be mapped"), 1u);
    zhptest::Reply r = m.Command(ZHP_CMD_QUERY);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(FreeFallStateMachine, DetectionWithProtectionOffParksButSignalsNothing) {
    zhptest::Machine m;
    ProtectionOn(m);
    FallEvents events(m);
    m.Do([&] { InterlockedAnd(reinterpret_cast<volatile LONG*>(&m.FilterExt()->Flag), ~LONG{ZHP_FLAG_SENSOR_ON}); });
    m.Pin(true);
    ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 1; }, kSecond));
    EXPECT_TRUE(Blocked(m));
    EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
    hk::RequestPtr held = Write(m, 400);
    m.Pin(false);
    ASSERT_TRUE(RunUntil(m, [&] { return m.FilterExt()->IntState == 0; }, kSecond));
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_FALL_CLEARED);
    EXPECT_FALSE(events.Fall());
    EXPECT_FALSE(events.Cleared());
    EXPECT_FALSE(held->completed);
    EXPECT_TRUE(RunUntil(m, [&] { return held->completed; }, 3100 * kMillisecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(NamedEvents, CreatedResetSignalledAndClosed) {
    zhptest::Machine m;
    DEVICE_EXTENSION* ext = m.FilterExt();
    EXPECT_EQ(ext->FreeFallEvent, nullptr);  // protection was never switched on
    FallEvents events(m);                    // the utility opens them first
    events.Reset();                          // a new notification event starts signalled

    // Protection off: a fall parks the disk but signals nothing.
    m.Pin(true);
    ASSERT_TRUE(RunUntil(m, [&] { return ext->IntState == 1; }, kSecond));
    m.Pin(false);
    ASSERT_TRUE(RunUntil(m, [&] { return ext->IntState == 0; }, kSecond));
    EXPECT_FALSE(events.Fall());
    EXPECT_FALSE(events.Cleared());

    // Switching on opens the same events and resets them.
    events.Set();
    ProtectionOn(m);
    EXPECT_EQ(ext->FreeFallEvent, events.fall);
    EXPECT_EQ(ext->FreeFallClearedEvent, events.cleared);
    EXPECT_NE(ext->FreeFallEventHandle, nullptr);
    EXPECT_NE(ext->FreeFallClearedEventHandle, nullptr);
    EXPECT_FALSE(events.Fall());
    EXPECT_FALSE(events.Cleared());
    m.Pin(true);
    ASSERT_TRUE(RunUntil(m, [&] { return ext->IntState == 1; }, kSecond));
    EXPECT_TRUE(events.Fall());
    EXPECT_FALSE(events.Cleared());
    m.Pin(false);
    ASSERT_TRUE(RunUntil(m, [&] { return ext->IntState == 0; }, kSecond));
    EXPECT_TRUE(events.Cleared());

    // Switching off closes them: nothing is signalled any more.
    zhptest::Reply off = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    EXPECT_EQ(off.status, STATUS_SUCCESS);
    EXPECT_EQ(ext->FreeFallEvent, nullptr);
    EXPECT_EQ(ext->FreeFallClearedEvent, nullptr);
    EXPECT_EQ(ext->FreeFallEventHandle, nullptr);
    EXPECT_EQ(ext->FreeFallClearedEventHandle, nullptr);
    events.Reset();
    m.Pin(true);
    ASSERT_TRUE(RunUntil(m, [&] { return ext->IntState == 1; }, 4 * kSecond));
    m.Pin(false);
    ASSERT_TRUE(RunUntil(m, [&] { return ext->IntState == 0; }, kSecond));
    EXPECT_FALSE(events.Fall());
    EXPECT_FALSE(events.Cleared());

    // The start-up path after a power change creates and resets them too.
    events.Set();
    m.Global<unsigned char>("POW_RESUME") = 1;
    m.Command(ZHP_CMD_QUERY, {}, 5 * kSecond);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_EQ(ext->FreeFallEvent, events.fall);
    EXPECT_FALSE(events.Fall());
    EXPECT_FALSE(events.Cleared());
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
