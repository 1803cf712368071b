// The SMBus layer seen from the host controller: verified register writes
// with their read-back masks, the completion wait, the register sequences
// of a sensor byte read and write, the slave address on the bus, a
// controller that never finishes, and where the controller's base comes from.
#include <gtest/gtest.h>

#include "sensor/port_io.h"
#include "sensor/smbus.h"
#include "sensor_rig.h"

namespace {

using hk::kMillisecond;
using namespace sensortest;

struct Smbus {
    explicit Smbus(Machine& m)
        : outPortB(Routine<decltype(SM_OutPortB)>(m, "SM_OutPortB")),
          cmdGetByte(Routine<decltype(GsensorCmdGetByte)>(m, "GsensorCmdGetByte")),
          getByte(Routine<decltype(GsensorGetByte)>(m, "GsensorGetByte")),
          cmdPutByte(Routine<decltype(GsensorCmdPutByte)>(m, "GsensorCmdPutByte")),
          putByte(Routine<decltype(GsensorPutByte)>(m, "GsensorPutByte")),
          readRegister(Routine<decltype(GsensorReadRegister)>(m, "GsensorReadRegister")),
          writeRegister(Routine<decltype(GsensorWriteRegister)>(m, "GsensorWriteRegister")),
          acquire(Routine<decltype(SM_AcquireBus)>(m, "SM_AcquireBus")),
          release(Routine<decltype(SM_ReleaseBus)>(m, "SM_ReleaseBus")) {}
    decltype(SM_OutPortB)* outPortB;
    decltype(GsensorCmdGetByte)* cmdGetByte;
    decltype(GsensorGetByte)* getByte;
    decltype(GsensorCmdPutByte)* cmdPutByte;
    decltype(GsensorPutByte)* putByte;
    decltype(GsensorReadRegister)* readRegister;
    decltype(GsensorWriteRegister)* writeRegister;
    decltype(SM_AcquireBus)* acquire;
    decltype(SM_ReleaseBus)* release;
};

struct OutResult {
    int result = -1;
    hk::Time100ns elapsed = 0;
    std::size_t writes = 0;
    std::size_t reads = 0;
};

OutResult OutPortB(Machine& m, SmbusTap& tap, const Smbus& bus, std::uint8_t offset, std::uint8_t value) {
    tap.log.clear();
    OutResult r;
    m.Do([&] {
        hk::Time100ns start = m.kernel.Now();
        r.result = bus.outPortB(SmbusTap::kBase, offset, value);
        r.elapsed = m.kernel.Now() - start;
    });
    for (const auto& a : tap.log) {
        if (a.write) {
            EXPECT_EQ(a.offset, offset);
            EXPECT_EQ(a.value, value);
            ++r.writes;
        } else {
            ++r.reads;
        }
    }
    return r;
}

TEST(SmbusVerifiedWrite, EachRegisterIsCheckedThroughItsOwnMask) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    Smbus bus(*m);

