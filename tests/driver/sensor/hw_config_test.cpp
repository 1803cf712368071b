// The hardware configuration read from the INIT key: the value layouts,
// the error byte written back, the register presets, the threshold and
// delay registers, and the settings the utility stores.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "sensor_rig.h"

namespace {

using hk::kSecond;
using namespace sensortest;

using Bytes = std::vector<std::uint8_t>;

std::string Hex(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// Changes the registry, reloads the hardware values (command 110) and
// returns the error byte written back.
std::optional<Bytes> Reload(Machine& m, const std::function<void(hk::Registry&)>& edit) {
    edit(m.kernel.Reg());
    m.kernel.Reg().DeleteValue(zhptest::kInitKey, L"ERR_CODE");
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * kSecond);
    return InitValue(m, L"ERR_CODE");
}

TEST(HardwareProbe, AllValuesPresentPassAndAreShown) {
    zhptest::Machine m;
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    auto errCode = m.kernel.Reg().GetValue(zhptest::kInitKey, L"ERR_CODE");
    ASSERT_TRUE(errCode.has_value());
    EXPECT_EQ(errCode->type, hk::kRegBinary);
    EXPECT_EQ(errCode->data, Bytes{0x00});
    EXPECT_TRUE(m.TraceHas("INFO ZHP_Probe_RgtyKey_HW_INFO():H/W Parameter PASS!!! ^_^"));

    EXPECT_EQ(m.Global<std::uint32_t>("PCI_SMBUS_ADDR"), 0xF040u);
    EXPECT_EQ(m.Global<std::uint32_t>("PCI_GPIO_ADDR"), 0x1EBBu);
    EXPECT_EQ(m.Global<unsigned char>("PCI_TRIG_PIN"), 0x20);
    EXPECT_EQ(m.Global<unsigned char>("DEV_SLAVE_ADDR"), 0x3A);
    EXPECT_EQ(m.Global<unsigned char>("DEV_CHIP_ID"), 0x3A);
    const unsigned char* sata = &m.Global<unsigned char>("SATA_CMD");
    EXPECT_EQ(Bytes(sata, sata + 8), (Bytes{0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00}));
    EXPECT_EQ(m.Global<unsigned char>("OP_MODE"), 1);
    EXPECT_EQ(m.Global<unsigned char>("TH_L"), 0x26);
    EXPECT_EQ(m.Global<unsigned char>("DT_L"), 0x10);

    // Each line carries the bytes A1 40 after "Registry ".
    const std::string prefix = "INFO Display_HWINFO(): Registry \xA1\x40";
    for (const char* line : {"PCI_SMBUS_ADDR = 0xf040", "PCI_GPIO_ADDR = 0x1ebb", "PCI_TRIG_PIN = 0x20",
                             "DEV_SLAVE_ADDR = 0x3a", "DEV_CHIP_ID = 0x3a", "OP_STATUS = 0x1",
                             "THRESHOLD = 0x0,26", "DL_TIME = 0x0,10"}) {
        EXPECT_TRUE(m.TraceHas(prefix + line)) << line;
    }
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HardwareProbe, MissingValuesSetTheirErrorBitsAndKeepTheOldValues) {
    zhptest::Machine m;
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    const Bytes shipped[] = {{0x3A}, {0x0F, 0x3A}, {0x00, 0x00, 0x1E, 0xBB}, {0x20}};
    const wchar_t* names[] = {L"DEV_SLAVE_ADDR", L"DEV_CHIP_ID", L"PCI_GPIO_ADDR", L"PCI_TRIG_PIN"};
    const std::uint8_t bits[] = {0x08, 0x04, 0x02, 0x01};
    auto restore = [&](hk::Registry& reg) {
        for (int i = 0; i < 4; ++i) SetInit(reg, names[i], shipped[i]);
    };

    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(std::string(names[i], names[i] + wcslen(names[i])));
        m.kernel.ClearDebugOutput();
        EXPECT_EQ(Reload(m, [&](hk::Registry& reg) { DeleteInit(reg, names[i]); }), Bytes{bits[i]});
        EXPECT_TRUE(m.TraceHas("H/W Parameter Fail >_<!  Err_code = " + Hex(bits[i])));
        EXPECT_EQ(Reload(m, restore), Bytes{0x00});
    }

