// Requests: allocation, passing down, completion and cancellation.
#include <cstdlib>

#include "hostkernel/io.h"
#include "irp_tracker.h"

using hk::IrpTracker;
using hk::K;
using Impl = hk::Kernel::Impl;

// Stack locations of the I/O manager's larger fixed-size request list.
static constexpr int kLookasideStackLocations = 8;

namespace hk {

IrpTracker* CheckIrp(PIRP irp, const char* routine) {
    Impl& k = K();
    if (irp == nullptr) k.Stop("NULL_IRP", std::string(routine) + " with a null request");
    IrpTracker* tr = TrackerOf(irp);
    if (tr->magic == kIrpFreed) {
        k.Stop("IRP_USED_AFTER_FREE", std::string(routine) + " of a request that was already freed",
               reinterpret_cast<std::uintptr_t>(irp));
    }
    if (tr->magic != kIrpAlive) {
        k.Stop("BAD_IRP", std::string(routine) + " of something that is not a request",
               reinterpret_cast<std::uintptr_t>(irp));
    }
    return tr;
}

void FreeIrpMemory(PIRP irp) {
    Impl& k = K();
    IrpTracker* tr = TrackerOf(irp);
    tr->magic = kIrpFreed;
    k.liveIrps.erase(tr);
    // Freed requests stay readable for a while so that a late completion or
    // cancellation is reported instead of corrupting memory.
    k.irpQuarantine.push_back(tr);
    if (k.irpQuarantine.size() > 4096) {
        std::free(k.irpQuarantine.front());
        k.irpQuarantine.pop_front();
    }
}

void* AllocateSystemBuffer(std::size_t size, const void* input, std::size_t inputLength) {
    void* buffer = std::malloc(size > 0 ? size : 1);
    memset(buffer, kStaleSystemBufferByte, size > 0 ? size : 1);
    if (inputLength > 0) memcpy(buffer, input, inputLength);
    return buffer;
}

void ReleaseIrpUse(PIRP irp) {
    IrpTracker* tr = TrackerOf(irp);
    if (--tr->callDepth == 0 && tr->freePending) FreeIrpMemory(irp);
}

}  // namespace hk

// The I/O manager's part of completion: copy buffered output back, fill the
// caller's status block, signal its event, and free the request.
static void FinishRequest(PIRP irp) {
    Impl& k = K();
    IrpTracker* tr = hk::TrackerOf(irp);
    if (!tr->ioManagerOwned) {
        k.Stop("DRIVER_IRP_COMPLETED_TO_IO_MANAGER",
               "a driver-allocated request was completed past its top stack location "
               "(its completion routine must return STATUS_MORE_PROCESSING_REQUIRED)",
               reinterpret_cast<std::uintptr_t>(irp));
    }
    if (tr->copyOut && tr->systemBuffer != nullptr && tr->userBuffer != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
        ULONG_PTR n = irp->IoStatus.Information;
        if (n > tr->userBufferLength) n = tr->userBufferLength;
        memcpy(tr->userBuffer, tr->systemBuffer, n);
    }
    // A request built for a waiting caller that failed at once (not pended)
    // is reported by IoCallDriver's status alone: its status block is not
    // written and its event not signalled.
    const bool failedAtOnce = tr->callerWaits && NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned;
    if (irp->UserIosb != nullptr && !failedAtOnce) *irp->UserIosb = irp->IoStatus;
    if (tr->onComplete != nullptr) {
        auto onComplete = tr->onComplete;
        void* context = tr->onCompleteContext;
        tr->onComplete = nullptr;
        tr->onCompleteContext = nullptr;
        tr->dropContext = nullptr;
        onComplete(irp, context);
    }
    if (irp->UserEvent != nullptr && !failedAtOnce) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    IoFreeIrp(irp);
}

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    Impl& k = K();
    k.RequireIrql("IoAllocateIrp", DISPATCH_LEVEL);
    if (StackSize < 1 || StackSize > hk::kMaxIrpStack) {
        k.Stop("BAD_STACK_SIZE", "IoAllocateIrp with a stack size outside 1..32", static_cast<std::uintptr_t>(StackSize));
    }
    // Without quota, requests of up to eight stack locations come from the
    // I/O manager's fixed-size lookaside lists (a one-location list and an
    // eight-location one); others, and quota-charged ones, from pool.
    UCHAR allocationFlags = 0;
    int locations = StackSize;
    if (ChargeQuota) {
        allocationFlags = IRP_QUOTA_CHARGED;
    } else if (StackSize <= kLookasideStackLocations) {
        allocationFlags = IRP_ALLOCATED_FIXED_SIZE | IRP_LOOKASIDE_ALLOCATION;
        if (StackSize > 1) locations = kLookasideStackLocations;
    }
    std::size_t size = sizeof(IrpTracker) + sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION);
    void* block = std::aligned_alloc(16, (size + 15) & ~std::size_t(15));
    memset(block, 0, size);
    auto* tr = static_cast<IrpTracker*>(block);
    tr->magic = hk::kIrpAlive;
    tr->blockSize = size;
    k.liveIrps.insert(tr);
    auto* irp = reinterpret_cast<PIRP>(tr + 1);
    irp->Type = 6;  // IO_TYPE_IRP
    irp->Size = static_cast<USHORT>(sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION));
    irp->AllocationFlags = allocationFlags;
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    InitializeListHead(&irp->ThreadListEntry);
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    IrpTracker* tr = hk::CheckIrp(Irp, "IoFreeIrp");
    if (Irp->CancelRoutine != nullptr) {
        K().Stop("IRP_FREED_WITH_CANCEL_ROUTINE", "IoFreeIrp of a request that still has a cancel routine",
                 reinterpret_cast<std::uintptr_t>(Irp));
    }
    if (tr->systemBuffer != nullptr) {
        std::free(tr->systemBuffer);
        tr->systemBuffer = nullptr;
    }
    if (tr->mdl != nullptr) {
        IoFreeMdl(tr->mdl);
        tr->mdl = nullptr;
    }
    if (tr->callDepth > 0) {
        tr->freePending = true;  // freed when the last frame using it returns
        return;
    }
    hk::FreeIrpMemory(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    hk::CheckIrp(Irp, "IoReuseIrp");
    CCHAR stackSize = Irp->StackCount;
    BOOLEAN cancel = FALSE;
    memset(Irp, 0, sizeof(IRP));
    Irp->Type = 6;
    Irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackSize;
    Irp->Cancel = cancel;
    Irp->IoStatus.Status = Iostatus;
    InitializeListHead(&Irp->ThreadListEntry);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Impl& k = K();
    k.RequireIrql("IoCallDriver", DISPATCH_LEVEL);
    IrpTracker* tr = hk::CheckIrp(Irp, "IoCallDriver");
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        k.Stop("NO_MORE_IRP_STACK_LOCATIONS", "IoCallDriver with no stack location left for the lower device",
               reinterpret_cast<std::uintptr_t>(Irp), reinterpret_cast<std::uintptr_t>(DeviceObject));
    }
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    const int level = Irp->CurrentLocation;
    tr->levels[level] = IrpTracker::Level{false, false, 0, false};
    tr->callDepth++;
    const KIRQL irqlBefore = k.irql;
    PDRIVER_OBJECT savedDriver = k.currentDriver;
    k.currentDriver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    NTSTATUS status;
    {
        hk::FrameScope frame("IoCallDriver", DeviceObject);
        status = dispatch(DeviceObject, Irp);
    }
    k.currentDriver = savedDriver;
    if (k.irql != irqlBefore) {
        k.Stop("DISPATCH_CHANGED_IRQL",
               "a dispatch routine returned at IRQL " + std::to_string(k.irql) + " after being called at " +
                   std::to_string(irqlBefore),
               reinterpret_cast<std::uintptr_t>(dispatch), irqlBefore, k.irql);
    }
    const IrpTracker::Level& seen = tr->levels[level];
    if (status == STATUS_PENDING) {
        // The mark may still come from the driver's completion routine
        // (IoMarkIrpPending when PendingReturned); completion checks it then.
        if (seen.passed && !seen.pendingMarked) {
            k.Stop("PENDING_NOT_MARKED", "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending",
                   reinterpret_cast<std::uintptr_t>(dispatch), reinterpret_cast<std::uintptr_t>(Irp));
        }
        if (!seen.passed) tr->levels[level].returnedPending = true;
    } else if (seen.passed && seen.status != status) {
        k.Stop("STATUS_MISMATCH",
               "a dispatch routine returned another status than the one its request was completed with",
               reinterpret_cast<std::uintptr_t>(Irp), static_cast<ULONG>(status), static_cast<ULONG>(seen.status));
    } else if (!seen.passed) {
        k.Stop("RETURNED_WITHOUT_COMPLETING",
               "a dispatch routine returned a status other than STATUS_PENDING without completing its request",
               reinterpret_cast<std::uintptr_t>(Irp), static_cast<ULONG>(status));
    }
    hk::ReleaseIrpUse(Irp);
    k.SchedulingPoint();
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
    Impl& k = K();
    k.RequireIrql("IoCompleteRequest", DISPATCH_LEVEL);
    IrpTracker* tr = hk::CheckIrp(Irp, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        k.Stop("IRP_COMPLETED_TWICE", "IoCompleteRequest of a request that was already completed",
               reinterpret_cast<std::uintptr_t>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        k.Stop("IRP_COMPLETED_WITH_STATUS_PENDING", "IoCompleteRequest with the status STATUS_PENDING",
               reinterpret_cast<std::uintptr_t>(Irp));
    }
    if (Irp->CancelRoutine != nullptr) {
        k.Stop("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IoCompleteRequest of a request that still has a cancel routine",
               reinterpret_cast<std::uintptr_t>(Irp), reinterpret_cast<std::uintptr_t>(Irp->CancelRoutine));
    }
    tr->callDepth++;
    hk::FrameScope frame("IoCompleteRequest", Irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= Irp->StackCount + 1;
         sp++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        const int level = Irp->CurrentLocation - 1;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        if (tr->levels[level].returnedPending && !Irp->PendingReturned) {
            k.Stop("PENDING_NOT_MARKED",
                   "a dispatch routine returned STATUS_PENDING but its stack location was never marked pending",
                   reinterpret_cast<std::uintptr_t>(Irp), static_cast<std::uintptr_t>(level));
        }
        tr->levels[level] = IrpTracker::Level{true, Irp->PendingReturned != 0, Irp->IoStatus.Status, false};
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = sp->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                             (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        memset(&sp->Parameters, 0, sizeof(sp->Parameters));
        sp->FileObject = nullptr;
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PDRIVER_OBJECT savedDriver = k.currentDriver;
            if (device != nullptr) k.currentDriver = device->DriverObject;
            NTSTATUS result;
            {
                hk::FrameScope frame("completion routine", reinterpret_cast<const void*>(routine));
                result = routine(device, Irp, context);
            }
            k.currentDriver = savedDriver;
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                hk::ReleaseIrpUse(Irp);
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    FinishRequest(Irp);
    hk::ReleaseIrpUse(Irp);
    k.SchedulingPoint();
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&K().cancelLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&K().cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    Impl& k = K();
    k.RequireIrql("IoCancelIrp", DISPATCH_LEVEL);
    hk::CheckIrp(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    PDRIVER_OBJECT savedDriver = k.currentDriver;
    k.currentDriver = device != nullptr ? device->DriverObject : nullptr;
    {
        hk::FrameScope frame("cancel routine", reinterpret_cast<const void*>(routine));
        routine(device, Irp);
    }
    k.currentDriver = savedDriver;
    if (k.cancelLock != 0) {
        k.Stop("CANCEL_ROUTINE_KEPT_CANCEL_LOCK", "a cancel routine returned without releasing the cancel spin lock",
               reinterpret_cast<std::uintptr_t>(routine));
    }
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    Impl& k = K();
    k.RequireIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    IrpTracker* tr = hk::TrackerOf(irp);
    tr->ioManagerOwned = true;
    tr->callerWaits = true;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (size > 0) {
                tr->systemBuffer =
                    hk::AllocateSystemBuffer(size, InputBuffer, InputBuffer != nullptr ? InputBufferLength : 0);
                irp->AssociatedIrp.SystemBuffer = tr->systemBuffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    tr->copyOut = true;
                    tr->userBuffer = OutputBuffer;
                    tr->userBufferLength = OutputBufferLength;
                }
            }
            break;
        }
        case METHOD_NEITHER:
            sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            irp->AssociatedIrp.SystemBuffer = InputBuffer;
            if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
                MmBuildMdlForNonPagedPool(mdl);
                tr->mdl = mdl;
            }
            break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return irp;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN, BOOLEAN, PIRP Irp) {
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteCount = Length;
    if (Irp != nullptr) Irp->MdlAddress = mdl;
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) { std::free(Mdl); }

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

}  // extern "C"
