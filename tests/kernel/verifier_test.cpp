// Every verifier rule is provoked once and must stop the machine with its name.
#include <gtest/gtest.h>

#include <functional>

#include "hostkernel/io.h"
#include "hostkernel/registry.h"
#include "test_drivers.h"

namespace {

using hk::Kernel;
using hk::kMillisecond;

// Runs misuse on an emulated thread and returns the rule that stopped the machine.
std::string StopRuleOf(const std::function<void(Kernel&)>& prepare, const std::function<void()>& misuse) {
    Kernel k;
    prepare(k);
    EXPECT_FALSE(k.Call(misuse));
    EXPECT_TRUE(k.Stopped());
    return k.Stopped() ? k.Stop().rule : std::string("(no stop)");
}

std::string StopRuleOf(const std::function<void()>& misuse) {
    return StopRuleOf([](Kernel&) {}, misuse);
}

NTSTATUS DispatchReturningAtDispatchLevel(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPendingUnmarked(PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }

VOID IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS DispatchCompletingTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchMismatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT DeviceWith(PDRIVER_DISPATCH dispatch) {
    static PDRIVER_DISPATCH chosen;
    chosen = dispatch;
    PDRIVER_OBJECT driver = Kernel::Current().LoadDriver(L"misbehaving", [](PDRIVER_OBJECT d, PUNICODE_STRING) {
        for (auto& f : d->MajorFunction) f = chosen;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = nullptr;
    Kernel::Current().Call([&] { IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device); });
    return device;
}

TEST(Verifier, CallAtTheWrongIrql) {
    EXPECT_EQ(StopRuleOf([] {
                  KIRQL old;
                  KeRaiseIrql(DISPATCH_LEVEL, &old);
                  UNICODE_STRING name;
                  RtlInitUnicodeString(&name, L"\\Device\\X");
                  PDEVICE_OBJECT d;
                  IoCreateDevice(nullptr, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
              }),
              "IRQL_TOO_HIGH");
}

TEST(Verifier, WaitWithTimeoutAtDispatchLevel) {
    EXPECT_EQ(StopRuleOf([] {
                  KEVENT e;
                  KeInitializeEvent(&e, NotificationEvent, FALSE);
                  KIRQL old;
                  KeRaiseIrql(DISPATCH_LEVEL, &old);
                  LARGE_INTEGER t;
                  t.QuadPart = -10000;
                  KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
              }),
              "WAIT_AT_DISPATCH_LEVEL");
}

TEST(Verifier, RequestCompletedTwice) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(StopRuleOf([&](Kernel&) { device = DeviceWith(DispatchPendingUnmarked); },
                         [&] {
                             PIRP irp = IoAllocateIrp(1, FALSE);
                             IoSetNextIrpStackLocation(irp);
                             irp->IoStatus.Status = STATUS_SUCCESS;
                             IoCompleteRequest(irp, IO_NO_INCREMENT);  // the I/O manager would now free it
                         }),
              "DRIVER_IRP_COMPLETED_TO_IO_MANAGER");
    EXPECT_EQ(StopRuleOf([&](Kernel&) { device = DeviceWith(DispatchCompletingTwice); },
                         [&] { hk::SendRead(device, 0, 512); }),
              "IRP_COMPLETED_TWICE");
}

TEST(Verifier, RequestCompletedWithCancelRoutineOrPendingStatus) {
    auto completeWith = [](bool cancelRoutine, NTSTATUS status) {
        return [=] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            if (cancelRoutine) IoSetCancelRoutine(irp, IgnoreCancel);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        };
    };
    EXPECT_EQ(StopRuleOf(completeWith(true, STATUS_SUCCESS)), "IRP_COMPLETED_WITH_CANCEL_ROUTINE");
    EXPECT_EQ(StopRuleOf(completeWith(false, STATUS_PENDING)), "IRP_COMPLETED_WITH_STATUS_PENDING");
}

TEST(Verifier, DispatchRoutineMisbehaviour) {
    PDEVICE_OBJECT device = nullptr;
    auto sendTo = [&] { hk::SendRead(device, 0, 512); };
    EXPECT_EQ(StopRuleOf([&](Kernel&) { device = DeviceWith(DispatchReturningAtDispatchLevel); }, sendTo),
              "DISPATCH_CHANGED_IRQL");
    EXPECT_EQ(StopRuleOf([&](Kernel&) { device = DeviceWith(DispatchMismatch); }, sendTo), "STATUS_MISMATCH");
    EXPECT_EQ(StopRuleOf([&](Kernel&) { device = DeviceWith(DispatchPendingUnmarked); },
                         [&] {
                             hk::RequestPtr r = hk::SendRead(device, 0, 512);
                             // Completing it later finds the location never marked.
                             r->irp->IoStatus.Status = STATUS_SUCCESS;
                             IoCompleteRequest(r->irp, IO_NO_INCREMENT);
                         }),
              "PENDING_NOT_MARKED");
}

TEST(Verifier, SpinLockMisuse) {
    EXPECT_EQ(StopRuleOf([] {
                  KSPIN_LOCK a, b;
                  KeInitializeSpinLock(&a);
                  KeInitializeSpinLock(&b);
                  KIRQL oa, ob;
                  KeAcquireSpinLock(&a, &oa);
                  KeAcquireSpinLockAtDpcLevel(&b);
                  KeReleaseSpinLock(&a, oa);
              }),
              "SPIN_LOCK_RELEASED_OUT_OF_ORDER");
    EXPECT_EQ(StopRuleOf([] {
                  KSPIN_LOCK a;
                  KeInitializeSpinLock(&a);
                  KIRQL oa;
                  KeAcquireSpinLock(&a, &oa);
                  KeLowerIrql(PASSIVE_LEVEL);
              }),
              "SPIN_LOCK_HELD_BELOW_DISPATCH");
    EXPECT_EQ(StopRuleOf([] {
                  KSPIN_LOCK a = 1;
                  KeReleaseSpinLock(&a, PASSIVE_LEVEL);
              }),
              "SPIN_LOCK_RELEASED_AT_WRONG_IRQL");
}

TEST(Verifier, TimerOrDpcLeftQueuedInFreedMemory) {
    EXPECT_EQ(StopRuleOf([] {
                  auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), 'tseT'));
                  KeInitializeTimer(timer);
                  LARGE_INTEGER due;
                  due.QuadPart = -10000000;
                  KeSetTimer(timer, due, nullptr);
                  ExFreePoolWithTag(timer, 'tseT');
              }),
              "TIMER_IN_FREED_MEMORY");
    EXPECT_EQ(StopRuleOf([] {
                  auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), 'tseT'));
                  KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
                  KIRQL old;
                  KeRaiseIrql(DISPATCH_LEVEL, &old);
                  KeInsertQueueDpc(dpc, nullptr, nullptr);
                  ExFreePoolWithTag(dpc, 'tseT');
              }),
              "DPC_IN_FREED_MEMORY");
}