    // Slave address and interrupt pin missing: 0x09, and the engine keeps
    // working with the values it had.
    m.kernel.ClearDebugOutput();
    EXPECT_EQ(Reload(m,
                     [](hk::Registry& reg) {
                         DeleteInit(reg, L"DEV_SLAVE_ADDR");
                         DeleteInit(reg, L"PCI_TRIG_PIN");
                     }),
              Bytes{0x09});
    EXPECT_TRUE(m.TraceHas("ZHP_Probe_RgtyKey_HW_INFO():H/W Parameter Fail >_<!  Err_code = 0x9"));
    EXPECT_EQ(m.Global<unsigned char>("DEV_SLAVE_ADDR"), 0x3A);
    EXPECT_EQ(m.Global<unsigned char>("PCI_TRIG_PIN"), 0x20);
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, 2 * kSecond));
    m.Pin(false);

    // Everything missing, including the optional values.
    EXPECT_EQ(Reload(m,
                     [&](hk::Registry& reg) {
                         for (const wchar_t* name : names) DeleteInit(reg, name);
                         DeleteInit(reg, L"SATA_CMD");
                         DeleteInit(reg, L"PCI_SMBUS_ADDR");
                     }),
              Bytes{0x0F});
    EXPECT_EQ(m.Global<std::uint32_t>("PCI_SMBUS_ADDR"), 0xF040u);  // from the PCI fallback

    // A chip that answers with another identity: bit 0x04, and the byte it
    // answered with is kept.
    EXPECT_EQ(Reload(m,
                     [&](hk::Registry& reg) {
                         restore(reg);
                         SetInit(reg, L"DEV_CHIP_ID", {0x0F, 0x3B});
                     }),
              Bytes{0x04});
    EXPECT_EQ(m.Global<unsigned char>("DEV_CHIP_ID"), 0x3A);
    EXPECT_TRUE(m.TraceHas("DEV_CHIP_ID = 0x3a"));
    // The identity is read from the register the value names.
    m.chipset.Sensor().WriteRegister(0x61, 0x77);
    EXPECT_EQ(Reload(m, [&](hk::Registry& reg) { SetInit(reg, L"DEV_CHIP_ID", {0x61, 0x77}); }), Bytes{0x00});
    EXPECT_EQ(m.Global<unsigned char>("DEV_CHIP_ID"), 0x77);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HardwareProbe, MissingSlaveAddressAndPinAtBootFailTheFilter) {
    MachineOptions options;
    options.editRegistry = [](hk::Registry& reg) {
        DeleteInit(reg, L"DEV_SLAVE_ADDR");
        DeleteInit(reg, L"PCI_TRIG_PIN");
    };
    zhptest::Machine m(options);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), Bytes{0x09});
    EXPECT_EQ(m.Filter(), nullptr);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HardwareProbe, GpioAddressSelectsPortOrMemory) {
    struct Case {
        const char* what;
        Bytes value;
        std::uint64_t registerAt;
        std::string trace;
    };
    const Case cases[] = {
        {"port", {0x00, 0x00, 0x04, 0x30}, 0x430, "Ph_GPIO_ADDR(0x00000430)= 0x00000020"},
        {"highest port", {0x00, 0x00, 0xFF, 0xF0}, 0xFFF0, "Ph_GPIO_ADDR(0x0000fff0)= 0x00000020"},
        {"memory", {0xFE, 0xD0, 0xC0, 0x00}, 0xFED0C000, "Ph_MEM_ADDR(0xfed0c000)= 0x00000020"},
        {"lowest memory", {0x00, 0x01, 0x00, 0x00}, 0x10000, "Ph_MEM_ADDR(0x00010000)= 0x00000020"},
        // The register's last bytes on the next page: the whole 32 bits must be mapped.
        {"memory across a page end", {0xFE, 0xD0, 0xFF, 0xFE}, 0xFED0FFFE, "Ph_MEM_ADDR(0xfed0fffe)= 0x00000020"},
        {"memory at a page's last byte", {0xFE, 0xD0, 0xFF, 0xFF}, 0xFED0FFFF, "Ph_MEM_ADDR(0xfed0ffff)= 0x00000020"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MachineOptions options;
        options.chipset.gpio_address = c.registerAt;
        options.editRegistry = [&](hk::Registry& reg) { SetInit(reg, L"PCI_GPIO_ADDR", c.value); };
        zhptest::Machine m(options);
        ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
        EXPECT_EQ(m.Global<std::uint32_t>("PCI_GPIO_ADDR"), c.registerAt);
        m.Run(50 * hk::kMillisecond);
        EXPECT_FALSE(m.TraceHas("TriggerPinConfirm()"));  // a low line is not reported
        m.Pin(true);
        EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, 2 * kSecond));
        EXPECT_TRUE(m.TraceHas("INFO TriggerPinConfirm(): Trigger Source from " + c.trace));
        EXPECT_EQ(m.Disk().AtaCommands().size(), 1u);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

TEST(HardwareProbe, ShortValuesReuseTheBytesOfEarlierValues) {
    // The probe's buffer is zeroed once: a 3-byte GPIO address takes its last
    // byte from the chip-ID value read before it.
    MachineOptions options;
    options.chipset.gpio_address = 0x1EBB;
    options.editRegistry = [](hk::Registry& reg) {
        SetInit(reg, L"DEV_CHIP_ID", {0x0F, 0x3A, 0x1E, 0xBB});
        SetInit(reg, L"PCI_GPIO_ADDR", {0x00, 0x00, 0x1E});
        SetInit(reg, L"PCI_TRIG_PIN", {0x20, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
        SetInit(reg, L"SATA_CMD", {0x44, 0x00, 0x4C});
    };
    zhptest::Machine m(options);
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    EXPECT_EQ(m.Global<std::uint32_t>("PCI_GPIO_ADDR"), 0x1EBBu);
    const unsigned char* sata = &m.Global<unsigned char>("SATA_CMD");
    EXPECT_EQ(Bytes(sata, sata + 8), (Bytes{0x44, 0x00, 0x4C, 0x33, 0x44, 0x55, 0x66, 0x77}));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(HardwareProbe, ValueTypesAndLengthsDoNotMatter) {
    // Longer than the 256-byte read buffer: cut, never copied past it.
    Bytes longGpio(300, 0xEE);
    longGpio[0] = 0x00, longGpio[1] = 0x00, longGpio[2] = 0x1E, longGpio[3] = 0xBB;
    Bytes longSlave(5000, 0x3A);
    MachineOptions options;
    options.editRegistry = [&](hk::Registry& reg) {
        SetInit(reg, L"PCI_GPIO_ADDR", longGpio);
        SetInit(reg, L"DEV_SLAVE_ADDR", longSlave);
        SetInit(reg, L"PCI_TRIG_PIN", hk::RegDwordData(0x20), hk::kRegDword);
        SetInit(reg, L"PCI_SMBUS_ADDR", hk::RegDwordData(0x40F0), hk::kRegDword);  // bytes f0 40 00 00
        SetInit(reg, L"SATA_CMD", Bytes(4096, 0x5A), hk::kRegMultiSz);
        SetInit(reg, L"OP_MODE", hk::RegSzData(L"\x0001"), hk::kRegSz);
    };
    zhptest::Machine m(options);
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), Bytes{0x00});
    EXPECT_EQ(m.Global<std::uint32_t>("PCI_GPIO_ADDR"), 0x1EBBu);
    EXPECT_EQ(m.Global<std::uint32_t>("PCI_SMBUS_ADDR"), 0xF040u);
    EXPECT_EQ(m.Global<unsigned char>("PCI_TRIG_PIN"), 0x20);
    EXPECT_EQ(m.Global<unsigned char>("DEV_SLAVE_ADDR"), 0x3A);
    EXPECT_EQ(m.Global<unsigned char>("OP_MODE"), 1);
    const unsigned char* sata = &m.Global<unsigned char>("SATA_CMD");
    EXPECT_EQ(Bytes(sata, sata + 8), Bytes(8, 0x5A));
    // Reading frees what it allocates.
    const std::uint64_t outstanding = m.kernel.Pool().outstanding;
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * kSecond);
    EXPECT_EQ(m.kernel.Pool().outstanding, outstanding);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// The registers each preset write named in the trace, in order.
std::vector<std::pair<int, int>> PresetWrites(const std::string& trace, int preset) {
    std::vector<std::pair<int, int>> writes;
    const std::string marker = "(FUNC_W_" + std::to_string(preset) + ")I2C_W: Addr[";
    for (std::size_t at = trace.find(marker); at != std::string::npos; at = trace.find(marker, at + 1)) {
        unsigned reg = 0, value = 0;
        if (sscanf(trace.c_str() + at + marker.size(), "0x%x] = 0x%x", &reg, &value) == 2) {
            writes.emplace_back(reg, value);
        }
    }
    return writes;
}

TEST(RegisterPresets, ListsEndAtTheMarkOrAfterOneHundredPairs) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    ASSERT_EQ(m->startResults.at(0), STATUS_SUCCESS);
    hk::Registry& reg = m->kernel.Reg();

    // Two pairs, then the end mark: exactly two register writes.
    SetInit(reg, L"FUNC_W_2", {0x20, 0x47, 0x21, 0x02, 0xFF, 0xFF});
    tap.log.clear();
    m->kernel.ClearDebugOutput();
    zhptest::Reply r = m->Command(202, {{36, 1}}, 5 * kSecond);
    EXPECT_EQ(r.bytes, 80u);
    EXPECT_EQ(PresetWrites(m->Trace(), 2), (std::vector<std::pair<int, int>>{{0x20, 0x47}, {0x21, 0x02}}));
    EXPECT_EQ(tap.Transactions(0x3A), (std::vector<std::uint8_t>{0x20, 0x21}));
    EXPECT_TRUE(tap.Transactions(0x3B).empty());
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x20), 0x47);

    // Only a pair of two 0xFF bytes ends a list.
    SetInit(reg, L"FUNC_W_5", {0xFF, 0x00, 0x00, 0xFF, 0x66, 0x01, 0xFF, 0xFF, 0x67, 0x01});
    tap.log.clear();
    m->kernel.ClearDebugOutput();
    m->Command(205, {{36, 1}}, 5 * kSecond);
    EXPECT_EQ(PresetWrites(m->Trace(), 5), (std::vector<std::pair<int, int>>{{0xFF, 0x00}, {0x00, 0xFF}, {0x66, 0x01}}));
    EXPECT_EQ(tap.Transactions(0x3A).size(), 3u);

    // Without the mark the zero bytes after the value are pairs too: 100
    // writes, the last 98 of them 0 into register 0.
    m->chipset.Sensor().WriteRegister(0x00, 0x55);
    SetInit(reg, L"FUNC_W_6", {0x60, 0x01, 0x61, 0x02});
    tap.log.clear();
    m->kernel.ClearDebugOutput();
    m->Command(206, {{36, 1}}, 10 * kSecond);
    auto writes = PresetWrites(m->Trace(), 6);
    ASSERT_EQ(writes.size(), 100u);
    EXPECT_EQ(writes[0], std::make_pair(0x60, 0x01));
    EXPECT_EQ(writes[1], std::make_pair(0x61, 0x02));
    for (std::size_t i = 2; i < writes.size(); ++i) EXPECT_EQ(writes[i], std::make_pair(0, 0));
    EXPECT_EQ(tap.Transactions(0x3A).size(), 100u);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x00), 0x00);

    // A value longer than the read buffer: its first 100 pairs, no more.
    Bytes longPreset;
    for (int i = 0; i < 400; ++i) {
        longPreset.push_back(static_cast<std::uint8_t>(0x80 + i % 16));
        longPreset.push_back(static_cast<std::uint8_t>(i));
    }
    SetInit(reg, L"FUNC_W_7", longPreset);
    m->kernel.ClearDebugOutput();
    m->Command(207, {{36, 1}}, 10 * kSecond);
    writes = PresetWrites(m->Trace(), 7);
    ASSERT_EQ(writes.size(), 100u);
    EXPECT_EQ(writes[99], std::make_pair(0x80 + 99 % 16, 99));

    // A missing preset and one that starts with the mark write nothing.
    DeleteInit(reg, L"FUNC_W_8");
    SetInit(reg, L"FUNC_W_9", {0xFF, 0xFF, 0x20, 0x00});
    tap.log.clear();
    m->Command(208, {{36, 1}}, 5 * kSecond);
    m->Command(209, {{36, 1}}, 5 * kSecond);
    EXPECT_TRUE(tap.Transactions(0x3A).empty());
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(RegisterPresets, StartUpAppliesThemInItsOrder) {
    SmbusTap tap;
    MachineOptions options;
    options.editRegistry = [](hk::Registry& reg) {
        SetInit(reg, L"FUNC_W_0", {0x60, 0x00, 0xFF, 0xFF});
        SetInit(reg, L"FUNC_W_1", {0x61, 0x01, 0xFF, 0xFF});
        SetInit(reg, L"FUNC_W_2", {0x62, 0x02, 0xFF, 0xFF});
        SetInit(reg, L"FUNC_W_3", {0x63, 0x03, 0xFF, 0xFF});
        SetInit(reg, L"FUNC_W_4", {0x64, 0x04, 0xFF, 0xFF});
        SetInit(reg, L"P_THRESHOLD", {0x31, 0x07});
        SetInit(reg, L"P_DL_TIME", {0x05, 0x09});
    };
    auto m = BootWithTap(tap, options);
    ASSERT_EQ(m->startResults.at(0), STATUS_SUCCESS);
    EXPECT_EQ(m->Global<unsigned char>("POW_RESUME"), 0);

    // Start-up: the hardware probe reads the chip ID; presets 0 and 1; the
    // threshold and delay registers; preset 2; preset 3 (protection on).
    auto startUp = [&] {
        auto all = tap.Transactions(0x3A);
        auto begin = std::find(all.begin(), all.end(), 0x60);
        return std::vector<std::uint8_t>(begin, all.end());
    };
    const std::vector<std::uint8_t> on{0x60, 0x61, 0x52, 0x56, 0x72, 0x76, 0x62, 0x63};
    auto atBoot = startUp();
    ASSERT_GE(atBoot.size(), on.size());
    EXPECT_EQ(std::vector<std::uint8_t>(atBoot.begin(), atBoot.begin() + on.size()), on);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x52), 0x05);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x72), 0x05);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x56), 0x31);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x76), 0x31);

    // Protection off in the registry: preset 4 instead of 3.
    SetInit(m->kernel.Reg(), L"OP_MODE", {0x00});
    tap.log.clear();
    zhptest::Reply r = m->Command(ZHP_CMD_SENSOR_STARTUP, {}, 5 * kSecond);
    EXPECT_EQ(r.Word(36), 0u);
    const std::vector<std::uint8_t> off{0x60, 0x61, 0x52, 0x56, 0x72, 0x76, 0x62, 0x64};
    EXPECT_EQ(startUp(), off);
    EXPECT_EQ(m->Global<unsigned char>("POW_RESUME"), 0);
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(ModeProbe, MissingValuesAreReportedAndTheRegistersWrittenAnyway) {
    SmbusTap tap;
    auto m = BootWithTap(tap);
    ASSERT_EQ(m->startResults.at(0), STATUS_SUCCESS);
    hk::Registry& reg = m->kernel.Reg();

    DeleteInit(reg, L"OP_MODE");
    SetInit(reg, L"P_THRESHOLD", {0x40, 0x01});
    SetInit(reg, L"P_DL_TIME", {0x08, 0x02});
    tap.log.clear();
    zhptest::Reply r = m->Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * kSecond);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(m->Global<unsigned char>("OP_MODE"), 1);  // kept
    EXPECT_EQ(m->Global<unsigned char>("TH_L"), 0x40);
    EXPECT_EQ(m->Global<unsigned char>("TH_H"), 0x01);
    EXPECT_EQ(m->Global<unsigned char>("DT_L"), 0x08);
    EXPECT_EQ(m->Global<unsigned char>("DT_H"), 0x02);
    // Only the low bytes reach the sensor, in this order.
    EXPECT_EQ(tap.Transactions(0x3A), (std::vector<std::uint8_t>{0x52, 0x56, 0x72, 0x76}));
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x56), 0x40);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x52), 0x08);

    // Nothing there: all three bits; the bytes in memory are written again.
    DeleteInit(reg, L"P_THRESHOLD");
    DeleteInit(reg, L"P_DL_TIME");
    m->chipset.Sensor().WriteRegister(0x76, 0x00);
    r = m->Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * kSecond);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(m->chipset.Sensor().ReadRegister(0x76), 0x40);
    EXPECT_FALSE(m->kernel.Stopped()) << m->kernel.Stop().ToString();
}

