// The disk stacks on the host kernel: requests from the top of a stack down
// to the disk and back, Plug and Play, power and removal, with the verifier on.
#include "hw/storage.h"

#include <hostkernel/io.h>
#include <ntddscsi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using hk::kMicrosecond;
using hk::kMillisecond;
using hk::kSecond;
using hk::RequestPtr;

constexpr NTSTATUS kMediaWriteProtected = static_cast<NTSTATUS>(0xC00000A2L);

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 13);
    return data;
}

// The 560-byte request ZHP sends to park the heads: the header, then 512
// bytes of data area.
std::vector<std::uint8_t> ParkBuffer(const std::uint8_t (&task)[8], ULONG timeoutSeconds = 2) {
    std::vector<std::uint8_t> buffer(sizeof(ATA_PASS_THROUGH_EX) + 512, 0);
    ATA_PASS_THROUGH_EX header{};
    header.Length = sizeof(ATA_PASS_THROUGH_EX);
    header.AtaFlags = ATA_FLAGS_DRDY_REQUIRED;
    header.DataTransferLength = 512;
    header.TimeOutValue = timeoutSeconds;
    header.DataBufferOffset = sizeof(ATA_PASS_THROUGH_EX);
    std::memcpy(header.CurrentTaskFile, task, 7);
    std::memcpy(buffer.data(), &header, sizeof(header));
    return buffer;
}

constexpr std::uint8_t kUnload[8] = {0x44, 0x00, 0x4C, 0x4E, 0x55, 0x00, 0xE1, 0x00};
constexpr std::uint8_t kStandby[8] = {0x00, 0x44, 0x00, 0x4C, 0x4E, 0x55, 0xE0, 0x00};

ATA_PASS_THROUGH_EX ReplyHeader(const hk::HostRequest& r) {
    ATA_PASS_THROUGH_EX header{};
    std::memcpy(&header, r.buffer.data(), sizeof(header));
    return header;
}

std::wstring DriverNameOfBottom(PDEVICE_OBJECT top) {
    PDEVICE_OBJECT bottom = IoGetDeviceAttachmentBaseRef(top);
    std::vector<std::uint8_t> info(512);
    auto* name = reinterpret_cast<POBJECT_NAME_INFORMATION>(info.data());
    ULONG length = 0;
    std::wstring result;
    if (NT_SUCCESS(ObQueryNameString(bottom->DriverObject, name, 512, &length))) {
        result.assign(name->Name.Buffer, name->Name.Length / sizeof(WCHAR));
    }
    ObDereferenceObject(bottom);
    return result;
}

// An upper filter that removes the way ZHP does: the lower drivers first,
// then it detaches and deletes its own device.
struct FilterExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS FilterPass(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(static_cast<FilterExtension*>(device->DeviceExtension)->lower, irp);
}

// Device set-power requests that passed the test filter, in order.
std::vector<DEVICE_POWER_STATE> gFilterSawPower;

NTSTATUS FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
        gFilterSawPower.push_back(sp->Parameters.Power.State.DeviceState);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<FilterExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return FilterPass(device, irp);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoDetachDevice(ext->lower);
    IoDeleteDevice(device);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = FilterPass;
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

class StorageStack : public ::testing::Test {
protected:
    hw::Disk& Boot(hw::DiskConfig config = {}) {
        hw::Disk& disk = storage.AddDisk(config);
        EXPECT_EQ(storage.StartDisk(disk, {}), STATUS_SUCCESS);
        return disk;
    }
    // A disk with the test filter on top of its stack.
    hw::Disk& BootFiltered() {
        filter = k.LoadDriver(L"testfilter", FilterEntry);
        EXPECT_NE(filter, nullptr);
        hw::Disk& disk = storage.AddDisk(hw::DiskConfig{});
        EXPECT_EQ(storage.StartDisk(disk, {filter}), STATUS_SUCCESS);
        return disk;
    }

