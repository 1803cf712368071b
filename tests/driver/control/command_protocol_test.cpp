// The control device's command protocol as a caller sees it: the command
// block, every result code, the switch, the release, the query and the
// configuration commands.
#include <gtest/gtest.h>

#include <algorithm>

#include "control_test_util.h"
#include "driver_machine.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using zhptest::CommandBlock;
using zhptest::InitValue;
using zhptest::Machine;
using zhptest::Reply;
using zhptest::RunUntilCompleted;
using zhptest::TraceCount;

constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);

// Sends a block of any length with any control code and waits for the reply.
Reply Send(Machine& m, PDEVICE_OBJECT device, ULONG code, std::vector<std::uint8_t> input, ULONG outLength) {
    hk::RequestPtr request;
    m.Do([&] { request = hk::SendDeviceControl(device, code, std::move(input), outLength, UserMode); });
    EXPECT_TRUE(RunUntilCompleted(m, *request));
    return Machine::ReplyOf(*request);
}

TEST(CommandBlock, BuffersShorterThanEightyBytesAreRefusedWithNoBytes) {
    Machine m;
    struct Lengths {
        ULONG in, out;
    };
    for (Lengths l : {Lengths{79, 80}, Lengths{80, 79}, Lengths{79, 79}, Lengths{0, 0}, Lengths{80, 0}}) {
        m.kernel.ClearDebugOutput();
        std::vector<std::uint8_t> block = CommandBlock(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}}, l.in);
        Reply r = Send(m, m.Control(), ZHP_IOCTL_COMMAND, block, l.out);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << l.in << "/" << l.out;
        EXPECT_EQ(r.bytes, 0u) << l.in << "/" << l.out;
        EXPECT_TRUE(m.TraceHas("ZHP_DeviceControl(): DeviceIo Control: 0x72020, Irp = 0x")) << m.Trace();
        EXPECT_TRUE(m.TraceHas(", Buffer too small"));
        EXPECT_FALSE(m.TraceHas("User Command")) << "the command must not be read";
    }
    // The refused switch-on never happened.
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);

    // Longer buffers are fine; the output length is what comes back.
    Reply r = Send(m, m.Control(), ZHP_IOCTL_COMMAND, CommandBlock(ZHP_CMD_QUERY, {}, 120), 100);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 100u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// The reply carries the whole output length; nothing past the block may be