TEST(SettingsWriteBack, StoresModeThresholdAndDelayAsBinaryValues) {
    zhptest::Machine m;
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);

    zhptest::Reply r =
        m.Command(ZHP_CMD_STORE_SETTINGS, {{16, 0x32}, {20, 0}, {24, 0}, {28, 0}, {36, 1}}, 5 * kSecond);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.Word(76), 0u);
    auto threshold = m.kernel.Reg().GetValue(zhptest::kInitKey, L"P_THRESHOLD");
    ASSERT_TRUE(threshold.has_value());
    EXPECT_EQ(threshold->type, hk::kRegBinary);
    EXPECT_EQ(threshold->data, (Bytes{0x32, 0x00}));
    EXPECT_EQ(InitValue(m, L"P_DL_TIME"), (Bytes{0x00, 0x00}));
    EXPECT_EQ(InitValue(m, L"OP_MODE"), Bytes{0x01});
    EXPECT_TRUE(m.TraceHas("W: OP_Mode=0x1\n"));
    EXPECT_TRUE(m.TraceHas("W: THRESHOLD[0]=0x32,THRESHOLD[1]=0x0\n"));
    EXPECT_TRUE(m.TraceHas("W: DL_TIME[0]=0x0,DL_TIME[1]=0x0\n"));
    // Loaded again and taken to the sensor.
    EXPECT_EQ(m.Global<unsigned char>("TH_L"), 0x32);
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x56), 0x32);
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x52), 0x00);

    // Word values: low word first, then the high word's low byte.
    m.Command(ZHP_CMD_STORE_SETTINGS, {{16, 0x34}, {20, 0x12}, {24, 0x07}, {28, 0x01}, {36, 0}}, 5 * kSecond);
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (Bytes{0x34, 0x12}));
    EXPECT_EQ(InitValue(m, L"P_DL_TIME"), (Bytes{0x07, 0x01}));
    EXPECT_EQ(InitValue(m, L"OP_MODE"), Bytes{0x00});
    EXPECT_EQ(m.Global<unsigned char>("TH_H"), 0x12);
    EXPECT_EQ(m.Global<unsigned char>("DT_H"), 0x01);

    // Registry writes refused: the status comes back (an error status, so the
    // block is not copied back), nothing changes.
    m.kernel.FailRegistryWrites(true);
    r = m.Command(ZHP_CMD_STORE_SETTINGS, {{16, 0x50}, {36, 1}}, 5 * kSecond);
    EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(InitValue(m, L"P_THRESHOLD"), (Bytes{0x34, 0x12}));
    // The hardware probe cannot write its error byte but still works.
    m.kernel.Reg().DeleteValue(zhptest::kInitKey, L"ERR_CODE");
    m.kernel.ClearDebugOutput();
    m.Command(ZHP_CMD_RELOAD_CONFIG, {}, 5 * kSecond);
    EXPECT_FALSE(InitValue(m, L"ERR_CODE").has_value());
    EXPECT_TRUE(m.TraceHas("H/W Parameter PASS!!! ^_^"));
    m.kernel.FailRegistryWrites(false);
    m.Pin(true);
    EXPECT_TRUE(RunUntil(m, [&] { return (m.Flag() & ZHP_FLAG_IO_BLOCKED) != 0; }, 2 * kSecond));
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// Every command that reads the INIT key runs in the calling program's
// thread; the key must be opened there with a kernel handle (the host kernel
// stops the machine otherwise) and still read every value.
TEST(ConfigurationFromAProgram, EveryCommandReadingTheKeyKeepsItsHandleInTheKernel) {
    struct Case {
        std::uint32_t command;
        std::vector<std::pair<unsigned, std::uint32_t>> words;
    };
    const Case cases[] = {
        {ZHP_CMD_RELOAD_CONFIG, {}},
        {ZHP_CMD_STORE_SETTINGS, {{16, 0x30}, {24, 0x12}, {36, 1}}},
        {ZHP_CMD_SENSOR_STARTUP, {{16, 0x30}, {24, 0x12}, {36, 1}}},
        {ZHP_CMD_PRESET_INTERRUPT_ON, {{16, 0x30}, {24, 0x12}, {36, 1}}},
        {ZHP_CMD_PRESET_INTERRUPT_OFF, {{16, 0x30}, {24, 0x12}, {36, 1}}},
        {212, {{16, 0x30}, {24, 0x12}, {36, 1}}},
    };
    zhptest::Machine m;
    ASSERT_EQ(m.startResults.at(0), STATUS_SUCCESS);
    // A power change of the disk: the next command of any kind runs the
    // start-up path, which reads the key too.
    m.Do([&] { hk::PoSetDevicePower(m.storage.Pdo(m.Disk()), PowerDeviceD3); });
    m.Do([&] { hk::PoSetDevicePower(m.storage.Pdo(m.Disk()), PowerDeviceD0); });
    EXPECT_EQ(m.Command(ZHP_CMD_QUERY).status, STATUS_SUCCESS);
    EXPECT_EQ(m.Global<unsigned char>("POW_RESUME"), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        zhptest::Reply r = m.Command(c.command, c.words, 5 * kSecond);
        ASSERT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 80u);
    }
    // The values were read (the presets reached the sensor, the threshold
    // stored by 111 came back through the mode probe).
    EXPECT_EQ(m.Global<unsigned char>("TH_L"), 0x30);
    EXPECT_EQ(m.chipset.Sensor().ReadRegister(0x56), 0x30);
    EXPECT_EQ(InitValue(m, L"ERR_CODE"), Bytes{0x00});
}

}  // namespace