    // Sends a request from a caller's thread and waits for it.
    template <typename Send>
    RequestPtr Roundtrip(Send send) {
        RequestPtr r;
        EXPECT_TRUE(k.Call([&] {
            r = send();
            hk::WaitRequest(*r);
        }));
        return r;
    }

    void TearDown() override { EXPECT_FALSE(k.Stopped()) << k.Stop().ToString(); }

    hk::Kernel k;
    hw::StorageSubsystem storage{k};
    PDRIVER_OBJECT filter = nullptr;
};

TEST_F(StorageStack, WritesAndReadsCompleteAfterTheirLatencyWithTheDataKept) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    const auto data = Pattern(1024, 5);
    RequestPtr write = Roundtrip([&] { return hk::SendWrite(top, 8 * 512, data); });
    EXPECT_EQ(write->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(write->status, STATUS_SUCCESS);
    EXPECT_EQ(write->information, 1024u);
    EXPECT_GE(write->completedAt - write->sentAt, 100 * kMicrosecond);
    EXPECT_LE(write->completedAt - write->sentAt, 2 * kMillisecond);
    EXPECT_EQ(write->completions, 1u);

    RequestPtr read = Roundtrip([&] { return hk::SendRead(top, 8 * 512, 1024); });
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(read->buffer, data);
    ASSERT_EQ(disk.MediaAccesses().size(), 2u);
    EXPECT_TRUE(disk.MediaAccesses()[0].write);
    EXPECT_EQ(disk.MediaAccesses()[0].received, write->sentAt);
    EXPECT_EQ(disk.MediaAccesses()[1].end, read->completedAt);
}

TEST_F(StorageStack, RequestsAreServedOneAtATimeInArrivalOrder) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    std::vector<RequestPtr> requests;
    ASSERT_TRUE(k.Call([&] {
        for (int i = 0; i < 8; ++i) requests.push_back(hk::SendWrite(top, i * 512ull, Pattern(512, i)));
        requests.push_back(hk::SendFlush(top));
        for (auto& r : requests) hk::WaitRequest(*r);
    }));
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i]->status, STATUS_SUCCESS);
        EXPECT_GT(requests[i]->completionOrder, requests[i - 1]->completionOrder);
    }
    const auto& accesses = disk.MediaAccesses();
    ASSERT_EQ(accesses.size(), 8u);
    for (std::size_t i = 1; i < accesses.size(); ++i) EXPECT_GE(accesses[i].start, accesses[i - 1].end);
}

TEST_F(StorageStack, RequestsOutsideTheDiskOrOffSectorBoundariesAreRefused) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    EXPECT_EQ(Roundtrip([&] { return hk::SendRead(top, 100, 512); })->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Roundtrip([&] { return hk::SendRead(top, 0, 700); })->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Roundtrip([&] { return hk::SendRead(top, disk.CapacityBytes(), 512); })->status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Roundtrip([&] { return hk::SendDeviceControl(top, 0x70000, {}, 0); })->status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Roundtrip([&] { return hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, {1, 2, 3}, 3); })->status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(disk.MediaAccesses().empty());
}

TEST_F(StorageStack, TheParkCommandUnloadsTheHeadsAndTheNextAccessLoadsThem) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    // Built the way ZHP builds it: IoBuildDeviceIoControlRequest, one buffer in and out.
    std::vector<std::uint8_t> buffer = ParkBuffer(kUnload);
    NTSTATUS status = STATUS_PENDING;
    hk::Time100ns sent = 0, done = 0;
    ASSERT_TRUE(k.Call([&] {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ATA_PASS_THROUGH, top, buffer.data(), 560, buffer.data(),
                                                 560, FALSE, &event, &iosb);
        sent = k.Now();
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
        done = k.Now();
    }));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_GE(done - sent, 200 * kMillisecond);
    EXPECT_LE(done - sent, 300 * kMillisecond);
    ATA_PASS_THROUGH_EX reply{};
    std::memcpy(&reply, buffer.data(), sizeof(reply));
    EXPECT_EQ(reply.CurrentTaskFile[6], 0x50);
    EXPECT_EQ(reply.CurrentTaskFile[2], 0xC4);
    EXPECT_FALSE(disk.HeadsLoaded());
    ASSERT_EQ(disk.AtaCommands().size(), 1u);
    EXPECT_EQ(disk.AtaCommands()[0].received, sent);

    RequestPtr read = Roundtrip([&] { return hk::SendRead(top, 0, 512); });
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_GE(read->completedAt - read->sentAt, 20 * kMillisecond);
    EXPECT_TRUE(disk.HeadsLoaded());
    EXPECT_EQ(disk.HeadEvents().back().kind, hw::HeadEventKind::Loaded);
}