    // Host control: the start bit reads back as 0 on real hardware, but a
    // controller that shows it is accepted as well.
    for (std::uint8_t shown : {0x48, 0x08}) {
        tap.readFilter = [shown](std::uint8_t offset, std::uint8_t hw) { return offset == 2 ? shown : hw; };
        OutResult r = OutPortB(*m, tap, bus, 2, 0x48);
        EXPECT_EQ(r.result, 1) << "host control reading back " << int(shown);
        EXPECT_EQ(r.writes, 1u);
        EXPECT_EQ(r.elapsed, kMillisecond);  // one millisecond before every attempt
    }
    // Any other protocol bit pattern is a mismatch: 20 attempts, then failure.
    tap.readFilter = [](std::uint8_t offset, std::uint8_t hw) { return offset == 2 ? std::uint8_t{0x4C} : hw; };
    OutResult r = OutPortB(*m, tap, bus, 2, 0x48);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.writes, 20u);
    EXPECT_EQ(r.reads, 20u);
    EXPECT_EQ(r.elapsed, 20 * kMillisecond);

    // Host status: clearing succeeds when the done bit reads back clear,
    // whatever the other bits show.
    tap.readFilter = [](std::uint8_t offset, std::uint8_t hw) { return offset == 0 ? std::uint8_t{0xFD} : hw; };
    r = OutPortB(*m, tap, bus, 0, 0xFF);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.writes, 1u);
    tap.readFilter = [](std::uint8_t offset, std::uint8_t hw) { return offset == 0 ? std::uint8_t{0x02} : hw; };
    r = OutPortB(*m, tap, bus, 0, 0xFF);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.writes, 20u);

    // The other registers must read back exactly; a register that settles on
    // the fifth attempt costs five writes and five milliseconds.
    int wrongReads = 4;
    tap.readFilter = [&](std::uint8_t offset, std::uint8_t hw) {
        if (offset == 3 && wrongReads > 0) {
            --wrongReads;
            return static_cast<std::uint8_t>(hw ^ 0x01);
        }
        return hw;
    };
    r = OutPortB(*m, tap, bus, 3, 0x5A);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.writes, 5u);
    EXPECT_EQ(r.elapsed, 5 * kMillisecond);
    for (std::uint8_t offset : {4, 5, 6}) {
        tap.readFilter = [offset](std::uint8_t o, std::uint8_t hw) {
            return o == offset ? static_cast<std::uint8_t>(hw ^ 0x80) : hw;
        };
        r = OutPortB(*m, tap, bus, offset, 0x21);
        EXPECT_EQ(r.result, 0) << "offset " << int(offset);
        EXPECT_EQ(r.writes, 20u);
    }
    tap.readFilter = nullptr;
    for (std::uint8_t offset : {3, 4, 5, 6}) {
        r = OutPortB(*m, tap, bus, offset, 0xA7);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.writes, 1u);
    }
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(SmbusVerifiedWrite, CompletionWaitPollsTheStatusAtTheBaseOnly) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    Smbus bus(*m);

    // Done on the fourth look: three sleeps, no write anywhere.
    int looks = 0;
    tap.readFilter = [&](std::uint8_t offset, std::uint8_t hw) {
        if (offset != 0) return hw;
        return ++looks >= 4 ? std::uint8_t{0x02} : std::uint8_t{0x01};
    };
    OutResult r = OutPortB(*m, tap, bus, 9, 0x77);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.writes, 0u);
    EXPECT_EQ(r.reads, 4u);
    EXPECT_EQ(r.elapsed, 3 * kMillisecond);
    for (const auto& a : tap.log) EXPECT_EQ(a.offset, 0) << "offset 9 is not a register";

    // Never done: the first read and 21 more, 21 ms, then the error trace.
    m->kernel.ClearDebugOutput();
    tap.readFilter = [](std::uint8_t offset, std::uint8_t hw) { return offset == 0 ? std::uint8_t{0x01} : hw; };
    r = OutPortB(*m, tap, bus, 9, 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.writes, 0u);
    EXPECT_EQ(r.reads, 22u);
    EXPECT_EQ(r.elapsed, 21 * kMillisecond);
    EXPECT_EQ(Occurrences(m->Trace(), "SM_OutPortBSMBus transfer Error!\n"), 1u);
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

// The writes of one sequence, as (offset, value) pairs.
std::vector<std::pair<int, int>> WritePairs(const SmbusTap& tap) {
    std::vector<std::pair<int, int>> pairs;
    for (const auto& a : tap.Writes()) pairs.emplace_back(a.offset, a.value);
    return pairs;
}