TEST(Verifier, DeviceDeletedWhileAttached) {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(StopRuleOf([&](Kernel& k) {
                  driver = k.LoadDriver(L"stacked", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
              },
                         [&] {
                             PDEVICE_OBJECT lower, upper;
                             IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &lower);
                             IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &upper);
                             lower->Flags &= ~DO_DEVICE_INITIALIZING;
                             IoAttachDeviceToDeviceStack(upper, lower);
                             IoDeleteDevice(upper);  // without IoDetachDevice
                         }),
              "DEVICE_DELETED_WHILE_ATTACHED");
}

TEST(Verifier, PoolLeakedAtUnload) {
    Kernel k;
    static PVOID leaked;
    PDRIVER_OBJECT driver = k.LoadDriver(L"leaky", [](PDRIVER_OBJECT, PUNICODE_STRING) {
        leaked = ExAllocatePoolWithTag(NonPagedPool, 100, 'kaeL');
        return STATUS_SUCCESS;
    });
    ASSERT_NE(driver, nullptr);
    k.UnloadDriver(driver);
    ASSERT_TRUE(k.Stopped());
    EXPECT_EQ(k.Stop().rule, "POOL_LEAKED_AT_UNLOAD");
    EXPECT_EQ(k.Stop().parameters[3], std::uintptr_t('kaeL'));
}

// A dispatch routine that opens the service key with the attributes chosen
// by the test, the way a driver reads its configuration while it handles a
// caller's request.
ULONG gKeyOpenAttributes = 0;
NTSTATUS gKeyOpenStatus = STATUS_PENDING;