TEST_F(StorageStack, StandbyParksMoreSlowlyAndTheNextAccessSpinsUp) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    RequestPtr standby =
        Roundtrip([&] { return hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, ParkBuffer(kStandby), 560); });
    EXPECT_EQ(standby->status, STATUS_SUCCESS);
    EXPECT_GE(standby->completedAt - standby->sentAt, 900 * kMillisecond);
    EXPECT_EQ(ReplyHeader(*standby).CurrentTaskFile[6], 0x50);
    EXPECT_FALSE(disk.Spinning());
    RequestPtr read = Roundtrip([&] { return hk::SendRead(top, 0, 512); });
    EXPECT_GE(read->completedAt - read->sentAt, 1500 * kMillisecond);
    EXPECT_TRUE(disk.Spinning());
}

TEST_F(StorageStack, AnUnknownCommandIsAbortedInTheTaskFile) {
    hw::Disk& disk = Boot();
    const std::uint8_t identify[8] = {0, 0, 0, 0, 0, 0, 0xEC, 0};
    RequestPtr r = Roundtrip(
        [&] { return hk::SendDeviceControl(storage.Top(disk), IOCTL_ATA_PASS_THROUGH, ParkBuffer(identify), 560); });
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->information, sizeof(ATA_PASS_THROUGH_EX));
    EXPECT_EQ(ReplyHeader(*r).CurrentTaskFile[6], 0x51);
    EXPECT_EQ(ReplyHeader(*r).CurrentTaskFile[0], 0x04);
    EXPECT_TRUE(disk.HeadsLoaded());
}

TEST_F(StorageStack, DisksComeUpInOrderWithTheirCharacteristicsAndBusDrivers) {
    struct Want {
        const char* name;
        const char* bus;
        bool removable, read_only, floppy;
    };
    const Want wants[] = {{"sata0", "storahci", false, false, false}, {"usb0", "USBSTOR", true, false, false},
                          {"card", "sdbus", true, false, false},      {"cdrom", "storahci", false, true, false},
                          {"fdd", "fdc", false, false, true}};
    for (const Want& w : wants) {
        hw::DiskConfig config;
        config.name = w.name;
        config.bus_driver = w.bus;
        config.removable = w.removable;
        config.read_only = w.read_only;
        config.floppy = w.floppy;
        storage.AddDisk(config);
    }
    for (NTSTATUS s : storage.StartAll({})) EXPECT_EQ(s, STATUS_SUCCESS);
    std::vector<hw::Disk*> disks = storage.Disks();
    ASSERT_EQ(disks.size(), 5u);
    for (std::size_t i = 0; i < disks.size(); ++i) {
        const Want& w = wants[i];
        EXPECT_EQ(disks[i]->Name(), w.name);
        PDEVICE_OBJECT pdo = storage.Pdo(*disks[i]);
        EXPECT_EQ((pdo->Characteristics & FILE_REMOVABLE_MEDIA) != 0, w.removable) << w.name;
        EXPECT_EQ((pdo->Characteristics & FILE_READ_ONLY_DEVICE) != 0, w.read_only) << w.name;
        EXPECT_EQ((pdo->Characteristics & FILE_FLOPPY_DISKETTE) != 0, w.floppy) << w.name;
        EXPECT_NE(pdo->Flags & DO_DIRECT_IO, 0u);
        PDEVICE_OBJECT top = storage.Top(*disks[i]);
        EXPECT_EQ(top->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
        EXPECT_NE(top->Flags & DO_DIRECT_IO, 0u);
        const std::wstring number = std::to_wstring(i);
        EXPECT_EQ(hk::FindDevice(L"\\Device\\Harddisk" + number + L"\\DR" + number), top);
        EXPECT_EQ(hk::FindDevice(L"\\DosDevices\\PhysicalDrive" + number), top);
        std::wstring bottom;
        ASSERT_TRUE(k.Call([&] { bottom = DriverNameOfBottom(top); }));
        EXPECT_EQ(bottom, L"\\Driver\\" + std::wstring(w.bus, w.bus + std::strlen(w.bus)));
    }
    EXPECT_EQ(storage.BusDriver("usbstor"), storage.BusDriver("USBSTOR"));
    EXPECT_THROW(storage.AddDisk(hw::DiskConfig{}), std::invalid_argument);  // "sata0" again
    hw::DiskConfig badBus;
    badBus.name = "x";
    badBus.bus_driver = "disk";
    EXPECT_THROW(storage.AddDisk(badBus), std::invalid_argument);
}

TEST_F(StorageStack, UpperFiltersSitOnTopAndRemovalTakesTheWholeStackDown) {
    hw::Disk& disk = BootFiltered();
    PDEVICE_OBJECT top = storage.Top(disk);
    EXPECT_EQ(top->DriverObject, filter);
    EXPECT_EQ(Roundtrip([&] { return hk::SendWrite(top, 0, Pattern(512, 1)); })->status, STATUS_SUCCESS);

    // A request in the disk and others waiting when the disk goes away.
    std::vector<RequestPtr> pending;
    ASSERT_TRUE(k.Call([&] {
        pending.push_back(hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, ParkBuffer(kUnload), 560));
        pending.push_back(hk::SendRead(top, 0, 512));
        pending.push_back(hk::SendWrite(top, 512, Pattern(512, 2)));
    }));
    EXPECT_EQ(storage.RemoveDisk(disk), STATUS_SUCCESS);
    EXPECT_EQ(pending[0]->status, STATUS_SUCCESS) << "the command in the disk finishes";
    EXPECT_EQ(pending[1]->status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pending[2]->status, STATUS_NO_SUCH_DEVICE);
    for (auto& r : pending) EXPECT_EQ(r->completions, 1u);
    EXPECT_EQ(storage.Pdo(disk), nullptr);
    EXPECT_EQ(hk::FindDevice(L"\\Device\\Harddisk0\\DR0"), nullptr);
    EXPECT_EQ(hk::FindDevice(L"\\DosDevices\\PhysicalDrive0"), nullptr);
    EXPECT_EQ(filter->DeviceObject, nullptr);
    EXPECT_EQ(storage.ClassDriver()->DeviceObject, nullptr);
    EXPECT_EQ(storage.BusDriver("storahci")->DeviceObject, nullptr);
    EXPECT_EQ(storage.RemoveDisk(disk), STATUS_NO_SUCH_DEVICE);
}

TEST_F(StorageStack, AWaitingRequestCanBeCancelledTheOneInTheDiskCannot) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    RequestPtr park, read;
    bool cancelledPark = true, cancelledRead = false;
    ASSERT_TRUE(k.Call([&] {
        park = hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, ParkBuffer(kUnload), 560);
        read = hk::SendRead(top, 0, 512);
        cancelledPark = hk::CancelRequest(*park);
        cancelledRead = hk::CancelRequest(*read);
        hk::WaitRequest(*park);
        hk::WaitRequest(*read);
    }));
    EXPECT_FALSE(cancelledPark);
    EXPECT_TRUE(cancelledRead);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->completions, 1u);
    EXPECT_EQ(park->status, STATUS_SUCCESS);
    EXPECT_TRUE(disk.MediaAccesses().empty());
}

