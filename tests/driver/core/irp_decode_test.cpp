// Request dumps in the trace output: when they are made, their exact lines,
// the name tables behind them and the flag listings of flush requests.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "core/irp_decode.h"
#include "core/trace.h"
#include "core_test_support.h"

namespace {

using coretest::HasRun;
using coretest::Lines;
using coretest::PointerText;
using hk::kMillisecond;

constexpr ULONG kDumpBit = 0x100;

std::string Pre(const void* irp, const std::string& major) {
    return "ZHP_DumpIrpOperation(): Irp 0x" + PointerText(irp) + " preoperation " + major + "\n";
}

std::string Post(const void* irp, const std::string& major) {
    return "ZHP_DumpIrpOperation(): Irp 0x" + PointerText(irp) + " postoperation " + major + "\n";
}

// The lines with every request address replaced by "<irp>", for requests the
// test does not build itself.
std::vector<std::string> Normalized(const std::vector<std::string>& lines) {
    static const std::regex address("Irp 0x[0-9A-F]{16}");
    std::vector<std::string> out;
    for (const std::string& line : lines) out.push_back(std::regex_replace(line, address, "Irp 0x<irp>"));
    return out;
}

std::size_t DumpCount(const std::vector<std::string>& lines) {
    std::size_t count = 0;
    for (const std::string& line : lines) count += line.rfind("ZHP_DumpIrpOperation(): ", 0) == 0;
    return count;
}


TEST(RequestDumps, WithTheDumpBitReadsAndFlushesAreDumpedBeforeAndAfterTheyGoDown) {
    zhptest::Machine m;
    coretest::TraceSettings settings(m);
    settings.level |= kDumpBit;

    std::size_t from = m.kernel.DebugOutput().size();
    hk::RequestPtr read = coretest::Read(m, 0x1000);
    PIRP readIrp = read->irp;
    // Once by the read routine, once by the forwarding routine.
    EXPECT_EQ(Lines(m, from), (std::vector<std::string>{Pre(readIrp, "IRP_MJ_READ"), Pre(readIrp, "IRP_MJ_READ")}));
    from = m.kernel.DebugOutput().size();
    m.Run(50 * kMillisecond);
    ASSERT_TRUE(read->completed);
    EXPECT_EQ(Lines(m, from), std::vector<std::string>{Post(readIrp, "IRP_MJ_READ")});

    // A flush lists its flags; names that share a value are both printed.
    from = m.kernel.DebugOutput().size();
    hk::RequestPtr flush;
    m.Do([&] {
        hk::RequestSpec spec;
        spec.major = IRP_MJ_FLUSH_BUFFERS;
        spec.irpFlags = 0x43;
        flush = hk::SendRequest(m.DiskTop(), spec);
    });
    PIRP flushIrp = flush->irp;
    EXPECT_EQ(Lines(m, from), (std::vector<std::string>{
                                  Pre(flushIrp, "IRP_MJ_FLUSH_BUFFERS"),
                                  "ZHP_IrpInfo()   Irp Flag\n",
                                  "ZHP_IrpInfo()   IRP_NOCACHE\n",
                                  "ZHP_IrpInfo()   IRP_PAGING_IO\n",
                                  "ZHP_IrpInfo()   IRP_MOUNT_COMPLETION\n",
                                  "ZHP_IrpInfo()   IRP_INPUT_OPERATION\n",
                                  "ZHP_IrpInfo()   IRP_SYNCHRONOUS_PAGING_IO\n",
                                  // The request came from the I/O manager's fixed-size list.
                                  "ZHP_IrpInfo()   IRP_ALLOCATED_FIXED_SIZE\n",
                                  "ZHP_IrpInfo()   IRP_LOOKASIDE_ALLOCATION\n",
                                  "\n\n",
                                  "ZHP_IrpInfo()   File Object Flag\n",
                                  "\n\n",
                                  Pre(flushIrp, "IRP_MJ_FLUSH_BUFFERS"),
                              }));
    from = m.kernel.DebugOutput().size();
    m.Run(50 * kMillisecond);
    ASSERT_TRUE(flush->completed);
    EXPECT_EQ(Lines(m, from), std::vector<std::string>{Post(flushIrp, "IRP_MJ_FLUSH_BUFFERS")});

    // Read dumps go under their own component; flush dumps under another.
    settings.components &= ~static_cast<ULONG>(ZHP_TRACE_DUMP_IO);
    from = m.kernel.DebugOutput().size();
    read = coretest::Read(m, 0x2000);
    m.Run(50 * kMillisecond);
    EXPECT_EQ(DumpCount(Lines(m, from)), 0u);
    m.Do([&] { flush = hk::SendFlush(m.DiskTop()); });
    m.Run(50 * kMillisecond);
    EXPECT_EQ(DumpCount(Lines(m, from)), 3u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(RequestDumps, AHeldWriteIsDumpedWhenHeldAndWhenReleasedButNotOnCompletion) {
    zhptest::Machine m;
    coretest::BlockDisk(m);
    coretest::TraceSettings settings(m);
    settings.level |= kDumpBit;

    std::size_t from = m.kernel.DebugOutput().size();
    hk::RequestPtr write = coretest::Write(m, 0x3000);
    PIRP irp = write->irp;
    char held[160];
    std::snprintf(held, sizeof held, "ZHP_Write(): IO (Irp = 0x%08x), is add into driver managed queue\n\n",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(irp)));
    EXPECT_EQ(Lines(m, from), (std::vector<std::string>{Pre(irp, "IRP_MJ_WRITE"), held}));

    // Released at DISPATCH_LEVEL: passed on without a completion routine.
    coretest::ReleaseNow(m);
    m.Run(50 * kMillisecond);
    ASSERT_TRUE(write->completed);
    const std::vector<std::string> lines = Lines(m, from);
    EXPECT_EQ(coretest::Count(lines, Pre(irp, "IRP_MJ_WRITE")), 2u);
    EXPECT_EQ(coretest::Count(lines, Post(irp, "IRP_MJ_WRITE")), 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(RequestDumps, AFlushListsTheFlagsOfItsFileObject) {
    zhptest::Machine m;
    coretest::TraceSettings settings(m);
    settings.level |= kDumpBit;

    // Opened as the disk is normally opened: through its own named device.
    PDEVICE_OBJECT disk = m.FilterExt()->LowerDeviceObject;
    PFILE_OBJECT file = nullptr;
    NTSTATUS opened = STATUS_PENDING;
    m.Do([&] { file = hk::OpenDevice(disk, &opened); });
    ASSERT_EQ(opened, STATUS_SUCCESS);
    file->Flags = FO_SYNCHRONOUS_IO | FO_WRITE_THROUGH | FO_VOLUME_OPEN;

    const std::size_t from = m.kernel.DebugOutput().size();
    hk::RequestPtr flush;
    m.Do([&] {
        hk::RequestSpec spec;
        spec.major = IRP_MJ_FLUSH_BUFFERS;
        spec.irpFlags = IRP_SYNCHRONOUS_API | IRP_HOLD_DEVICE_QUEUE;
        spec.fileObject = file;
        flush = hk::SendRequest(m.DiskTop(), spec);
    });
    EXPECT_TRUE(HasRun(Lines(m, from), {
                                           "ZHP_IrpInfo()   Irp Flag\n",
                                           "ZHP_IrpInfo()   IRP_SYNCHRONOUS_API\n",
                                           // Allocation flags print in value order among the others.
                                           "ZHP_IrpInfo()   IRP_ALLOCATED_FIXED_SIZE\n",
                                           "ZHP_IrpInfo()   IRP_LOOKASIDE_ALLOCATION\n",
                                           "ZHP_IrpInfo()   IRP_HOLD_DEVICE_QUEUE\n",
                                           "\n\n",
                                           "ZHP_IrpInfo()   File Object Flag\n",
                                           "ZHP_IrpInfo()   FO_SYNCHRONOUS_IO\n",
                                           "ZHP_IrpInfo()   FO_WRITE_THROUGH\n",
                                           "ZHP_IrpInfo()   FO_VOLUME_OPEN\n",
                                           "\n\n",
                                       }))
        << ::testing::PrintToString(Lines(m, from));
    m.Run(50 * kMillisecond);
    ASSERT_TRUE(flush->completed);
    NTSTATUS closed = STATUS_PENDING;
    m.Do([&] { closed = hk::CloseDevice(file); });
    EXPECT_EQ(closed, STATUS_SUCCESS);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(RequestDumps, AtTheDefaultLevelPnpAndPowerRequestsAreDumpedButNotReadsAndWrites) {
    zhptest::Machine m;
    ASSERT_EQ(m.Global<ULONG>("TraceLevel") & kDumpBit, 0u);
    PDEVICE_OBJECT pdo = m.storage.Pdo(m.Disk());
    auto linesOf = [&](const std::function<void()>& action) {
        const std::size_t from = m.kernel.DebugOutput().size();
        m.Do(action);
        m.Run(10 * kMillisecond);
        return Normalized(Lines(m, from));
    };
    const std::string pnpPre = "ZHP_DumpIrpOperation(): Irp 0x<irp> preoperation IRP_MJ_PNP\n";
    const std::string powerPre = "ZHP_DumpIrpOperation(): Irp 0x<irp> preoperation IRP_MJ_POWER\n";
    const std::string powerPost = "ZHP_DumpIrpOperation(): Irp 0x<irp> postoperation IRP_MJ_POWER\n";

    std::vector<std::string> lines = linesOf([&] {
        hk::SendRead(m.DiskTop(), 0, hw::kSectorSize);
        hk::SendWrite(m.DiskTop(), 0, std::vector<std::uint8_t>(hw::kSectorSize, 1));
    });
    EXPECT_EQ(m.Disk().ReadsCompleted() + m.Disk().WritesCompleted(), 2u);
    EXPECT_EQ(DumpCount(lines), 0u) << ::testing::PrintToString(lines);

    lines = linesOf([&] { hk::PnpSendMinor(pdo, IRP_MN_QUERY_CAPABILITIES); });
    EXPECT_TRUE(HasRun(lines, {"INFO ZHP_DispatchPnp(): PNP that filter will forwarding\n\n", pnpPre,
                               "IRP_MN_QUERY_CAPABILITIES\n"}))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(DumpCount(lines), 1u);
    lines = linesOf([&] { hk::PnpSendMinor(pdo, 14); });
    EXPECT_TRUE(HasRun(lines, {pnpPre, "Unknown PnP Request\n"})) << ::testing::PrintToString(lines);
    lines = linesOf([&] { hk::PnpSendMinor(pdo, IRP_MN_QUERY_LEGACY_BUS_INFORMATION); });
    EXPECT_TRUE(HasRun(lines, {pnpPre, "IRP_MN_QUERY_LEGACY_BUS_INFORMATION\n"})) << ::testing::PrintToString(lines);
    lines = linesOf([&] { hk::PnpSendMinor(pdo, IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1); });
    EXPECT_TRUE(HasRun(lines, {pnpPre, "Unknown PnP Request\n"})) << ::testing::PrintToString(lines);
    // Usage notifications are not dumped.
    lines = linesOf([&] { hk::PnpDeviceUsageNotification(pdo, DeviceUsageTypeHibernation, true); });
    EXPECT_EQ(DumpCount(lines), 0u) << ::testing::PrintToString(lines);

    lines = linesOf([&] { hk::PoSetSystemPower(pdo, PowerSystemSleeping3); });
    EXPECT_EQ(lines, (std::vector<std::string>{powerPre, "IRP_MN_SET_POWER\n", "PowerSystemSleeping3\n"}));
    lines = linesOf([&] { hk::PoQueryDevicePower(pdo, PowerDeviceD3); });
    EXPECT_EQ(lines, (std::vector<std::string>{powerPre, "IRP_MN_QUERY_POWER\n", "PowerDeviceD3\n"}));
    // A device set-power request is dumped only when it has completed.
    lines = linesOf([&] { hk::PoSetDevicePower(pdo, PowerDeviceD3); });
    EXPECT_TRUE(HasRun(lines, {powerPost, "IRP_MN_SET_POWER\n", "PowerDeviceD3\n"})) << ::testing::PrintToString(lines);
    EXPECT_EQ(DumpCount(lines), 1u);

    // Removal: the query is dumped, the removal itself is not.
    const std::size_t from = m.kernel.DebugOutput().size();
    ASSERT_EQ(m.storage.RemoveDisk(m.Disk()), STATUS_SUCCESS);
    lines = Normalized(Lines(m, from));
    EXPECT_TRUE(HasRun(lines, {pnpPre, "IRP_MN_QUERY_REMOVE_DEVICE\n"})) << ::testing::PrintToString(lines);
    EXPECT_EQ(coretest::Count(lines, "IRP_MN_REMOVE_DEVICE\n"), 0u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(RequestDumps, CodesOutsideTheTablesAreNamedUnknown) {
    zhptest::Machine m;
    auto major = m.Routine<decltype(ZHP_MajorFunctionName)>("ZHP_MajorFunctionName");
    auto pnp = m.Routine<decltype(ZHP_PnpMinorFunctionName)>("ZHP_PnpMinorFunctionName");
    auto power = m.Routine<decltype(ZHP_PowerMinorFunctionName)>("ZHP_PowerMinorFunctionName");
    auto system = m.Routine<decltype(ZHP_SystemPowerStateName)>("ZHP_SystemPowerStateName");
    auto device = m.Routine<decltype(ZHP_DevicePowerStateName)>("ZHP_DevicePowerStateName");
    auto wmi = m.Routine<decltype(ZHP_SystemControlMinorFunctionName)>("ZHP_SystemControlMinorFunctionName");
    auto component = m.Routine<decltype(ZHP_DumpComponent)>("ZHP_DumpComponent");

    const std::vector<std::string> majors = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    for (ULONG code = 0; code < majors.size(); ++code) EXPECT_EQ(major(code), majors[code]) << code;
    for (ULONG code : {28u, 30u, 0xFFu}) EXPECT_STREQ(major(code), "Unknown IRP Request") << code;

    const std::vector<std::string> pnps = {
        "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "Unknown PnP Request", "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
        "IRP_MN_QUERY_LEGACY_BUS_INFORMATION", "Unknown PnP Request"};
    for (ULONG code = 0; code < pnps.size(); ++code) EXPECT_EQ(pnp(code), pnps[code]) << code;

    const std::vector<std::string> powers = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                             "IRP_MN_QUERY_POWER", "Unknown Power Request"};
    for (ULONG code = 0; code < powers.size(); ++code) EXPECT_EQ(power(code), powers[code]) << code;

    const std::vector<std::string> systems = {
        "PowerSystemUnspecified", "PowerSystemWorking", "PowerSystemSleeping1", "PowerSystemSleeping2",
        "PowerSystemSleeping3", "PowerSystemHibernate", "PowerSystemShutdown", "PowerSystemMaximum",
        "PowerSystemUnknown"};
    for (ULONG code = 0; code < systems.size(); ++code) EXPECT_EQ(system(code), systems[code]) << code;

    const std::vector<std::string> devices = {"PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
                                              "PowerDeviceD2", "PowerDeviceD3", "PowerDeviceMaximum",
                                              "PowerDeviceUnknown"};
    for (ULONG code = 0; code < devices.size(); ++code) EXPECT_EQ(device(code), devices[code]) << code;

    const std::vector<std::string> wmis = {
        "IRP_MN_QUERY_ALL_DATA", "IRP_MN_QUERY_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_INSTANCE",
        "IRP_MN_CHANGE_SINGLE_ITEM", "IRP_MN_ENABLE_EVENTS", "IRP_MN_DISABLE_EVENTS", "IRP_MN_ENABLE_COLLECTION",
        "IRP_MN_DISABLE_COLLECTION", "IRP_MN_REGINFO", "IRP_MN_EXECUTE_METHOD", "Unknown System Control Request"};
    for (ULONG code = 0; code < wmis.size(); ++code) EXPECT_EQ(wmi(code), wmis[code]) << code;

    const std::vector<std::pair<ULONG, ULONG>> components = {
        {IRP_MJ_CREATE, 0x010}, {IRP_MJ_CLOSE, 0x010}, {IRP_MJ_CLEANUP, 0x010}, {IRP_MJ_READ, 0x080},
        {IRP_MJ_WRITE, 0x080}, {IRP_MJ_DEVICE_CONTROL, 0x080}, {IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x080},
        {IRP_MJ_POWER, 0x004}, {IRP_MJ_SYSTEM_CONTROL, 0x020}, {IRP_MJ_PNP, 0x002}, {IRP_MJ_FLUSH_BUFFERS, 0x001},
        {IRP_MJ_SHUTDOWN, 0x001}, {30, 0x001}};
    for (const auto& c : components) EXPECT_EQ(component(c.first), c.second) << c.first;
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

// Dumps of requests that never reach the driver this way: built here and
// handed to the dump routine directly.
TEST(RequestDumps, ARequestWithAnOddMajorFunctionDumpsItsHeadingOnly) {
    zhptest::Machine m;
    coretest::TraceSettings settings(m);
    auto dump = m.Routine<decltype(ZHP_DumpIrpOperation)>("ZHP_DumpIrpOperation");

    auto dumpOf = [&](UCHAR majorFunction, UCHAR minorFunction, BOOLEAN pre) {
        const std::size_t from = m.kernel.DebugOutput().size();
        PIRP irp = nullptr;
        m.Do([&] {
            irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            IoGetCurrentIrpStackLocation(irp)->MajorFunction = majorFunction;
            IoGetCurrentIrpStackLocation(irp)->MinorFunction = minorFunction;
            dump(pre, irp);
            IoFreeIrp(irp);
        });
        std::vector<std::string> lines = Lines(m, from);
        const std::string text = PointerText(irp);
        for (std::string& line : lines) {
            const std::size_t at = line.find(text);
            if (at != std::string::npos) line.replace(at, text.size(), "<irp>");
        }
        return lines;
    };

    EXPECT_EQ(dumpOf(30, 0, TRUE),
              std::vector<std::string>{"ZHP_DumpIrpOperation(): Irp 0x<irp> preoperation Unknown IRP Request\n"});
    EXPECT_EQ(dumpOf(IRP_MJ_SYSTEM_CONTROL, 9, FALSE),
              (std::vector<std::string>{"ZHP_DumpIrpOperation(): Irp 0x<irp> postoperation IRP_MJ_SYSTEM_CONTROL\n",
                                        "IRP_MN_EXECUTE_METHOD\n"}));
    EXPECT_EQ(dumpOf(IRP_MJ_SYSTEM_CONTROL, 10, TRUE),
              (std::vector<std::string>{"ZHP_DumpIrpOperation(): Irp 0x<irp> preoperation IRP_MJ_SYSTEM_CONTROL\n",
                                        "Unknown System Control Request\n"}));

    // Every line of a dump goes under the component of its major function.
    settings.components = ~static_cast<ULONG>(ZHP_TRACE_HELD_IO);
    EXPECT_TRUE(dumpOf(30, 0, TRUE).empty());
    settings.components = ~static_cast<ULONG>(ZHP_TRACE_DUMP_SYSCTL);
    EXPECT_TRUE(dumpOf(IRP_MJ_SYSTEM_CONTROL, 9, TRUE).empty());
    settings.components = ZHP_TRACE_DUMP_SYSCTL;
    EXPECT_EQ(dumpOf(IRP_MJ_SYSTEM_CONTROL, 9, TRUE).size(), 2u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace
