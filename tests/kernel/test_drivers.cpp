#include "test_drivers.h"

namespace testdrv {

namespace {

Script gScript;
KDPC gCompleteDpc;
PIRP gDpcIrp = nullptr;

NTSTATUS BottomDispatch(PDEVICE_OBJECT, PIRP irp) {
    Script& s = gScript;
    s.log.push_back("bottom");
    switch (s.bottom) {
        case Bottom::CompleteAtOnce:
            irp->IoStatus.Status = s.bottomStatus;
            irp->IoStatus.Information = s.bottomInformation;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return s.bottomStatus;
        case Bottom::PendAndHold:
            IoMarkIrpPending(irp);
            s.held.push_back(irp);
            return STATUS_PENDING;
        case Bottom::PendAndCompleteFromDpc: {
            IoMarkIrpPending(irp);
            gDpcIrp = irp;
            KeInsertQueueDpc(&gCompleteDpc, nullptr, nullptr);  // runs at once below DISPATCH_LEVEL
            return STATUS_PENDING;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

VOID CompleteFromDpc(PKDPC, PVOID, PVOID, PVOID) {
    gScript.log.push_back("dpc completes");
    gDpcIrp->IoStatus.Status = gScript.bottomStatus;
    gDpcIrp->IoStatus.Information = gScript.bottomInformation;
    IoCompleteRequest(gDpcIrp, IO_NO_INCREMENT);
}

struct FilterExtension {
    PDEVICE_OBJECT lower;
    int level;
};

NTSTATUS FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    Script& s = gScript;
    s.log.push_back("completion " + std::to_string(ext->level));
    s.sawPendingReturned.push_back(irp->PendingReturned != FALSE);
    if (ext->level < static_cast<int>(s.filterStopsCompletion.size()) && s.filterStopsCompletion[ext->level]) {
        s.stoppedAt.push_back(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    Script& s = gScript;
    s.log.push_back("filter " + std::to_string(ext->level));
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FilterCompletion, nullptr, TRUE, TRUE, TRUE);
    if (ext->level < static_cast<int>(s.filterStopsCompletion.size()) && s.filterStopsCompletion[ext->level]) {
        // This filter takes the request back in its completion routine and
        // completes it later itself: the request is pending for its caller.
        IoMarkIrpPending(irp);
        IoCallDriver(ext->lower, irp);
        return STATUS_PENDING;
    }
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS BottomEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = BottomDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = FilterDispatch;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- queue device

QueueDevice& Q(PIO_CSQ csq) { return *CONTAINING_RECORD(csq, QueueDevice, csq); }

VOID CsqInsert(PIO_CSQ csq, PIRP irp) { InsertTailList(&Q(csq).list, &irp->Tail.Overlay.ListEntry); }
VOID CsqRemove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
PIRP CsqPeek(PIO_CSQ csq, PIRP irp, PVOID) {
    PLIST_ENTRY head = &Q(csq).list;
    PLIST_ENTRY next = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink;
    return next == head ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}
VOID CsqAcquire(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&Q(csq).lock, irql); }
VOID CsqRelease(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&Q(csq).lock, irql); }
VOID CsqCompleteCanceled(PIO_CSQ csq, PIRP irp) {
    Q(csq).cancelledCompletions++;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS QueueDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoCsqInsertIrp(&QueueOf(device).csq, irp, nullptr);
    return STATUS_PENDING;
}

NTSTATUS QueueEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = QueueDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

Script& Current() { return gScript; }

Stack BuildStack(int filters) {
    gScript = Script();
    KeInitializeDpc(&gCompleteDpc, CompleteFromDpc, nullptr);
    hk::Kernel& k = hk::Kernel::Current();
    Stack stack;
    stack.bottomDriver = k.LoadDriver(L"testbottom", BottomEntry);
    stack.filterDriver = k.LoadDriver(L"testfilter", FilterEntry);
    k.Call([&] {
        IoCreateDevice(stack.bottomDriver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &stack.bottom);
        stack.bottom->Flags &= ~DO_DEVICE_INITIALIZING;
        for (int i = 0; i < filters; ++i) {
            PDEVICE_OBJECT f;
            IoCreateDevice(stack.filterDriver, sizeof(FilterExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &f);
            auto* ext = static_cast<FilterExtension*>(f->DeviceExtension);
            ext->level = i;
            ext->lower = IoAttachDeviceToDeviceStack(f, stack.bottom);
            f->Flags &= ~DO_DEVICE_INITIALIZING;
            stack.filters.push_back(f);
        }
    });
    return stack;
}

void CompleteHeld(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

PDEVICE_OBJECT CreateQueueDevice() {
    hk::Kernel& k = hk::Kernel::Current();
    PDRIVER_OBJECT driver = k.LoadDriver(L"testqueue", QueueEntry);
    PDEVICE_OBJECT device = nullptr;
    k.Call([&] {
        IoCreateDevice(driver, sizeof(QueueDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        QueueDevice& q = QueueOf(device);
        KeInitializeSpinLock(&q.lock);
        InitializeListHead(&q.list);
        IoCsqInitialize(&q.csq, CsqInsert, CsqRemove, CsqPeek, CsqAcquire, CsqRelease, CsqCompleteCanceled);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    });
    return device;
}

QueueDevice& QueueOf(PDEVICE_OBJECT device) { return *static_cast<QueueDevice*>(device->DeviceExtension); }

CancelRace RaceCancelAgainstRemoval(hk::Kernel& k, int count, NTSTATUS removerStatus,
                                    std::function<void(PDEVICE_OBJECT)> afterwards) {
    CancelRace race;
    PDEVICE_OBJECT device = CreateQueueDevice();
    race.device = device;
    k.Call([&] {
        for (int i = 0; i < count; ++i) race.requests.push_back(hk::SendRead(device, 0, 512));
    });
    k.Spawn([requests = race.requests] {
        for (auto& request : requests) hk::CancelRequest(*request);
    });
    k.Spawn([device, removerStatus, afterwards] {
        QueueDevice& q = QueueOf(device);
        while (PIRP irp = IoCsqRemoveNextIrp(&q.csq, nullptr)) CompleteHeld(irp, removerStatus);
        if (afterwards) afterwards(device);
    });
    return race;
}

}  // namespace testdrv