TEST_F(StorageStack, DevicePowerD3SpinsDownAndAccessSpinsUpAgain) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT pdo = storage.Pdo(disk);
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(k.Call([&] { status = hk::PoSetDevicePower(pdo, PowerDeviceD3); }));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(disk.Power(), hw::DevicePower::D3);
    EXPECT_FALSE(disk.Spinning());
    ASSERT_TRUE(k.Call([&] { status = hk::PoQueryDevicePower(pdo, PowerDeviceD0); }));
    EXPECT_EQ(status, STATUS_SUCCESS);
    RequestPtr read = Roundtrip([&] { return hk::SendRead(storage.Top(disk), 0, 512); });
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_GE(read->completedAt - read->sentAt, 1500 * kMillisecond);
    ASSERT_TRUE(k.Call([&] { status = hk::PoSetDevicePower(pdo, PowerDeviceD0); }));
    EXPECT_EQ(disk.Power(), hw::DevicePower::D0);
}

TEST_F(StorageStack, AReadOrWriteReachingADiskInD3PowersItUpThroughTheWholeStackFirst) {
    hw::Disk& disk = BootFiltered();
    PDEVICE_OBJECT top = storage.Top(disk);
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(k.Call([&] { status = hk::PoSetDevicePower(storage.Pdo(disk), PowerDeviceD3); }));
    ASSERT_EQ(status, STATUS_SUCCESS);
    gFilterSawPower.clear();

    // Three requests while the disk sleeps; the one in the middle is
    // cancelled while it waits for power.
    std::vector<RequestPtr> requests;
    bool cancelled = false;
    ASSERT_TRUE(k.Call([&] {
        requests.push_back(hk::SendWrite(top, 0, Pattern(512, 3)));
        requests.push_back(hk::SendRead(top, 4096, 512));
        requests.push_back(hk::SendWrite(top, 8192, Pattern(512, 4)));
        cancelled = hk::CancelRequest(*requests[1]);
        for (auto& r : requests) hk::WaitRequest(*r);
    }));
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(requests[1]->status, STATUS_CANCELLED);
    for (std::size_t i : {0u, 2u}) {
        EXPECT_EQ(requests[i]->status, STATUS_SUCCESS);
        EXPECT_EQ(requests[i]->completions, 1u);
    }
    // One D0 request, and it passed the filter above the class driver.
    EXPECT_EQ(gFilterSawPower, std::vector<DEVICE_POWER_STATE>{PowerDeviceD0});
    EXPECT_EQ(disk.Power(), hw::DevicePower::D0);
    ASSERT_EQ(disk.MediaAccesses().size(), 2u);
    EXPECT_EQ(disk.MediaAccesses()[0].offset, 0u);
    EXPECT_EQ(disk.MediaAccesses()[1].offset, 8192u);
    EXPECT_LT(requests[0]->completionOrder, requests[2]->completionOrder);

    // Back in D0 nothing more is asked for.
    EXPECT_EQ(Roundtrip([&] { return hk::SendRead(top, 0, 512); })->status, STATUS_SUCCESS);
    EXPECT_EQ(gFilterSawPower.size(), 1u);
}

TEST_F(StorageStack, RequestsWaitingForPowerFailWhenTheDiskGoesAway) {
    hw::Disk& disk = Boot();
    PDEVICE_OBJECT top = storage.Top(disk);
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(k.Call([&] { status = hk::PoSetDevicePower(storage.Pdo(disk), PowerDeviceD3); }));
    ASSERT_EQ(status, STATUS_SUCCESS);
    // The D0 request waits in the disk behind a slow park.
    disk.Faults().slow_park = 2 * kSecond;
    RequestPtr park, read;
    ASSERT_TRUE(k.Call([&] {
        park = hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, ParkBuffer(kUnload, 5), 560);
        read = hk::SendRead(top, 0, 512);
    }));
    EXPECT_EQ(storage.RemoveDisk(disk), STATUS_SUCCESS);
    ASSERT_TRUE(read->completed);
    EXPECT_NE(read->status, STATUS_SUCCESS);
    EXPECT_EQ(read->completions, 1u);
    EXPECT_TRUE(disk.MediaAccesses().empty());
}

