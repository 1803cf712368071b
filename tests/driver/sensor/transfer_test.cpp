// The utility's sensor register transfers, served one byte (read) or one
// register/value pair (write) per tick of the status thread: results,
// failures, refusals and cancellation.
#include <gtest/gtest.h>

#include "sensor_rig.h"

namespace {

using hk::kMillisecond;
using hk::kSecond;
using namespace sensortest;

using Bytes = std::vector<std::uint8_t>;

const char kTick[] = "ZHP_SensorStatusThread(): SM_RW CMD =";

Bytes DataBytes(const zhptest::Reply& r, std::size_t count) {
    Bytes data;
    for (std::size_t i = 0; i < count; ++i) data.push_back(static_cast<std::uint8_t>(r.Word(40 + (i & ~3u)) >> (8 * (i % 4))));
    return data;
}

// Command words carrying bytes in the data area (offset 40 on).
std::vector<std::pair<unsigned, std::uint32_t>> DataWords(const Bytes& bytes) {
    std::vector<std::pair<unsigned, std::uint32_t>> words;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t j = 0; j < 4 && i + j < bytes.size(); ++j) word |= std::uint32_t{bytes[i + j]} << (8 * j);
        words.emplace_back(40 + i, word);
    }
    return words;
}

zhptest::Reply Read(Machine& m, std::uint8_t first, std::uint32_t count) {
    return m.Command(ZHP_CMD_READ_SENSOR, {{16, first}, {64, count}});
}

zhptest::Reply WriteRegisters(Machine& m, const Bytes& pairs, std::uint32_t count) {
    auto words = DataWords(pairs);
    words.emplace_back(64, count);
    return m.Command(ZHP_CMD_WRITE_SENSOR, words);
}

