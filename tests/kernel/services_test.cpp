// Debug output, port and register routing, named objects and the real-time clock.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "hostkernel/io.h"
#include "hostkernel/kernel.h"

namespace {

using hk::Kernel;
using hk::kMillisecond;

TEST(DebugOutput, FormatsLikeTheWindowsKernel) {
    Kernel k;
    ASSERT_TRUE(k.Call([] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Driver\\storahci");
        DbgPrint("INFO %s %wZ %ws\n", "x", &name, L"w");
        DbgPrint("%p|0x%08x|%lx|%I64x|%d\n", reinterpret_cast<void*>(0xABCDEFULL), 0x1234u, 0xFFFFFFFFu,
                 0x123456789ULL, -5);
    }));
    ASSERT_EQ(k.DebugOutput().size(), 2u);
    EXPECT_EQ(k.DebugOutput()[0], "INFO x \\Driver\\storahci w\n");
    EXPECT_EQ(k.DebugOutput()[1], "0000000000ABCDEF|0x00001234|ffffffff|123456789|-5\n");
}

TEST(DebugOutput, VsnprintfTruncatesWithoutTerminatingLikeWindows) {
    Kernel k;
    ASSERT_TRUE(k.Call([] {
        char buffer[8];
        memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(_snprintf(buffer, 4, "%s", "abcdef"), -1);
        EXPECT_EQ(std::string(buffer, 5), "abcd#");
        EXPECT_EQ(_snprintf(buffer, 4, "%s", "abcd"), 4);  // fits exactly: no terminator
        EXPECT_EQ(_snprintf(buffer, 8, "%d", 42), 2);
        EXPECT_STREQ(buffer, "42");
    }));
}

struct FakePorts : hk::PortHandler, hk::MemoryHandler {
    std::uint32_t last = 0;
    std::uint32_t ReadPort(std::uint16_t port, unsigned width) override { return port + width; }
    void WritePort(std::uint16_t, std::uint32_t value, unsigned) override { last = value; }
    std::uint32_t ReadMemory(std::uint64_t address, unsigned) override {
        return static_cast<std::uint32_t>(address >> 8);
    }
    void WriteMemory(std::uint64_t, std::uint32_t value, unsigned) override { last = value; }
};

TEST(Hardware, PortsAndMappedRegistersReachTheirHandlers) {
    Kernel k;
    FakePorts device;
    k.MapPorts(0xF040, 32, &device);
    k.MapMemory(0xFED0C000, 0x1000, &device);
    k.FailMemoryMapping(0xFEE00000, 0x1000);
    ASSERT_TRUE(k.Call([&] {
        EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xF045)), 0x45 + 8);
        EXPECT_EQ(READ_PORT_ULONG(reinterpret_cast<PULONG>(0x1EBB)), 0xFFFFFFFFu);  // nobody there
        WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xF040), 0xFF);
        EXPECT_EQ(device.last, 0xFFu);
        PHYSICAL_ADDRESS pa;
        pa.QuadPart = 0xFED0C000;
        auto* reg = static_cast<volatile ULONG*>(MmMapIoSpace(pa, sizeof(ULONG), MmNonCached));
        ASSERT_NE(reg, nullptr);
        EXPECT_EQ(READ_REGISTER_ULONG(reg), 0xFED0C0u);
        MmUnmapIoSpace(const_cast<ULONG*>(reg), sizeof(ULONG));
        pa.QuadPart = 0xFEE00000;
        EXPECT_EQ(MmMapIoSpace(pa, 1, MmNonCached), nullptr);
    }));
}

// A mapping keeps the physical page offset, also across a page boundary,
// and the register routines reach the device at the address they name.
TEST(Hardware, MappingsKeepThePageOffset) {
    Kernel k;
    struct Recorder : hk::MemoryHandler {
        std::vector<std::uint64_t> reads;
        std::uint32_t ReadMemory(std::uint64_t address, unsigned width) override {
            if (width == 32) reads.push_back(address);
            return static_cast<std::uint32_t>(address);
        }
        void WriteMemory(std::uint64_t, std::uint32_t, unsigned) override {}
    } device;
    k.MapMemory(0xFED0F000, 0x2000, &device);
    for (std::uint64_t address : {0xFED0F000ull, 0xFED0F123ull, 0xFED0FFFCull, 0xFED0FFFEull}) {
        SCOPED_TRACE(address);
        device.reads.clear();
        ASSERT_TRUE(k.Call([&] {
            PHYSICAL_ADDRESS pa;
            pa.QuadPart = static_cast<LONGLONG>(address);
            auto* reg = static_cast<volatile ULONG*>(MmMapIoSpace(pa, sizeof(ULONG), MmNonCached));
            ASSERT_NE(reg, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(reg) & 0xFFF, address & 0xFFF);
            EXPECT_EQ(READ_REGISTER_ULONG(reg), static_cast<ULONG>(address));
            MmUnmapIoSpace(const_cast<ULONG*>(reg), sizeof(ULONG));
        }));
        EXPECT_EQ(device.reads, std::vector<std::uint64_t>{address});
    }
}

TEST(Objects, NamedEventsAreSharedAndNamesFollowTheirObjects) {
    Kernel k;
    PDRIVER_OBJECT driver = k.LoadDriver(L"storahci", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
    ASSERT_TRUE(k.Call([&] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\BaseNamedObjects\\VrFFEvent01");
        HANDLE h1, h2;
        PKEVENT e1 = IoCreateNotificationEvent(&name, &h1);
        PKEVENT e2 = IoCreateNotificationEvent(&name, &h2);
        ASSERT_NE(e1, nullptr);
        EXPECT_EQ(e1, e2);
        EXPECT_EQ(KeReadStateEvent(e1), 1);  // a new named event starts signalled
        ZwClose(h1);
        ZwClose(h2);
        UCHAR buffer[512];
        ULONG length = 0;
        auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
        ASSERT_EQ(ObQueryNameString(driver, info, sizeof buffer, &length), STATUS_SUCCESS);
        EXPECT_EQ(std::wstring(info->Name.Buffer, info->Name.Length / sizeof(WCHAR)), L"\\Driver\\storahci");
        EXPECT_EQ(ObQueryNameString(driver, info, 20, &length), STATUS_INFO_LENGTH_MISMATCH);

        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, L"\\DosDevices\\VELMORACC");
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device),
                  STATUS_SUCCESS);
        PDEVICE_OBJECT again;
        EXPECT_EQ(IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &again),
                  STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(hk::FindDevice(L"\\??\\velmoracc"), device);
        IoDeleteDevice(device);
        EXPECT_EQ(hk::FindDevice(L"\\DosDevices\\VELMORACC"), nullptr);
    }));
}

// A delay of `delayMs` on a machine with the given clock: the machine's
// time and the host's wall time it took.
struct DelayTook {
    hk::Time100ns machine = 0;
    std::chrono::steady_clock::duration wall{};
};

DelayTook Delay(hk::ClockMode clock, long delayMs) {
    hk::KernelOptions options;
    options.clock = clock;
    Kernel k(options);
    DelayTook took;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(k.Call([&] {
        const hk::Time100ns from = Kernel::Current().Now();
        LARGE_INTEGER d;
        d.QuadPart = -delayMs * kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        took.machine = Kernel::Current().Now() - from;
    }));
    took.wall = std::chrono::steady_clock::now() - start;
    return took;
}

TEST(RealTime, TimersFireInWallClockTime) {
    // In real time the delay takes its time on the host's clock too.
    const DelayTook real = Delay(hk::ClockMode::Real, 20);
    EXPECT_GE(real.machine, 20 * kMillisecond);
    EXPECT_GE(real.wall, std::chrono::milliseconds(20));
    // In virtual time the clock jumps: ten machine seconds pass at once.
    const DelayTook simulated = Delay(hk::ClockMode::Virtual, 10000);
    EXPECT_GE(simulated.machine, 10000 * kMillisecond);
    EXPECT_LT(simulated.wall, std::chrono::seconds(10));
}

}  // namespace

namespace {

TEST(Devices, DeviceRemovedBelowAFilterIsFreedWhenTheFilterDetaches) {
    hk::Kernel k;
    PDRIVER_OBJECT driver = k.LoadDriver(L"stack", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
    ASSERT_TRUE(k.Call([&] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\Lower");
        PDEVICE_OBJECT lower, upper;
        ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &lower), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &upper), STATUS_SUCCESS);
        lower->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
        // The lower driver removes first: its device leaves the namespace
        // and the driver's list at once but stays while the filter is on it.
        IoDeleteDevice(lower);
        EXPECT_EQ(hk::FindDevice(L"\\Device\\Lower"), nullptr);
        EXPECT_EQ(driver->DeviceObject, upper);
        EXPECT_EQ(upper->DeviceObjectExtension->AttachedTo, lower);
        IoDetachDevice(lower);  // frees it
        IoDeleteDevice(upper);
    }));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

}  // namespace

namespace {

TEST(Objects, UnnamedObjectHasAnEmptyNameAndABareHeader) {
    Kernel k;
    PDRIVER_OBJECT driver = k.LoadDriver(L"plain", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
    ASSERT_TRUE(k.Call([&] {
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        UCHAR buffer[64];
        memset(buffer, 0xCC, sizeof buffer);
        auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
        ULONG length = 0;
        ASSERT_EQ(ObQueryNameString(device, info, sizeof buffer, &length), STATUS_SUCCESS);
        EXPECT_EQ(length, sizeof(OBJECT_NAME_INFORMATION));
        EXPECT_EQ(info->Name.Length, 0);
        EXPECT_EQ(info->Name.MaximumLength, 0);
        EXPECT_EQ(info->Name.Buffer, nullptr);
        EXPECT_EQ(ObQueryNameString(device, info, sizeof(OBJECT_NAME_INFORMATION) - 1, &length),
                  STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(length, sizeof(OBJECT_NAME_INFORMATION));
        IoDeleteDevice(device);
    }));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

TEST(Pool, PagesForLargeBlocksAndNoSmallBlockAcrossAPage) {
    Kernel k;
    ASSERT_TRUE(k.Call([&] {
        const SIZE_T sizes[] = {1, 16, 100, 560, 2000, 2049, 4095, 4096, 4097, 3 * 4096, 20000};
        std::vector<PVOID> blocks;
        for (int round = 0; round < 8; ++round) {
            for (SIZE_T size : sizes) {
                PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, 'tseT');
                ASSERT_NE(p, nullptr);
                const auto a = reinterpret_cast<std::uintptr_t>(p);
                EXPECT_EQ(a % 16, 0u) << size;
                if (size >= 4096) {
                    EXPECT_EQ(a % 4096, 0u) << size << " bytes start on a page";
                } else {
                    EXPECT_EQ(a / 4096, (a + size - 1) / 4096) << size << " bytes lie within one page";
                }
                blocks.push_back(p);
            }
        }
        for (PVOID p : blocks) ExFreePoolWithTag(p, 'tseT');
    }));
    EXPECT_FALSE(k.Stopped()) << k.Stop().ToString();
}

}  // namespace