TEST_F(StorageStack, MediaAccessesDuringAFallAreCounted) {
    hw::Disk& disk = Boot();
    disk.SetFreeFallProbe([](hk::Time100ns t) { return t >= 50 * kMillisecond && t < 150 * kMillisecond; });
    PDEVICE_OBJECT top = storage.Top(disk);
    std::vector<RequestPtr> writes;
    ASSERT_TRUE(k.Call([&] {
        for (int i = 0; i < 20; ++i) {
            writes.push_back(hk::SendWrite(top, i * 512ull, Pattern(512, i)));
            hk::WaitRequest(*writes.back());
            LARGE_INTEGER pause;
            pause.QuadPart = -10 * kMillisecond;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    }));
    std::uint64_t expected = 0;
    for (const hw::MediaAccess& a : disk.MediaAccesses()) {
        const bool touches = a.contact < 150 * kMillisecond && a.end >= 50 * kMillisecond;
        EXPECT_EQ(a.while_falling, touches) << a.start;
        expected += touches;
    }
    // A write about every 16 ms: each 10 ms pause ends at the clock
    // interrupt, every 15.625 ms at the default resolution.
    EXPECT_GE(expected, 6u);
    EXPECT_EQ(disk.MediaIoWhileFalling(), expected);
}

TEST_F(StorageStack, InjectedFaultsShowAsTheDisksBehaviour) {
    hw::DiskConfig config;
    config.faults.io_error_every = 2;
    hw::Disk& disk = Boot(config);
    PDEVICE_OBJECT top = storage.Top(disk);
    EXPECT_EQ(Roundtrip([&] { return hk::SendWrite(top, 0, Pattern(512, 1)); })->status, STATUS_SUCCESS);
    RequestPtr failed = Roundtrip([&] { return hk::SendRead(top, 0, 512); });
    EXPECT_EQ(failed->status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(failed->information, 0u);

    disk.Faults().fail_park = true;
    RequestPtr aborted =
        Roundtrip([&] { return hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, ParkBuffer(kUnload), 560); });
    EXPECT_EQ(aborted->status, STATUS_SUCCESS);
    EXPECT_EQ(ReplyHeader(*aborted).CurrentTaskFile[6], 0x51);
    EXPECT_TRUE(disk.HeadsLoaded());

    // Slower than the caller's time-out: answered at the time-out, parked later,
    // and the next request waits for the disk.
    disk.Faults().fail_park = false;
    disk.Faults().slow_park = 3 * kSecond;
    std::vector<RequestPtr> rs;
    ASSERT_TRUE(k.Call([&] {
        rs.push_back(hk::SendDeviceControl(top, IOCTL_ATA_PASS_THROUGH, ParkBuffer(kUnload, 2), 560));
        rs.push_back(hk::SendRead(top, 0, 512));
        for (auto& r : rs) hk::WaitRequest(*r);
    }));
    EXPECT_EQ(rs[0]->status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(rs[0]->completedAt - rs[0]->sentAt, 2 * kSecond);
    EXPECT_GE(rs[1]->completedAt - rs[0]->sentAt, 3 * kSecond);
    EXPECT_TRUE(disk.HeadsUnloadedAt(rs[0]->sentAt + 3 * kSecond));
}

TEST_F(StorageStack, ReadOnlyDisksRefuseWrites) {
    hw::DiskConfig config;
    config.read_only = true;
    hw::Disk& disk = Boot(config);
    EXPECT_EQ(Roundtrip([&] { return hk::SendWrite(storage.Top(disk), 0, Pattern(512, 1)); })->status,
              kMediaWriteProtected);
}

TEST_F(StorageStack, RequestsBeforeStartAreNotReady) {
    hw::Disk& disk = storage.AddDisk(hw::DiskConfig{});
    EXPECT_EQ(Roundtrip([&] { return hk::SendRead(storage.Pdo(disk), 0, 512); })->status, STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(storage.Started(disk));
    EXPECT_EQ(storage.RemoveDisk(disk), STATUS_SUCCESS);
}

}  // namespace