NTSTATUS DispatchOpeningKey(PDEVICE_OBJECT, PIRP irp) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, gKeyOpenAttributes, nullptr, nullptr);
    HANDLE key = nullptr;
    gKeyOpenStatus = ZwOpenKey(&key, KEY_QUERY_VALUE, &oa);
    if (NT_SUCCESS(gKeyOpenStatus)) ZwClose(key);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(Verifier, KeyOpenedForAProgramWithoutKernelHandle) {
    struct Case {
        const char* what;
        ULONG attributes;
        KPROCESSOR_MODE sender;
        bool stops;
    };
    const Case cases[] = {
        {"user-mode request, no OBJ_KERNEL_HANDLE", OBJ_CASE_INSENSITIVE, UserMode, true},
        {"user-mode request, kernel handle", OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, UserMode, false},
        {"kernel-mode request, no OBJ_KERNEL_HANDLE", OBJ_CASE_INSENSITIVE, KernelMode, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel k;
        k.Reg().CreateKey(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT");
        PDEVICE_OBJECT device = DeviceWith(DispatchOpeningKey);
        gKeyOpenAttributes = c.attributes;
        gKeyOpenStatus = STATUS_PENDING;
        const bool ran = k.Call([&] {
            hk::SendDeviceControl(device, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                  {0, 0, 0, 0}, 4, c.sender);
        });
        EXPECT_EQ(ran, !c.stops);
        EXPECT_EQ(k.Stopped() ? k.Stop().rule : std::string(), c.stops ? "USER_HANDLE_FROM_KERNEL" : "");
        if (!c.stops) {
            EXPECT_EQ(gKeyOpenStatus, STATUS_SUCCESS);
        }
    }
}

TEST(Verifier, RegisterAccessBeyondItsMapping) {
    struct Case {
        const char* what;
        std::uint64_t address;
        SIZE_T mapped;
        int readAt;  // byte offset from the mapped address
        bool stops;
    };
    const Case cases[] = {
        {"32 bits from a one-byte mapping at a page's last byte", 0xFED0FFFF, 1, 0, true},
        {"32 bits from a one-byte mapping mid-page", 0xFED0C000, 1, 0, true},
        {"32 bits from a two-byte mapping at a page's last bytes", 0xFED0FFFE, 2, 0, true},
        {"32 bits before the mapped address", 0xFED0C004, 4, -4, true},
        {"32 bits across a page boundary, all mapped", 0xFED0FFFE, 4, 0, false},
        {"32 bits at the end of a larger mapping", 0xFED0C000, 8, 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel k;
        const bool ran = k.Call([&] {
            PHYSICAL_ADDRESS pa;
            pa.QuadPart = static_cast<LONGLONG>(c.address);
            auto* base = static_cast<volatile UCHAR*>(MmMapIoSpace(pa, c.mapped, MmNonCached));
            ASSERT_NE(base, nullptr);
            READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(base + c.readAt));
            MmUnmapIoSpace(const_cast<UCHAR*>(base), c.mapped);
        });
        EXPECT_EQ(ran, !c.stops);
        EXPECT_EQ(k.Stopped() ? k.Stop().rule : std::string(), c.stops ? "IO_SPACE_ACCESS_BEYOND_MAPPING" : "");
    }
    // Unmapping with another length than was mapped is a stop of its own.
    EXPECT_EQ(StopRuleOf([] {
                  PHYSICAL_ADDRESS pa;
                  pa.QuadPart = 0xFED0FFFE;
                  PVOID base = MmMapIoSpace(pa, sizeof(ULONG), MmNonCached);
                  MmUnmapIoSpace(base, 1);
              }),
              "BAD_IO_SPACE_UNMAP");
}

TEST(Verifier, PowerRequestMisuse) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    PDEVICE_OBJECT device = nullptr;
    auto prepare = [&](Kernel&) { device = DeviceWith(DispatchMismatch); };
    // The request may be freed before the call returns.
    EXPECT_EQ(StopRuleOf(prepare,
                         [&] {
                             PIRP irp = nullptr;
                             PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, nullptr, nullptr, &irp);
                         }),
              "POWER_REQUEST_IRP_KEPT");
    EXPECT_EQ(StopRuleOf(prepare,
                         [&] {
                             PIRP irp = nullptr;
                             PoRequestPowerIrp(device, IRP_MN_WAIT_WAKE, s3, nullptr, nullptr, &irp);
                         }),
              "POWER_REQUEST_NOT_MODELLED");
}

TEST(Verifier, AssertionNamesExpressionFileAndLine) {
    Kernel k;
    EXPECT_FALSE(k.Call([] { RtlAssert((PVOID) "x == 1", (PVOID) "drv\\zhp", 42, nullptr); }));
    EXPECT_EQ(k.Stop().rule, "ASSERTION_FAILED");
    EXPECT_NE(k.Stop().description.find("x == 1"), std::string::npos);
    EXPECT_NE(k.Stop().description.find("drv\\zhp line 42"), std::string::npos);
}

}  // namespace

namespace {

// A device deleted while a sender's cancel of one of its queued requests is
// still inside the queue's cancel routine: on Windows the routine then takes
// a lock in freed memory. Over the seeds the delete lands both inside and
// outside that window; only the first stops.
TEST(Verifier, QueueDeletedUnderARunningCancel) {
    int stopped = 0;
    int clean = 0;
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        hk::KernelOptions options;
        options.seed = seed;
        options.preemptPercent = 50;
        Kernel k(options);
        const std::vector<hk::RequestPtr> r =
            testdrv::RaceCancelAgainstRemoval(k, 3, STATUS_CANCELLED, [](PDEVICE_OBJECT device) {
                IoDeleteDevice(device);
            }).requests;
        k.RunFor(10 * kMillisecond);
        if (k.Stopped()) {
            EXPECT_EQ(k.Stop().rule, "CANCEL_IN_FREED_MEMORY") << "seed " << seed;
            stopped++;
        } else {
            for (auto& request : r) EXPECT_EQ(request->completions, 1u) << "seed " << seed;
            clean++;
        }
    }
    EXPECT_GT(stopped, 0);
    EXPECT_GT(clean, 0);
}

}  // namespace