// what the system buffer held before (Windows does not clear it).
TEST(CommandBlock, ALongOutputBufferGetsZeroesPastTheBlock) {
    struct Case {
        const char* what;
        std::uint32_t command;
        zhptest::Words words;
        ULONG inLength;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"query", ZHP_CMD_QUERY, {}, 80, STATUS_SUCCESS},
        {"query, input as long as the output", ZHP_CMD_QUERY, {}, 4096, STATUS_SUCCESS},
        {"switch on", ZHP_CMD_SWITCH_PROTECTION, {{36, 1}, {16, 0x26}}, 80, STATUS_SUCCESS},
        {"release while nothing is held", ZHP_CMD_RELEASE_DISK, {}, 80, STATUS_SUCCESS},
        {"write refused while switched on", ZHP_CMD_WRITE_SENSOR, {{64, 2}}, 80, STATUS_SUCCESS},
        {"reload", ZHP_CMD_RELOAD_CONFIG, {}, 80, STATUS_SUCCESS},
        {"store", ZHP_CMD_STORE_SETTINGS, {{16, 0x26}, {24, 0x10}, {36, 1}}, 80, STATUS_SUCCESS},
        {"preset", ZHP_CMD_PRESET_INTERRUPT_ON, {{16, 0x26}, {24, 0x10}, {36, 1}}, 80, STATUS_SUCCESS},
    };
    Machine m;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hk::RequestPtr request;
        m.Do([&] {
            request = hk::SendDeviceControl(m.Control(), ZHP_IOCTL_COMMAND, CommandBlock(c.command, c.words, c.inLength),
                                            4096, UserMode);
        });
        ASSERT_TRUE(RunUntilCompleted(m, *request, 5 * kSecond));
        EXPECT_EQ(request->status, c.status);
        EXPECT_EQ(request->information, 4096u);
        ASSERT_EQ(request->buffer.size(), 4096u);
        EXPECT_EQ(request->buffer[0], c.command & 0xFF);
        const auto past = std::find_if(request->buffer.begin() + 80, request->buffer.end(),
                                       [](std::uint8_t b) { return b != 0; });
        EXPECT_EQ(past, request->buffer.end()) << "byte " << (past - request->buffer.begin()) << " is not zero";
    }
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(CommandBlock, EntryTracesAndClearsTheResultWord) {
    Machine m;
    m.kernel.ClearDebugOutput();
    Reply r = m.Command(ZHP_CMD_QUERY, {{76, 0x5A5A}});
    EXPECT_EQ(r.Word(76), 0u);
    EXPECT_EQ(r.Word(0), static_cast<std::uint32_t>(ZHP_CMD_QUERY));
    EXPECT_TRUE(m.TraceHas("ZHP_DeviceControl(): IRP_MJ_DEVICE_CONTROL\xA1@@@@@@@@@@@@@@@@@@@@@@@@\n"));
    // The receiving device's own Flag: the control device's.
    char expected[96];
    std::snprintf(expected, sizeof expected, "ZHP_DeviceControl(): Flag = : 0x%x, User Command = 107",
                  static_cast<DEVICE_EXTENSION*>(m.Control()->DeviceExtension)->Flag);
    EXPECT_TRUE(m.TraceHas(expected)) << m.Trace();
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(CommandBlock, UnlistedCommandsAreNotImplementedAndReturnTheOutputLength) {
    Machine m;
    ULONG before = m.Flag();
    for (std::uint32_t command : {0u, 1u, 99u, 103u, 104u, 105u, 108u, 109u, 112u, 150u, 199u, 216u, 300u,
                                  0x10000u + 107u, 0xFFFFFFFFu}) {
        Reply r = m.Command(command, {{36, 1}, {64, 4}});
        EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED) << command;
        EXPECT_EQ(r.bytes, 80u) << command;
    }
    Reply r = Send(m, m.Control(), ZHP_IOCTL_COMMAND, CommandBlock(216, {}, 96), 96);
    EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(r.bytes, 96u);
    EXPECT_EQ(m.Flag(), before);
    EXPECT_EQ(m.FilterExt()->SensorOp, 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(CommandBlock, OtherControlCodesArePassedThrough) {
    Machine m;
    const ULONG otherCode = CTL_CODE(FILE_DEVICE_DISK, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS);
    // The control device is in no stack: it completes them itself, untouched.
    m.kernel.ClearDebugOutput();
    Reply r = Send(m, m.Control(), otherCode, CommandBlock(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}}), 80);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_FALSE(m.TraceHas("User Command"));
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);

    // On the filter they reach the disk, which answers for itself.
    r = Send(m, m.Filter(), otherCode, CommandBlock(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}}), 80);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);

    // An ATA command through the filter reaches the disk.
    std::vector<std::uint8_t> ata(sizeof(ATA_PASS_THROUGH_EX), 0);
    auto* header = reinterpret_cast<ATA_PASS_THROUGH_EX*>(ata.data());
    header->Length = sizeof(ATA_PASS_THROUGH_EX);
    header->TimeOutValue = 2;
    header->CurrentTaskFile[6] = 0xE1;  // plain IDLE IMMEDIATE
    r = Send(m, m.DiskTop(), IOCTL_ATA_PASS_THROUGH, ata, sizeof(ATA_PASS_THROUGH_EX));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(m.Disk().AtaCommands().size(), 1u);
    EXPECT_EQ(m.Disk().AtaCommands()[0].task.command, 0xE1);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SwitchProtection, DelayLevelIsOneToFourOrElseFive) {
    Machine m;
    struct Case {
        std::uint32_t sent, stored;
    };
    for (Case c : {Case{10, 5}, Case{3, 3}, Case{0, 5}, Case{1, 1}, Case{4, 4}, Case{5, 5}, Case{0xFFFFFFFF, 5},
                   Case{2, 2}}) {
        Reply on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{32, c.sent}, {36, 1}});
        EXPECT_EQ(on.status, STATUS_SUCCESS);
        EXPECT_EQ(on.bytes, 80u);
        EXPECT_EQ(on.Word(76), 0u);
        EXPECT_EQ(m.FilterExt()->DelayLevel, c.stored) << c.sent;
        EXPECT_EQ(m.Command(ZHP_CMD_QUERY).Word(32), c.stored) << c.sent;
        Reply off = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{32, 2}, {36, 0}});
        EXPECT_EQ(off.Word(76), 0u);
        // Switching off leaves the delay level alone.
        EXPECT_EQ(m.FilterExt()->DelayLevel, c.stored);
    }
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SwitchProtection, OnTwiceOffTwiceAndTheStoredSettings) {
    Machine m;
    ASSERT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    ASSERT_EQ(m.FilterExt()->FreeFallEvent, nullptr);

    Reply on = m.Command(ZHP_CMD_SWITCH_PROTECTION,
                         {{16, 0x1234}, {20, 0x56}, {24, 0x1FF}, {28, 0x02}, {32, 3}, {36, 1}});
    EXPECT_EQ(on.Word(76), 0u);
    EXPECT_EQ(on.bytes, 80u);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_OFF);
    EXPECT_NE(m.FilterExt()->FreeFallEvent, nullptr);
    EXPECT_NE(m.FilterExt()->FreeFallClearedEvent, nullptr);
    EXPECT_EQ(m.Global<UCHAR>("OP_MODE"), 1);

    // The query returns the low bytes sent with the switch and the mode.
    Reply q = m.Command(ZHP_CMD_QUERY, {{16, 0xAAAA}, {36, 0x77}});
    EXPECT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(q.bytes, 80u);
    EXPECT_EQ(q.Word(16), 0x34u);
    EXPECT_EQ(q.Word(20), 0x56u);
    EXPECT_EQ(q.Word(24), 0xFFu);
    EXPECT_EQ(q.Word(28), 0x02u);
    EXPECT_EQ(q.Word(32), 3u);
    EXPECT_EQ(q.Word(36), 1u);
    EXPECT_EQ(q.Word(4), 0u);  // SensorOp
    EXPECT_EQ(q.Word(8), m.Flag());
    EXPECT_EQ(q.Word(12), m.FilterExt()->DispatchForwardCount);
    EXPECT_TRUE(m.TraceHas("ZHP_DeviceControl(): 34,56,ff,2\n"));
    EXPECT_TRUE(m.TraceHas("ZHP_DeviceControl(): TH_L=34,TH_H=56,DT_L=ff,DT_H=2,OP=1,RW=0\n"));

    // On again: refused, but the mode is taken and nothing else.
    on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{16, 0x99}, {20, 0x98}, {24, 0x97}, {28, 0x96}, {32, 1}, {36, 7}});
    EXPECT_EQ(on.status, STATUS_SUCCESS);
    EXPECT_EQ(on.bytes, 80u);
    EXPECT_EQ(on.Word(76), static_cast<std::uint32_t>(ZHP_RESULT_ALREADY_ON));
    EXPECT_EQ(m.Global<UCHAR>("OP_MODE"), 7);
    q = m.Command(ZHP_CMD_QUERY);
    EXPECT_EQ(q.Word(16), 0x34u);
    EXPECT_EQ(q.Word(32), 3u);
    EXPECT_EQ(q.Word(36), 7u);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);

    // Off: the flags swap and the events are closed.
    Reply off = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    EXPECT_EQ(off.Word(76), 0u);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_OFF);
    EXPECT_EQ(m.FilterExt()->FreeFallEvent, nullptr);
    EXPECT_EQ(m.FilterExt()->FreeFallClearedEvent, nullptr);
    EXPECT_EQ(m.Global<UCHAR>("OP_MODE"), 0);

    // The whole word decides the switch, its low byte is the mode.
    off = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{16, 0x21}, {36, 0x300}});
    EXPECT_EQ(off.Word(76), 0u) << "0x300 is non-zero: a switch-on";
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_EQ(m.Global<UCHAR>("OP_MODE"), 0);
    // Off when off: refused.
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    off = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    EXPECT_EQ(off.status, STATUS_SUCCESS);
    EXPECT_EQ(off.bytes, 80u);
    EXPECT_EQ(off.Word(76), static_cast<std::uint32_t>(ZHP_RESULT_ALREADY_OFF));
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_OFF);

    // The query reports the mode whether or not protection is on.
    q = m.Command(ZHP_CMD_QUERY);
    EXPECT_EQ(q.Word(36), 0u);
    EXPECT_EQ(q.Word(16), 0x21u);
    EXPECT_EQ(q.Word(8) & ZHP_FLAG_SENSOR_ON, 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SwitchProtection, RefusedBeforeTheFilterIsInitialised) {
    Machine m;
    // The state the filter has before add-device has finished.
    m.FilterExt()->Flag &= ~static_cast<ULONG>(ZHP_FLAG_INITIALIZED);
    m.kernel.ClearDebugOutput();
    Reply r = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 5}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_NE(m.Global<UCHAR>("OP_MODE"), 5);
    EXPECT_TRUE(m.TraceHas("ERROR!!! ZHP_DeviceControl(): The filter is not initialized yet, Device 0x")) << m.Trace();
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// Protection on, a forced fall, and two reads and a write held behind it.
struct HeldFall {
    std::vector<hk::RequestPtr> held;
};