TEST(SmbusSensorCommands, ByteReadAndWriteFollowTheirRegisterSequences) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    ASSERT_EQ(m->startResults.at(0), STATUS_SUCCESS);
    Smbus bus(*m);
    m->chipset.Sensor().WriteRegister(0x64, 0x9C);

    // Read: clear the status, host command, slave address with the read
    // bit, start, wait; the byte is fetched separately.
    tap.log.clear();
    int started = -1;
    int byte = -2;
    m->Do([&] {
        bus.acquire();
        started = bus.cmdGetByte(0x64);
        byte = bus.getByte();
        bus.release();
    });
    EXPECT_EQ(started, 1);
    EXPECT_EQ(byte, 0x9C);
    const std::vector<std::pair<int, int>> read{{0, 0xFF}, {3, 0x64}, {4, 0x3B}, {2, 0x48}, {0, 0xFF}};
    EXPECT_EQ(WritePairs(tap), read);
    // Every verified write is read back at once; the fetch reads the status
    // and then the data register.
    for (std::size_t i = 0; i + 1 < tap.log.size(); ++i) {
        if (tap.log[i].write && i + 1 < tap.log.size() - 1) {
            EXPECT_FALSE(tap.log[i + 1].write);
            EXPECT_EQ(tap.log[i + 1].offset, tap.log[i].offset);
        }
    }
    ASSERT_GE(tap.log.size(), 3u);
    EXPECT_EQ(tap.log[tap.log.size() - 3].offset, 0);
    EXPECT_EQ(tap.log[tap.log.size() - 2].offset, 5);

    // Write: slave address first, then command, both data bytes, start, wait.
    tap.log.clear();
    int put = -2;
    m->Do([&] {
        bus.acquire();
        started = bus.cmdPutByte(0x65, 0xA5);
        put = bus.putByte();
        bus.release();
    });
    EXPECT_EQ(started, 1);
    EXPECT_EQ(put, 1);
    const std::vector<std::pair<int, int>> write{{0, 0xFF}, {4, 0x3A}, {3, 0x65}, {5, 0xA5},
                                                 {6, 0x00}, {2, 0x48}, {0, 0xFF}};
    EXPECT_EQ(WritePairs(tap), write);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x65), 0xA5);
    EXPECT_TRUE(m->TraceHas("GsensorPutByte(): OK\n"));

    // The synchronous commands: the same sequences; a write leaves the done
    // status for the next transaction to clear.
    tap.log.clear();
    m->Do([&] { byte = bus.readRegister(0x0F); });
    EXPECT_EQ(byte, 0x3A);
    tap.log.clear();
    m->Do([&] { bus.writeRegister(0x66, 0x5C); });
    const std::vector<std::pair<int, int>> sync{{0, 0xFF}, {4, 0x3A}, {3, 0x66}, {5, 0x5C}, {6, 0x00}, {2, 0x48}};
    EXPECT_EQ(WritePairs(tap), sync);
    EXPECT_EQ(m->chipset.Smbus().ReadPort(m->chipset.Smbus().Base(), 8) & 0x02, 0x02u);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x66), 0x5C);
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(SmbusSensorCommands, SlaveAddressComesFromTheRegistry) {
    MachineOptions options;
    options.chipset.sensor_address = 0x3C;
    options.editRegistry = [](hk::Registry& reg) { SetInit(reg, L"DEV_SLAVE_ADDR", {0x3C}); };
    SmbusTap tap;
    auto m = BootWithTap(tap, options);
    ASSERT_EQ(m->startResults.at(0), STATUS_SUCCESS);
    EXPECT_EQ(InitValue(*m, L"ERR_CODE"), std::vector<std::uint8_t>{0x00});
    Smbus bus(*m);
    tap.log.clear();
    int chip = -2;
    m->Do([&] {
        chip = bus.readRegister(0x0F);
        bus.writeRegister(0x60, 0x01);
    });
    EXPECT_EQ(chip, 0x3A);
    EXPECT_EQ(tap.Transactions(0x3D), std::vector<std::uint8_t>{0x0F});
    EXPECT_EQ(tap.Transactions(0x3C), std::vector<std::uint8_t>{0x60});
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(SmbusFaults, ControllerThatNeverShowsDone) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    ASSERT_EQ(m->startResults.at(0), STATUS_SUCCESS);
    Smbus bus(*m);
    m->chipset.Smbus().SetHung(true);
    m->kernel.ClearDebugOutput();

    // The start command comes back about 21 ms after the start, without a
    // negative result; the failure shows in the fetch.
    tap.log.clear();
    int started = -2;
    int byte = 0;
    hk::Time100ns returned = 0;
    m->Do([&] {
        bus.acquire();
        started = bus.cmdGetByte(0x0F);
        returned = m->kernel.Now();
        byte = bus.getByte();
        bus.release();
    });
    EXPECT_EQ(started, 1);
    EXPECT_EQ(byte, -1);
    hk::Time100ns startWrite = 0;
    for (const auto& a : tap.log) {
        if (a.write && a.offset == 2) startWrite = a.at;
    }
    EXPECT_EQ(returned - startWrite, 21 * kMillisecond);
    ASSERT_FALSE(tap.log.empty());
    EXPECT_TRUE(tap.log.back().write);  // the fetch clears the status
    EXPECT_EQ(tap.log.back().offset, 0);
    EXPECT_EQ(tap.log.back().value, 0xFF);
    std::string trace = m->Trace();
    EXPECT_EQ(Occurrences(trace, "SM_OutPortBSMBus transfer Error!\n"), 1u);
    EXPECT_EQ(Occurrences(trace, "GsensorCmdGetByte@@@@@@@@@@@@@@GsensorCmdGetByte Error(1)!\n"), 1u);
    EXPECT_EQ(Occurrences(trace, "GsensorGetByte(): getbyte error\n"), 1u);

    m->kernel.ClearDebugOutput();
    int put = 0;
    m->Do([&] {
        bus.acquire();
        started = bus.cmdPutByte(0x60, 0x01);
        put = bus.putByte();
        bus.release();
    });
    EXPECT_EQ(started, 1);
    EXPECT_EQ(put, -1);
    trace = m->Trace();
    EXPECT_EQ(Occurrences(trace, "SM_OutPortBSMBus transfer Error!\n"), 1u);
    EXPECT_EQ(Occurrences(trace, "GsensorCmdPutByte@@@@@@@@@@@@@@GsensorCmdPutByte Error(1)!\n"), 1u);
    EXPECT_EQ(Occurrences(trace, "GsensorPutByte(): Write Error\n"), 1u);

    // The whole configuration runs through it and reports the chip as wrong.
    m->kernel.ClearDebugOutput();
    zhptest::Reply reload = m->Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * hk::kSecond);
    EXPECT_EQ(reload.bytes, 80u);
    EXPECT_EQ(InitValue(*m, L"ERR_CODE"), std::vector<std::uint8_t>{0x04});
    EXPECT_EQ(m->Global<unsigned char>("DEV_CHIP_ID"), 0xFF);
    EXPECT_TRUE(m->TraceHas("H/W Parameter Fail >_<!  Err_code = 0x4"));
    // The thread still runs: a forced interrupt parks the disk.
    m->Pin(true);
    EXPECT_TRUE(RunUntil(*m, [&] { return (m->Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, 2 * hk::kSecond));
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(SmbusFaults, SensorThatDoesNotAnswer) {
    zhptest::Machine m;
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    m.chipset.Sensor().SetAnswering(false);
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * hk::kSecond);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), std::vector<std::uint8_t>{0x04});
    EXPECT_EQ(m.Global<unsigned char>("DEV_CHIP_ID"), 0xFF);
    // The failed read counts as 0xFF like any answer: expecting 0xFF passes.
    SetInit(m.kernel.Reg(), L"DEV_CHIP_ID", {0x0F, 0xFF});
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * hk::kSecond);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), std::vector<std::uint8_t>{0x00});
    SetInit(m.kernel.Reg(), L"DEV_CHIP_ID", {0x0F, 0x3A});
    m.chipset.Sensor().SetAnswering(true);
    m.kernel.ClearDebugOutput();
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * hk::kSecond);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(m.Global<unsigned char>("DEV_CHIP_ID"), 0x3A);
    EXPECT_TRUE(m.TraceHas("ZHP_Probe_RgtyKey_HW_INFO():H/W Parameter PASS!!! ^_^"));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(SmbusBase, RegistryLayoutsAndThePciFallback) {
    struct Case {
        const char* what;
        std::optional<std::vector<std::uint8_t>> value;
        std::uint16_t controllerAt;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"two bytes", std::vector<std::uint8_t>{0xF0, 0x40}, 0xF040, 0xF040},
        {"missing", std::nullopt, 0xE0A0, 0xE0A0},
        {"zero", std::vector<std::uint8_t>{0x00, 0x00}, 0xE0A0, 0xE0A0},
        {"one byte", std::vector<std::uint8_t>{0xF0}, 0xF000, 0xF000},
        {"longer", std::vector<std::uint8_t>{0xE1, 0x20, 0x99, 0x98}, 0xE120, 0xE120},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MachineOptions options;
        options.chipset.smbus_base = c.controllerAt;
        options.editRegistry = [&](hk::Registry& reg) {
            if (c.value) {
                SetInit(reg, L"PCI_SMBUS_ADDR", *c.value);
            } else {
                DeleteInit(reg, L"PCI_SMBUS_ADDR");
            }
        };
        zhptest::Machine m(options);
        EXPECT_EQ(m.Global<std::uint32_t>("PCI_SMBUS_ADDR"), c.expected);
        // The sensor answered there with its identity.
        EXPECT_EQ(m.startResults.at(0), STATUS_SUCCESS);
        EXPECT_EQ(InitValue(m, L"ERR_CODE"), std::vector<std::uint8_t>{0x00});
        EXPECT_TRUE(m.TraceHas("PCI_SMBUS_ADDR = 0x" + [&] {
            char hex[16];
            snprintf(hex, sizeof hex, "%x", c.expected);
            return std::string(hex);
        }()));
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }

    // The base address register comes back with its low four bits cleared:
    // the controller's (0xF041 in configuration space) and, at register 0,
    // vendor and device (0x1C228086).
    zhptest::Machine m;
    auto readBar = Routine<decltype(PciConfigReadBar)>(m, "PciConfigReadBar");
    ULONG bar = 0;
    ULONG ids = 0;
    m.Do([&] {
        bar = readBar(SMBUS_PCI_BAR_ADDRESS);
        ids = readBar(0x8000FB00);
    });
    EXPECT_EQ(bar, 0xF040u);
    EXPECT_EQ(ids, 0x1C228080u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
