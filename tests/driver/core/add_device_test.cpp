// Which disks the filter takes, and what add-device leaves behind when it
// fails or cannot create the control device.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "sensor/status_thread.h"
#include "hostkernel/registry.h"

namespace {

using hk::kMillisecond;

hw::DiskConfig DiskOn(const std::string& name, const std::string& busDriver) {
    hw::DiskConfig config;
    config.name = name;
    config.bus_driver = busDriver;
    return config;
}

bool Filtered(zhptest::Machine& m, std::size_t disk) {
    PDEVICE_OBJECT top = m.DiskTop(disk);
    return top != nullptr && top->DriverObject == m.zhp;
}

std::size_t DriverDeviceCount(zhptest::Machine& m) {
    std::size_t count = 0;
    for (PDEVICE_OBJECT d = m.zhp->DeviceObject; d != nullptr; d = d->NextDevice) ++count;
    return count;
}

// A machine whose first disk hangs off `busDriver` and whose second is an
// ordinary SATA disk; both are started.
zhptest::MachineOptions FirstDiskOn(const std::string& busDriver) {
    zhptest::MachineOptions options;
    options.disks = {DiskOn("first", busDriver), DiskOn("sata", "storahci")};
    return options;
}

// The first disk is passed over (add-device succeeds, nothing is created)
// and the ordinary disk after it is the one filtered.
void ExpectFirstDiskPassedOver(zhptest::Machine& m) {
    ASSERT_EQ(m.startResults, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    EXPECT_FALSE(Filtered(m, 0));
    EXPECT_TRUE(Filtered(m, 1));
    EXPECT_EQ(m.Filter(), m.DiskTop(1));
    EXPECT_EQ(DriverDeviceCount(m), 2u);  // the filter and the control device
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Qualification, OnlyTheFirstQualifyingDiskIsFilteredEvenAfterItIsRemoved) {
    zhptest::MachineOptions options;
    options.disks = {DiskOn("sata0", "storahci"), DiskOn("sata1", "storahci")};
    zhptest::Machine m(options);
    ASSERT_EQ(m.startResults, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    EXPECT_TRUE(Filtered(m, 0));
    EXPECT_FALSE(Filtered(m, 1));
    EXPECT_EQ(m.DiskTop(1)->DriverObject, m.storage.ClassDriver());
    EXPECT_EQ(DriverDeviceCount(m), 2u);

    // The filter device takes after the disk's physical device object.
    PDEVICE_OBJECT pdo = m.storage.Pdo(m.Disk(0));
    PDEVICE_OBJECT filterDevice = m.Filter();
    EXPECT_EQ(filterDevice->DeviceType, pdo->DeviceType);
    EXPECT_EQ(filterDevice->Characteristics, pdo->Characteristics);
    const ULONG ioFlags = DO_BUFFERED_IO | DO_DIRECT_IO;
    EXPECT_EQ(filterDevice->Flags & ioFlags, pdo->Flags & ioFlags);
    EXPECT_TRUE(filterDevice->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(filterDevice->Flags & DO_DEVICE_INITIALIZING);
    const DEVICE_EXTENSION* filter = m.FilterExt();
    EXPECT_EQ(filter->Flag, static_cast<ULONG>(ZHP_FLAG_INITIALIZED));
    EXPECT_EQ(filter->DeviceObject, filterDevice);
    EXPECT_EQ(filter->FilterExtension, nullptr);
    EXPECT_EQ(filter->DelayLevel, 5u);
    EXPECT_EQ(filter->DispatchForwardCount, 0u);
    EXPECT_EQ(filter->PhysicalDeviceObject, pdo);
    EXPECT_EQ(filter->LowerDeviceObject->DriverObject, m.storage.ClassDriver());
    EXPECT_EQ(filter->LowerDeviceObject->AttachedDevice, filterDevice);

    // The control device: its own kind of device, and a record that only
    // points to the filter's.
    PDEVICE_OBJECT controlDevice = m.Control();
    EXPECT_EQ(controlDevice->DriverObject, m.zhp);
    EXPECT_EQ(controlDevice->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(controlDevice->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_TRUE(controlDevice->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(controlDevice->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(controlDevice->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(controlDevice->AttachedDevice, nullptr);
    DEVICE_EXTENSION control = *static_cast<const DEVICE_EXTENSION*>(controlDevice->DeviceExtension);
    EXPECT_EQ(control.Flag, static_cast<ULONG>(ZHP_FLAG_INITIALIZED));
    EXPECT_EQ(control.DeviceObject, controlDevice);
    EXPECT_EQ(control.FilterExtension, filter);
    EXPECT_EQ(control.PhysicalDeviceObject, pdo);
    control.Flag = 0;
    control.DeviceObject = nullptr;
    control.FilterExtension = nullptr;
    control.PhysicalDeviceObject = nullptr;
    const DEVICE_EXTENSION zero{};
    EXPECT_EQ(std::memcmp(&control, &zero, sizeof zero), 0) << "the control device's other fields stay zero";

    char added[128];
    std::snprintf(added, sizeof added, "ZHP_AddDevice(): Filter driver 0x%x, physical device 0x%x\n",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(m.zhp)),
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pdo)));
    const std::vector<std::string> lines = coretest::Lines(m);
    EXPECT_TRUE(coretest::HasRun(lines, {added, "INFO ZHP_AddDevice(): Adding First Device.\n\n"}));
    EXPECT_EQ(coretest::Count(lines, "ZHP_AddGSensor():  POW_RESUME.11 = TRUE\n"), 1u);
    EXPECT_EQ(coretest::Count(lines, "INFO ZHP_AddDevice(): Set Direct IO.\n\n"), (pdo->Flags & DO_DIRECT_IO) ? 1u : 0u);
    EXPECT_EQ(coretest::Count(lines, "INFO ZHP_AddDevice(): Set Buffered IO.\n\n"),
              (pdo->Flags & DO_BUFFERED_IO) ? 1u : 0u);

    // The filtered disk goes; the control device stays and still counts.
    ASSERT_EQ(m.storage.RemoveDisk(m.Disk(0)), STATUS_SUCCESS);
    EXPECT_EQ(m.Filter(), nullptr);
    EXPECT_NE(m.Control(), nullptr);
    hw::Disk& later = m.storage.AddDisk(DiskOn("sata2", "storahci"));
    EXPECT_EQ(m.storage.StartDisk(later, {m.zhp}), STATUS_SUCCESS);
    EXPECT_FALSE(Filtered(m, 2));
    EXPECT_EQ(m.Filter(), nullptr);
    EXPECT_EQ(DriverDeviceCount(m), 1u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Qualification, UsbAndSdCardStacksAreNotFilteredWhateverTheCase) {
    for (const char* bus : {"USBSTOR", "usbstor", "UsbStor", "myusbstorage", "xUSBSTORx", "sdbus", "SD",
                            "MySdHost", "RtsdX", "bus_sD"}) {
        SCOPED_TRACE(bus);
        zhptest::Machine m(FirstDiskOn(bus));
        ExpectFirstDiskPassedOver(m);
    }
}

TEST(Qualification, RemovableReadOnlyAndFloppyDisksAreNotFiltered) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        zhptest::MachineOptions options = FirstDiskOn("storahci");
        options.disks[0].removable = kind == 0;
        options.disks[0].read_only = kind == 1;
        options.disks[0].floppy = kind == 2;
        zhptest::Machine m(options);
        ExpectFirstDiskPassedOver(m);
    }
}

// The bus driver's object name is "\Driver\<name>"; only its first 64
// characters are looked at.
TEST(Qualification, OnlyTheFirst64CharactersOfTheBusDriverNameCount) {
    struct Case {
        std::string bus;
        bool filtered;
    };
    const std::vector<Case> cases = {
        {std::string(54, 'x') + "SD" + "yyyy", false},           // "SD" at 62..63
        {std::string(55, 'x') + "SD" + "yyy", true},             // "S" at 63, "D" at 64
        {std::string(56, 'x') + "sd" + "yy", true},              // beyond 64
        {std::string(49, 'x') + "USBSTOR" + "yyyyyyy", false},   // "USBSTOR" at 57..63
        {std::string(50, 'x') + "USBSTOR" + "yyyyyyy", true},    // ends at 64
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus);
        ASSERT_TRUE(hw::StorageSubsystem::IsUsableBusDriverName(c.bus));
        zhptest::MachineOptions options;
        options.disks = {DiskOn("first", c.bus)};
        zhptest::Machine m(options);
        ASSERT_EQ(m.startResults, std::vector<NTSTATUS>{STATUS_SUCCESS});
        EXPECT_EQ(Filtered(m, 0), c.filtered);
        EXPECT_EQ(m.Filter() != nullptr, c.filtered);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

// A sensor that cannot be used at boot: the disk must still start (it is
// normally the one Windows boots from), unprotected, with nothing of the
// filter left behind.
struct MissingSensorCase {
    const char* what;
    std::function<void(zhptest::Machine&)> breakIt;
    unsigned errorCode;
};

TEST(AddDevice, WithoutAUsableSensorTheDiskStartsUnprotectedAndNothingIsLeftBehind) {
    const MissingSensorCase cases[] = {
        {"a silent sensor", [](zhptest::Machine& m) { m.chipset.Sensor().SetAnswering(false); }, 0x04},
        {"no sensor address in the registry",
         [](zhptest::Machine& m) { ASSERT_TRUE(m.kernel.Reg().DeleteValue(zhptest::kInitKey, L"DEV_SLAVE_ADDR")); },
         0x08},
        {"a sensor of another kind",
         [](zhptest::Machine& m) {
             m.kernel.Reg().SetValue(zhptest::kInitKey, L"DEV_CHIP_ID", REG_BINARY, {0x0F, 0x33});
         },
         0x04},
    };
    for (const MissingSensorCase& c : cases) {
        SCOPED_TRACE(c.what);
        zhptest::MachineOptions options;
        options.start = false;
        zhptest::Machine m(options);
        c.breakIt(m);
        const hk::PoolStatistics poolBefore = m.kernel.Pool();

        m.startResults = m.storage.StartAll({m.zhp});
        ASSERT_EQ(m.startResults, std::vector<NTSTATUS>{STATUS_SUCCESS});
        EXPECT_TRUE(m.storage.Started(m.Disk()));
        EXPECT_FALSE(Filtered(m, 0));
        EXPECT_EQ(m.Filter(), nullptr);
        EXPECT_EQ(m.zhp->DeviceObject, nullptr);
        EXPECT_EQ(m.Control(), nullptr) << "the utility must find no control device";
        const std::optional<hk::RegValue> err = m.kernel.Reg().GetValue(zhptest::kInitKey, L"ERR_CODE");
        ASSERT_TRUE(err.has_value());
        EXPECT_EQ(err->data, std::vector<std::uint8_t>{static_cast<std::uint8_t>(c.errorCode)});
        EXPECT_EQ(m.kernel.Pool().outstanding, poolBefore.outstanding);

        char failLine[96];
        std::snprintf(failLine, sizeof(failLine),
                      "INFO ZHP_Probe_RgtyKey_HW_INFO():H/W Parameter Fail >_<!  Err_code = 0x%x\n", c.errorCode);
        const std::vector<std::string> lines = coretest::Lines(m);
        EXPECT_EQ(coretest::Count(lines, failLine), 1u);
        bool declined = false;
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("ERROR!!! ZHP_AddDevice()"), std::string::npos) << line;
            declined = declined || line.rfind("WARNING ZHP_AddDevice(): No usable sensor", 0) == 0;
        }
        EXPECT_TRUE(declined);

        // The disk works unfiltered, and no sensor thread runs against the
        // deleted device: the verifier and the sanitizers would see it.
        hk::RequestPtr read = coretest::Read(m, 0x4000);
        m.Run(200 * kMillisecond);
        ASSERT_TRUE(read->completed);
        EXPECT_EQ(read->status, STATUS_SUCCESS);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();

        // The sensor answers again: the next disk is the first one filtered,
        // as if the declined disk had never been offered.
        m.chipset.Sensor().SetAnswering(true);
        m.kernel.Reg().SetValue(zhptest::kInitKey, L"DEV_SLAVE_ADDR", REG_BINARY, {0x3A});
        m.kernel.Reg().SetValue(zhptest::kInitKey, L"DEV_CHIP_ID", REG_BINARY, {0x0F, 0x3A});
        hw::Disk& next = m.storage.AddDisk(DiskOn("sata1", "storahci"));
        EXPECT_EQ(m.storage.StartDisk(next, {m.zhp}), STATUS_SUCCESS);
        EXPECT_TRUE(Filtered(m, 1));
        EXPECT_NE(m.Control(), nullptr);
        m.Run(200 * kMillisecond);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

// A device of another driver already holds the control device's name.
NTSTATUS SquatOnTheControlDeviceName(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ZHP_CONTROL_DEVICE_KERNEL_NAME);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

TEST(AddDevice, WithoutAControlDeviceTheDiskIsStillFiltered) {
    zhptest::MachineOptions options;
    options.start = false;
    zhptest::Machine m(options);
    PDRIVER_OBJECT squatter = m.kernel.LoadDriver(L"squatter", SquatOnTheControlDeviceName);
    ASSERT_NE(squatter, nullptr);

    m.startResults = m.storage.StartAll({m.zhp});
    ASSERT_EQ(m.startResults, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_TRUE(Filtered(m, 0));
    EXPECT_EQ(DriverDeviceCount(m), 1u);
    EXPECT_EQ(m.Control()->DriverObject, squatter);
    EXPECT_EQ(m.FilterExt()->Flag, static_cast<ULONG>(ZHP_FLAG_INITIALIZED));
    EXPECT_EQ(m.Filter()->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(coretest::Count(coretest::Lines(m), "ERROR!!! ZHP_AddGSensor(): Fail to create sensor device.\n\n"),
              1u);

    // Requests pass through the filter as usual.
    hk::RequestPtr read = coretest::Read(m, 0x8000);
    m.Run(50 * kMillisecond);
    ASSERT_TRUE(read->completed);
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(coretest::MediaOffsets(m).back(), 0x8000u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

TEST(Unload, TheUnloadRoutineDeletesNothing) {
    zhptest::Machine m;
    PDEVICE_OBJECT filter = m.Filter();
    PDEVICE_OBJECT control = m.Control();
    // Windows unloads the driver once its devices are gone, which has ended
    // the sensor thread and with it the thread's timer resolution request
    // (holding one at unload is a verifier stop). End the thread the same way.
    m.Do([&] { m.Routine<decltype(ZHP_StopSensorThread)>("ZHP_StopSensorThread")(m.FilterExt()); });
    const std::size_t from = m.kernel.DebugOutput().size();
    m.kernel.UnloadDriver(m.zhp);
    ASSERT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    EXPECT_TRUE(coretest::Lines(m, from).empty());
    EXPECT_EQ(m.Filter(), filter);
    EXPECT_EQ(m.Control(), control);
    EXPECT_EQ(m.DiskTop(), filter);
    EXPECT_EQ(DriverDeviceCount(m), 2u);
    EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
}

}  // namespace

namespace {

struct FailureCase {
    hk::KernelFault fault;
    NTSTATUS status;
    const char* message;
};

TEST(AddDevice, EveryFailureAfterTheDeviceExistsLeavesNothingRunning) {
    const FailureCase cases[] = {
        {hk::KernelFault::CreateDevice, STATUS_INSUFFICIENT_RESOURCES,
         "ERROR!!! ZHP_AddDevice(): Fail to create a devcie object\n"},
        {hk::KernelFault::CreateSystemThread, STATUS_INSUFFICIENT_RESOURCES,
         "ERROR!!! ZHP_AddDevice(): Fail to create sensor thread to handle state transaction.\n\n"},
        {hk::KernelFault::ReferenceObjectByHandle, STATUS_INSUFFICIENT_RESOURCES,
         "ERROR!!! ZHP_AddDevice(): sensor thread can not be referenced. \n\n"},
        {hk::KernelFault::AttachDevice, STATUS_NO_SUCH_DEVICE,
         "ERROR!!! ZHP_AddDevice(): Fail to attach 0x"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.message);
        zhptest::MachineOptions options;
        options.start = false;
        zhptest::Machine m(options);
        // The disk class driver's own add-device comes first and must succeed.
        m.kernel.FailNextCall(c.fault, c.fault == hk::KernelFault::CreateDevice ||
                                               c.fault == hk::KernelFault::AttachDevice
                                           ? 1
                                           : 0);
        m.startResults = m.storage.StartAll({m.zhp});
        ASSERT_EQ(m.startResults, std::vector<NTSTATUS>{c.status});
        EXPECT_EQ(m.Filter(), nullptr);
        EXPECT_EQ(m.zhp->DeviceObject, nullptr);
        EXPECT_EQ(m.Control(), nullptr);
        bool traced = false;
        for (const std::string& line : coretest::Lines(m)) traced = traced || line.rfind(c.message, 0) == 0;
        EXPECT_TRUE(traced);
        // A sensor thread left running would touch the deleted device on its
        // next tick; the verifier and the sanitizers would see it.
        m.Run(300 * kMillisecond);
        EXPECT_FALSE(m.kernel.Stopped()) << m.kernel.Stop().ToString();
    }
}

}  // namespace