TEST(SensorTransfer, ReadReturnsConsecutiveRegistersOneByteATick) {
    zhptest::Machine m;
    for (int i = 0; i < 6; ++i) m.chipset.Sensor().WriteRegister(0x60 + i, 0xA0 + i);
    m.kernel.ClearDebugOutput();

    zhptest::Reply r = Read(m, 0x60, 6);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(DataBytes(r, 6), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
    EXPECT_EQ(r.Word(64), 6u);
    EXPECT_EQ(r.Word(76), 0u);
    // Seven ticks: the first start, then a fetch (and the next start) each.
    const std::string trace = m.Trace();
    EXPECT_EQ(Occurrences(trace, std::string(kTick) + "81"), 1u);
    EXPECT_EQ(Occurrences(trace, std::string(kTick) + "1\n"), 6u);
    EXPECT_EQ(m.FilterExt()->SensorOp, 0u);

    // Register numbers wrap after 0xFF.
    m.chipset.Sensor().WriteRegister(0xFE, 0x11);
    m.chipset.Sensor().WriteRegister(0xFF, 0x22);
    m.chipset.Sensor().WriteRegister(0x00, 0x33);
    m.chipset.Sensor().WriteRegister(0x01, 0x44);
    r = Read(m, 0xFE, 4);
    EXPECT_EQ(DataBytes(r, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));

    // The whole data area, and the sensor's identity.
    r = Read(m, 0x0F, 1);
    EXPECT_EQ(DataBytes(r, 1), Bytes{0x3A});
    r = Read(m, 0x40, 24);
    EXPECT_EQ(r.Word(64), 24u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SensorTransfer, WriteSendsOnePairATick) {
    zhptest::Machine m;
    m.kernel.ClearDebugOutput();
    zhptest::Reply r = WriteRegisters(m, {0x60, 0x11, 0x61, 0x22}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(64), 4u);
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x60), 0x11);
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x61), 0x22);
    const std::string trace = m.Trace();
    EXPECT_EQ(Occurrences(trace, std::string(kTick) + "82"), 1u);
    EXPECT_EQ(Occurrences(trace, std::string(kTick) + "2\n"), 2u);
    EXPECT_EQ(Occurrences(trace, "GsensorPutByte(): OK\n"), 2u);

    // Twelve pairs fill the data area.
    Bytes pairs;
    for (int i = 0; i < 12; ++i) {
        pairs.push_back(static_cast<std::uint8_t>(0x80 + i));
        pairs.push_back(static_cast<std::uint8_t>(0xC0 + i));
    }
    r = WriteRegisters(m, pairs, 24);
    EXPECT_EQ(r.Word(64), 24u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x80 + i), 0xC0 + i);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SensorTransfer, FailedByteEndsTheTransferWithAZeroCount) {
    zhptest::Machine m;
    m.chipset.Sensor().SetAnswering(false);
    m.kernel.ClearDebugOutput();
    zhptest::Reply r = Read(m, 0x60, 6);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(64), 0u);
    EXPECT_TRUE(m.TraceHas("GsensorGetByte(): getbyte error\n"));
    EXPECT_EQ(Occurrences(m.Trace(), std::string(kTick) + "1\n"), 1u);  // ended at the first fetch

    r = WriteRegisters(m, {0x60, 0x11, 0x61, 0x22}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(r.Word(64), 0u);
    EXPECT_TRUE(m.TraceHas("GsensorPutByte(): Write Error\n"));
    EXPECT_EQ(m.FilterExt()->SensorOp, 0u);

    // Detection resumes.
    m.chipset.Sensor().SetAnswering(true);
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, kSecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SensorTransfer, RefusedCounts) {
    zhptest::Machine m;
    m.chipset.Sensor().WriteRegister(0x70, 0x5A);
    struct Case {
        std::uint32_t command;
        std::uint32_t count;
    };
    for (Case c : {Case{ZHP_CMD_READ_SENSOR, 25}, Case{ZHP_CMD_READ_SENSOR, 0xFFFFFFFF},
                   Case{ZHP_CMD_WRITE_SENSOR, 0}, Case{ZHP_CMD_WRITE_SENSOR, 3},
                   Case{ZHP_CMD_WRITE_SENSOR, 26}, Case{ZHP_CMD_WRITE_SENSOR, 0x80000000}}) {
        SCOPED_TRACE(std::to_string(c.command) + " count " + std::to_string(c.count));
        m.kernel.ClearDebugOutput();
        zhptest::Reply r = m.Command(c.command, {{16, 0x70}, {40, 0x01017070}, {64, c.count}});
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 80u);
        EXPECT_EQ(r.Word(64), 0u);
        EXPECT_EQ(r.Word(76), std::uint32_t{ZHP_RESULT_TRANSFER_REFUSED});
        EXPECT_FALSE(m.TraceHas(kTick));
        EXPECT_EQ(m.FilterExt()->SensorOp, 0u);
    }
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x70), 0x5A);

    // No register writes while protection is on.
    ProtectionOn(m);
    zhptest::Reply on = WriteRegisters(m, {0x70, 0x01}, 2);
    EXPECT_EQ(on.Word(76), std::uint32_t{ZHP_RESULT_TRANSFER_REFUSED});
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x70), 0x5A);

    // One transfer at a time.
    m.chipset.Smbus().SetHung(true);  // keeps the first one going for a while
    hk::RequestPtr first = m.SendCommand(ZHP_CMD_READ_SENSOR, {{16, 0x60}, {64, 4}});
    EXPECT_FALSE(first->completed);
    zhptest::Reply second = Read(m, 0x60, 1);
    EXPECT_EQ(second.Word(76), std::uint32_t{ZHP_RESULT_TRANSFER_REFUSED});
    EXPECT_TRUE(RunUntil(m, [&] { return first->completed; }, kSecond));
    EXPECT_EQ(zhptest::Machine::ReplyOf(*first).Word(64), 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// Cancels a transfer after `after` and checks that it ends exactly once
// and leaves the engine and the bus free. True if the cancel reached it.
bool CancelAfter(Machine& m, std::uint32_t command, hk::Time100ns after) {
    hk::RequestPtr request = command == ZHP_CMD_READ_SENSOR
                                 ? m.SendCommand(command, {{16, 0x60}, {64, 24}})
                                 : m.SendCommand(command, {{40, 0x02610160}, {44, 0x04630362}, {64, 8}});
    if (after > 0) m.Run(after);
    bool cancelled = false;
    m.Do([&] { cancelled = hk::CancelRequest(*request); });
    EXPECT_TRUE(RunUntil(m, [&] { return request->completed; }, kSecond));
    EXPECT_EQ(request->completions, 1u);
    if (cancelled) {
        EXPECT_EQ(request->status, STATUS_CANCELLED);
        EXPECT_EQ(request->information, 0u);
    } else {
        EXPECT_EQ(request->status, STATUS_SUCCESS);  // it was done before the cancel
        EXPECT_EQ(request->information, 80u);
    }
    m.Run(3 * kMillisecond);
    EXPECT_EQ(m.FilterExt()->SensorOp, 0u);
    return cancelled;
}

TEST(SensorTransfer, CancelledTransferEndsOnceAndFreesTheEngine) {
    zhptest::Machine m;
    for (std::uint32_t command : {ZHP_CMD_READ_SENSOR, ZHP_CMD_WRITE_SENSOR}) {
        int cancelled = 0;
        int finished = 0;
        for (hk::Time100ns after = 0; after <= 60 * kMillisecond; after += 3 * kMillisecond) {
            SCOPED_TRACE(std::to_string(command) + " cancelled after " + std::to_string(after / kMillisecond) + " ms");
            (CancelAfter(m, command, after) ? cancelled : finished) += 1;
            if (m.kernel.Stopped()) break;
        }
        // A 24-byte read outlasts every cancel; a 4-pair write does not.
        EXPECT_GT(cancelled, 0);
        if (command == ZHP_CMD_READ_SENSOR) EXPECT_EQ(finished, 0);
        if (command == ZHP_CMD_WRITE_SENSOR) EXPECT_GT(finished, 0);
    }
    // The bus is free: a synchronous register access and a new transfer work.
    m.chipset.Sensor().WriteRegister(0x6A, 0x42);
    zhptest::Reply r = Read(m, 0x6A, 1);
    EXPECT_EQ(DataBytes(r, 1), Bytes{0x42});
    r = m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 2 * kSecond);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), Bytes{0x00});
    // Detection resumed.
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, kSecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SensorTransfer, CancelRacesOverSeeds) {
    // Different seeds shuffle the threads of equal priority around the cancel.
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        zhptest::MachineOptions options;
        options.seed = seed;
        options.preemptPercent = 50;
        zhptest::Machine m(options);
        CancelAfter(m, seed % 2 ? ZHP_CMD_READ_SENSOR : ZHP_CMD_WRITE_SENSOR, (seed % 5) * 2500 * hk::kMicrosecond);
        zhptest::Reply r = Read(m, 0x0F, 1);
        EXPECT_EQ(DataBytes(r, 1), Bytes{0x3A});
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(SensorTransfer, ConfigurationCommandsDoNotInterleaveWithATransfer) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        zhptest::MachineOptions options;
        options.seed = seed;
        options.preemptPercent = 50;
        zhptest::Machine m(options);
        Bytes expected;
        for (int i = 0; i < 24; ++i) {
            m.chipset.Sensor().WriteRegister(0x80 + i, 0x10 + i);
            expected.push_back(0x10 + i);
        }
        hk::RequestPtr read = m.SendCommand(ZHP_CMD_READ_SENSOR, {{16, 0x80}, {64, 24}});
        m.Run((seed % 3) * 4 * kMillisecond);
        // Chip-ID read and threshold and delay writes while the transfer runs.
        zhptest::Reply reload = m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 2 * kSecond);
        EXPECT_EQ(reload.status, STATUS_SUCCESS);
        ASSERT_TRUE(RunUntil(m, [&] { return read->completed; }, kSecond));
        zhptest::Reply r = zhptest::Machine::ReplyOf(*read);
        EXPECT_EQ(r.Word(64), 24u);
        EXPECT_EQ(DataBytes(r, 24), expected);
        EXPECT_EQ(InitValue(m, L"ERR_CODE"), Bytes{0x00});
        EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x56), 0x26);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(SensorTransfer, DetectionWaitsWhileATransferIsPending) {
    zhptest::Machine m;
    m.chipset.Smbus().SetHung(true);  // every byte takes its full completion wait
    hk::RequestPtr request = m.SendCommand(ZHP_CMD_READ_SENSOR, {{16, 0x60}, {64, 1}});
    m.Pin(true);
    m.Run(5 * kMillisecond);
    EXPECT_TRUE(m.Disk().AtaCommands().empty());
    EXPECT_FALSE(m.Flag() & ZHP_FLAG_IO_BLOCKED);
    ASSERT_TRUE(RunUntil(m, [&] { return request->completed; }, kSecond));
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, kSecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