HeldFall FallWithHeldIo(Machine& m) {
    HeldFall fall;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Pin(true);
    m.Run(kSecond);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    m.Do([&] {
        fall.held.push_back(hk::SendRead(m.DiskTop(), 0, 512));
        fall.held.push_back(hk::SendRead(m.DiskTop(), 4096, 512));
        fall.held.push_back(hk::SendWrite(m.DiskTop(), 8192, std::vector<std::uint8_t>(512, 7)));
    });
    m.Run(10 * kMillisecond);
    for (auto& r : fall.held) EXPECT_FALSE(r->completed);
    return fall;
}

TEST(ReleaseDisk, RefusedWhileSwitchedOff) {
    Machine m;
    m.kernel.ClearDebugOutput();
    Reply r = m.Command(ZHP_CMD_RELEASE_DISK, {{4, 0x11}, {8, 0x22}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_TRUE(m.TraceHas("ERROR!!! ZHP_DeviceControl(): The sensor is not enable yet 001, Device 0x")) << m.Trace();
    EXPECT_FALSE(m.TraceHas("received release disk request"));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ReleaseDisk, ReleasesHeldIoAtOnceAndLaterOnlyReportsTheLastFall) {
    Machine m;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    // No fall yet: nothing to report or release.
    Reply r = m.Command(ZHP_CMD_RELEASE_DISK);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(4), 0u);
    EXPECT_EQ(r.Word(8), 0u);
    EXPECT_TRUE(m.TraceHas("received release disk request"));

    HeldFall fall = FallWithHeldIo(m);
    m.Pin(false);
    m.Run(100 * kMillisecond);  // the fall is over; the release is 3 s away
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    hk::Time100ns asked = m.kernel.Now();
    r = m.Command(ZHP_CMD_RELEASE_DISK);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(4), 2u);
    EXPECT_EQ(r.Word(8), 1u);
    for (auto& held : fall.held) {
        EXPECT_TRUE(RunUntilCompleted(m, *held, 100 * kMillisecond));
        EXPECT_EQ(held->status, STATUS_SUCCESS);
        EXPECT_LT(held->completedAt - asked, kSecond) << "released at once, not at the timer";
    }
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_IO_RESUMED);

    // Afterwards: the counts of the last fall, and nothing is released or re-armed.
    m.Run(4 * kSecond);
    ULONG flag = m.Flag();
    std::size_t released = TraceCount(m, "ZHP_RecoveryDPC(): The IO will be resumed");
    r = m.Command(ZHP_CMD_RELEASE_DISK);
    EXPECT_EQ(r.Word(4), 2u);
    EXPECT_EQ(r.Word(8), 1u);
    m.Run(4 * kSecond);
    EXPECT_EQ(m.Flag(), flag);
    EXPECT_EQ(TraceCount(m, "ZHP_RecoveryDPC(): The IO will be resumed"), static_cast<int>(released));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ReleaseDisk, WithoutItHeldIoWaitsForTheTimer) {
    Machine m;
    HeldFall fall = FallWithHeldIo(m);
    m.Pin(false);
    m.Run(2 * kSecond);
    for (auto& held : fall.held) EXPECT_FALSE(held->completed);
    m.Run(2 * kSecond);
    for (auto& held : fall.held) EXPECT_TRUE(held->completed);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Transfers, ReadAndWriteSensorRegisters) {
    Machine m;
    // The chip identity.
    Reply r = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(64), 1u);
    EXPECT_EQ(r.Word(76), 0u);
    EXPECT_EQ(r.words[10] & 0xFF, 0x3Au);

    // Two register/value pairs, read back as a run of five registers.
    r = m.Command(ZHP_CMD_WRITE_SENSOR, {{40, 0x3156 << 16 | 0x2152}, {64, 4}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(64), 4u);
    EXPECT_EQ(r.Word(76), 0u);
    r = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x152}, {64, 5}});  // only the low byte names the register
    EXPECT_EQ(r.Word(64), 5u);
    EXPECT_EQ(r.words[10] & 0xFF, 0x21u);
    EXPECT_EQ((r.words[11] & 0xFF), 0x31u);
    EXPECT_EQ(m.FilterExt()->SensorOp, 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Transfers, RefusalsReportCountZeroAndResultOne) {
    Machine m;
    auto expectRefused = [&](std::uint32_t command, zhptest::Words words, const char* why) {
        ULONG op = m.FilterExt()->SensorOp;
        Reply r = m.Command(command, words);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << why;
        EXPECT_EQ(r.bytes, 80u) << why;
        EXPECT_EQ(r.Word(64), 0u) << why;
        EXPECT_EQ(r.Word(76), static_cast<std::uint32_t>(ZHP_RESULT_TRANSFER_REFUSED)) << why;
        EXPECT_EQ(m.FilterExt()->SensorOp, op) << why << ": a refusal leaves the transfer state alone";
    };
    expectRefused(ZHP_CMD_READ_SENSOR, {{16, 0x20}, {64, 25}}, "read beyond the data area");
    expectRefused(ZHP_CMD_READ_SENSOR, {{16, 0x20}, {64, 0x80000000}}, "huge read");
    expectRefused(ZHP_CMD_WRITE_SENSOR, {{64, 0}}, "empty write");
    expectRefused(ZHP_CMD_WRITE_SENSOR, {{40, 0x0152}, {64, 3}}, "half a pair");
    expectRefused(ZHP_CMD_WRITE_SENSOR, {{64, 26}}, "write beyond the data area");
    Reply r = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x20}, {64, 24}});
    EXPECT_EQ(r.Word(64), 24u) << "24 bytes fit";
    EXPECT_EQ(r.Word(76), 0u);

    // Writes would fight the running protection.
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    expectRefused(ZHP_CMD_WRITE_SENSOR, {{40, 0x0152}, {64, 2}}, "write while switched on");
    r = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}});
    EXPECT_EQ(r.Word(76), 0u) << "reads are allowed while switched on";

    // One transfer at a time.
    hk::RequestPtr first = m.SendCommand(ZHP_CMD_READ_SENSOR, {{16, 0x32}, {64, 6}});
    EXPECT_FALSE(first->completed);
    EXPECT_EQ(first->dispatchStatus, STATUS_PENDING);
    expectRefused(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}}, "read while a read is pending");
    expectRefused(ZHP_CMD_WRITE_SENSOR, {{64, 2}}, "write while a read is pending");
    EXPECT_TRUE(RunUntilCompleted(m, *first));
    EXPECT_EQ(Machine::ReplyOf(*first).Word(64), 6u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Transfers, TwoCallersStartingAtOnceGetOneTransfer) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        zhptest::MachineOptions options;
        options.seed = seed;
        options.preemptPercent = 50;
        Machine m(options);
        PDEVICE_OBJECT control = m.Control();
        hk::RequestPtr requests[2];
        PKTHREAD callers[2];
        for (int i = 0; i < 2; ++i) {
            callers[i] = m.kernel.Spawn([&, i] {
                requests[i] = hk::SendDeviceControl(control, ZHP_IOCTL_COMMAND,
                                                    CommandBlock(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}}), 80,
                                                    UserMode);
            });
        }
        for (PKTHREAD caller : callers) {
            ASSERT_TRUE(m.kernel.Join(caller, kSecond));
            m.kernel.ReleaseThread(caller);
        }
        for (auto& request : requests) ASSERT_TRUE(RunUntilCompleted(m, *request));
        int started = 0, refused = 0;
        for (auto& request : requests) {
            Reply r = Machine::ReplyOf(*request);
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            if (r.Word(76) == 0) {
                ++started;
                EXPECT_EQ(request->dispatchStatus, STATUS_PENDING);
                EXPECT_EQ(r.words[10] & 0xFF, 0x3Au);
            } else {
                ++refused;
                EXPECT_EQ(r.Word(76), static_cast<std::uint32_t>(ZHP_RESULT_TRANSFER_REFUSED));
                EXPECT_EQ(r.Word(64), 0u);
            }
        }
        EXPECT_EQ(started, 1) << "seed " << seed;
        EXPECT_EQ(refused, 1) << "seed " << seed;
        EXPECT_EQ(m.FilterExt()->SensorOp, 0u);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(Transfers, CancelledTransferCompletesWithNoBytesAndFreesTheSensor) {
    Machine m;
    hk::RequestPtr read = m.SendCommand(ZHP_CMD_READ_SENSOR, {{16, 0x32}, {64, 6}});
    ASSERT_FALSE(read->completed);
    m.Run(2 * kMillisecond);  // under way
    bool cancelled = false;
    m.Do([&] { cancelled = hk::CancelRequest(*read); });
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(RunUntilCompleted(m, *read));
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    EXPECT_EQ(read->completions, 1u);
    m.Run(10 * kMillisecond);
    EXPECT_EQ(m.FilterExt()->SensorOp, 0u);
    Reply r = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}});
    EXPECT_EQ(r.Word(76), 0u);
    EXPECT_EQ(r.words[10] & 0xFF, 0x3Au);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ConfigurationCommands, ReloadReportsMissingValuesAsItsStatus) {
    Machine m;
    auto* control = static_cast<DEVICE_EXTENSION*>(m.Control()->DeviceExtension);
    Reply r = m.Command(ZHP_CMD_RELOAD_CONFIG);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0);
    EXPECT_TRUE(control->Flag & ZHP_FLAG_CONFIG_IDLE);

    m.kernel.Reg().DeleteValue(zhptest::kInitKey, L"P_DL_TIME");
    r = m.Command(ZHP_CMD_RELOAD_CONFIG);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.bytes, 80u);
    m.kernel.Reg().DeleteValue(zhptest::kInitKey, L"OP_MODE");
    EXPECT_EQ(m.Command(ZHP_CMD_RELOAD_CONFIG).status, 5);
    m.kernel.Reg().DeleteValue(zhptest::kInitKey, L"P_THRESHOLD");
    EXPECT_EQ(m.Command(ZHP_CMD_RELOAD_CONFIG).status, 7);
    EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0);
    EXPECT_TRUE(control->Flag & ZHP_FLAG_CONFIG_IDLE);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ConfigurationCommands, StoreWritesTheRegistryAndTheSensor) {
    Machine m;
    Reply r = m.Command(ZHP_CMD_STORE_SETTINGS, {{16, 0x30}, {20, 0x01}, {24, 0x0C}, {28, 0x02}, {36, 0}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(76), 0u);
    EXPECT_EQ(InitValue(m, L"OP_MODE"), (std::vector<std::uint8_t>{0x00}));
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (std::vector<std::uint8_t>{0x30, 0x01}));
    EXPECT_EQ(InitValue(m, L"P_DL_TIME"), (std::vector<std::uint8_t>{0x0C, 0x02}));
    // Re-read and applied: the query and the sensor's registers show it.
    Reply q = m.Command(ZHP_CMD_QUERY);
    EXPECT_EQ(q.Word(16), 0x30u);
    EXPECT_EQ(q.Word(20), 0x01u);
    EXPECT_EQ(q.Word(24), 0x0Cu);
    EXPECT_EQ(q.Word(28), 0x02u);
    EXPECT_EQ(q.Word(36), 0u);
    Reply regs = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x52}, {64, 5}});
    EXPECT_EQ(regs.words[10] & 0xFF, 0x0Cu);
    EXPECT_EQ(regs.words[11] & 0xFF, 0x30u);

    // A failing registry write is the status (an error status brings no
    // data back to the caller).
    m.kernel.FailRegistryWrites(true);
    r = m.Command(ZHP_CMD_STORE_SETTINGS, {{16, 0x40}, {20, 0x00}, {24, 0x0D}, {28, 0x00}, {36, 1}});
    EXPECT_EQ(r.status, kAccessDenied);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (std::vector<std::uint8_t>{0x30, 0x01}));
    EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0);
    m.kernel.FailRegistryWrites(false);

    // The threshold word is offset 20 * 256 + offset 16, carries included.
    r = m.Command(ZHP_CMD_STORE_SETTINGS, {{16, 0x1FF}, {20, 0x01}, {24, 0x00}, {28, 0x00}, {36, 1}});
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (std::vector<std::uint8_t>{0xFF, 0x02}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ConfigurationCommands, StartUpAndPresetsWriteBackTheBuffer) {
    Machine m;
    Reply r = m.Command(ZHP_CMD_SENSOR_STARTUP, {{16, 0x22}, {20, 0x00}, {24, 0x11}, {28, 0x00}, {36, 0x42}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(36), 1u) << "the start-up reports OP_MODE as read from the registry";
    EXPECT_EQ(InitValue(m, L"OP_MODE"), (std::vector<std::uint8_t>{0x01}));
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (std::vector<std::uint8_t>{0x22, 0x00}));
    EXPECT_EQ(InitValue(m, L"P_DL_TIME"), (std::vector<std::uint8_t>{0x11, 0x00}));

    for (std::uint32_t preset = ZHP_CMD_PRESET_FIRST; preset < ZHP_CMD_REPORT_ONLY_PRESET_FIRST; ++preset) {
        m.kernel.ClearDebugOutput();
        r = m.Command(preset, {{16, preset}, {36, 0}});
        EXPECT_EQ(r.status, STATUS_SUCCESS) << preset;
        EXPECT_EQ(r.bytes, 80u);
        EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0) << preset;
        EXPECT_TRUE(m.TraceHas("Display_HWINFO(): Registry")) << preset;
        EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (std::vector<std::uint8_t>{static_cast<std::uint8_t>(preset), 0}));
    }
    // The preset's own register writes: FUNC_W_3 switches the interrupt output on.
    m.kernel.ClearDebugOutput();
    m.Command(ZHP_CMD_PRESET_INTERRUPT_ON, {{36, 1}});
    EXPECT_TRUE(m.TraceHas("(FUNC_W_3)I2C_W: Addr[0x22] = 0xb3"));
    Reply regs = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x22}, {64, 1}});
    EXPECT_EQ(regs.words[10] & 0xFF, 0xB3u);

    m.kernel.FailRegistryWrites(true);
    for (std::uint32_t command : {200u, 203u, 213u}) {
        r = m.Command(command, {{36, 1}});
        EXPECT_EQ(r.status, kAccessDenied) << command;
        EXPECT_EQ(r.bytes, 80u) << command;
    }
    m.kernel.FailRegistryWrites(false);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(ConfigurationCommands, ReportOnlyPresetsRefuseReadsUntilAnotherConfiguration) {
    for (std::uint32_t ending : {110u, 111u, 200u, 201u, 205u, 209u}) {
        Machine m;
        for (std::uint32_t preset = ZHP_CMD_REPORT_ONLY_PRESET_FIRST; preset <= ZHP_CMD_PRESET_LAST; ++preset) {
            Reply r = m.Command(preset, {{36, 1}});
            EXPECT_EQ(r.bytes, 80u);
            EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 1) << preset;
            Reply read = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}});
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.Word(76), static_cast<std::uint32_t>(ZHP_RESULT_TRANSFER_REFUSED)) << preset;
            EXPECT_EQ(read.Word(64), 0u);
        }
        // Neither the query, the switch nor a write ends it.
        m.Command(ZHP_CMD_QUERY);
        m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
        m.Command(ZHP_CMD_WRITE_SENSOR, {{40, 0x0152}, {64, 2}});
        EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 1);
        EXPECT_EQ(m.Command(ending, {{16, 0x26}, {24, 0x10}, {36, 1}}).bytes, 80u);
        EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0) << ending;
        Reply read = m.Command(ZHP_CMD_READ_SENSOR, {{16, 0x0F}, {64, 1}});
        EXPECT_EQ(read.Word(76), 0u) << ending;
        EXPECT_EQ(read.words[10] & 0xFF, 0x3Au) << ending;
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(ConfigurationCommands, ReportOnlyModeSignalsFallsWithoutHoldingTheDisk) {
    Machine m;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Command(212, {{36, 1}});
    PKEVENT fallEvent = m.FilterExt()->FreeFallEvent;
    ASSERT_NE(fallEvent, nullptr);
    m.Pin(true);
    m.Run(500 * kMillisecond);
    LONG signalled = 0;
    m.Do([&] { signalled = KeReadStateEvent(fallEvent); });
    EXPECT_NE(signalled, 0);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    EXPECT_TRUE(m.Disk().AtaCommands().empty()) << "no park in report-only mode";
    m.Pin(false);
    m.Run(100 * kMillisecond);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(StartUpPath, TheFirstCommandAfterAPowerChangeRunsTheStartUpInstead) {
    Machine m;
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}});
    NTSTATUS power = STATUS_PENDING;
    m.Do([&] { power = hk::PoSetDevicePower(m.storage.Pdo(m.Disk()), PowerDeviceD3); });
    ASSERT_EQ(power, STATUS_SUCCESS);
    ASSERT_EQ(m.Global<UCHAR>("POW_RESUME"), 1);
    ASSERT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    m.Global<UCHAR>("OP_MODE") = 0x55;  // the start-up re-reads it from the registry

    // A buffer too small is turned away before anything else.
    Reply small = Send(m, m.Control(), ZHP_IOCTL_COMMAND, CommandBlock(ZHP_CMD_QUERY, {}, 79), 80);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(m.Global<UCHAR>("POW_RESUME"), 1);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_ON);

    // A query that carries leftovers in its buffer.
    m.kernel.ClearDebugOutput();
    Reply r = m.Command(ZHP_CMD_QUERY, {{4, 0xBEEF}, {8, 0xDEAD}, {12, 0xF00D}, {16, 0x11}, {20, 0x02}, {24, 0x33},
                                        {28, 0x04}, {32, 9}, {36, 0x77}});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(0), static_cast<std::uint32_t>(ZHP_CMD_QUERY));
    EXPECT_EQ(r.Word(36), 1u) << "OP_MODE from the registry";
    // The query itself did not run.
    EXPECT_EQ(r.Word(4), 0xBEEFu);
    EXPECT_EQ(r.Word(8), 0xDEADu);
    EXPECT_EQ(r.Word(12), 0xF00Du);
    EXPECT_EQ(r.Word(16), 0x11u);
    EXPECT_EQ(r.Word(32), 9u);
    EXPECT_EQ(r.Word(76), 0u) << "the last registry write's status";
    // The buffer's words went to the registry; the mode unchanged.
    EXPECT_EQ(InitValue(m, L"OP_MODE"), (std::vector<std::uint8_t>{0x01}));
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (std::vector<std::uint8_t>{0x11, 0x02}));
    EXPECT_EQ(InitValue(m, L"P_DL_TIME"), (std::vector<std::uint8_t>{0x33, 0x04}));
    // The sensor is on again, the events are there, the start-up is done.
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_SENSOR_OFF);
    EXPECT_NE(m.FilterExt()->FreeFallEvent, nullptr);
    EXPECT_EQ(m.Global<UCHAR>("POW_RESUME"), 0);
    EXPECT_EQ(m.Global<UCHAR>("CONFIG_BUSY"), 0);
    EXPECT_TRUE(m.TraceHas("(FUNC_W_0)I2C_W"));
    EXPECT_TRUE(m.TraceHas("W: THRESHOLD[0]=0x11,THRESHOLD[1]=0x2"));

    // The next command is itself again.
    r = m.Command(ZHP_CMD_QUERY, {{8, 0xDEAD}});
    EXPECT_EQ(r.Word(8), m.Flag());

    // A switch-off that arrives first after a power change is not carried out.
    m.Do([&] { power = hk::PoSetDevicePower(m.storage.Pdo(m.Disk()), PowerDeviceD0); });
    ASSERT_EQ(m.Global<UCHAR>("POW_RESUME"), 1);
    r = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{16, 0x26}, {24, 0x10}, {36, 0}});
    EXPECT_EQ(r.Word(76), 0u);
    EXPECT_EQ(r.Word(36), 1u);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);

    // A registry that cannot be written: that write's status.
    m.Do([&] { power = hk::PoSetDevicePower(m.storage.Pdo(m.Disk()), PowerDeviceD0); });
    m.kernel.FailRegistryWrites(true);
    r = m.Command(ZHP_CMD_QUERY);
    EXPECT_EQ(r.status, kAccessDenied);
    EXPECT_EQ(m.Global<UCHAR>("POW_RESUME"), 0);
    m.kernel.FailRegistryWrites(false);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(CommandBlock, SentToTheFilterItWorksOnTheFiltersOwnRecord) {
    Machine m;
    Reply r;
    hk::RequestPtr request = m.SendCommand(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}}, m.Filter());
    ASSERT_TRUE(RunUntilCompleted(m, *request));
    r = Machine::ReplyOf(*request);
    EXPECT_EQ(r.Word(76), 0u);
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
    request = m.SendCommand(ZHP_CMD_QUERY, {}, m.Filter());
    ASSERT_TRUE(RunUntilCompleted(m, *request));
    EXPECT_EQ(Machine::ReplyOf(*request).Word(8), m.Flag());
    // A configuration command marks the receiving device: here the filter.
    request = m.SendCommand(ZHP_CMD_RELOAD_CONFIG, {}, m.Filter());
    ASSERT_TRUE(RunUntilCompleted(m, *request));
    EXPECT_TRUE(m.Flag() & ZHP_FLAG_CONFIG_IDLE);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
