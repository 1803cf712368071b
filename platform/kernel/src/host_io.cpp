// Requests of simulated callers and of the Plug and Play and power managers.
#include <cstdlib>

#include "hostkernel/io.h"
#include "irp_tracker.h"

using hk::K;
using Impl = hk::Kernel::Impl;

namespace hk {

namespace {

void OnHostRequestComplete(PIRP irp, void* context) {
    auto* holder = static_cast<RequestPtr*>(context);
    HostRequest& r = **holder;
    r.completions++;
    r.completed = true;
    r.completionOrder = ++K().completedRequests;
    r.status = irp->IoStatus.Status;
    r.information = irp->IoStatus.Information;
    r.completedAt = K().clock.Now();
    r.irp = nullptr;
    KeSetEvent(&r.done, IO_NO_INCREMENT, FALSE);
    delete holder;
}

void DropHolder(void* context) { delete static_cast<RequestPtr*>(context); }

}  // namespace

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT FindDevice(const std::wstring& name) {
    void* body = ObLookupName(name);
    if (body == nullptr) return nullptr;
    ObjectHeader* h = HeaderOf(body);
    return h != nullptr && h->type == &gDeviceType ? static_cast<PDEVICE_OBJECT>(body) : nullptr;
}

bool NamedObjectExists(const std::wstring& name) { return ObLookupName(name) != nullptr; }

// Builds the request and its record; the caller passes it to the device.
static RequestPtr PrepareRequest(PDEVICE_OBJECT device, const RequestSpec& spec) {
    Impl& k = K();
    auto request = std::make_shared<HostRequest>();
    request->id = K().nextRequestId++;
    request->major = spec.major;
    request->sentAt = k.clock.Now();
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IrpTracker* tr = TrackerOf(irp);
    tr->ioManagerOwned = true;
    tr->onComplete = OnHostRequestComplete;
    tr->onCompleteContext = new RequestPtr(request);
    tr->dropContext = DropHolder;
    request->irp = irp;

    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = spec.major;
    sp->MinorFunction = spec.minor;
    sp->FileObject = spec.fileObject;
    irp->RequestorMode = spec.requestorMode;
    irp->Flags = spec.irpFlags;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = spec.fileObject;

    switch (spec.major) {
        case IRP_MJ_READ:
        case IRP_MJ_WRITE: {
            ULONG length = spec.major == IRP_MJ_WRITE ? static_cast<ULONG>(spec.input.size()) : spec.length;
            request->buffer = spec.major == IRP_MJ_WRITE ? spec.input : std::vector<std::uint8_t>(length);
            sp->Parameters.Read.Length = length;
            sp->Parameters.Read.ByteOffset.QuadPart = static_cast<LONGLONG>(spec.offset);
            irp->Flags |= spec.major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
            if (device->Flags & DO_DIRECT_IO) {
                tr->mdl = IoAllocateMdl(request->buffer.data(), length, FALSE, FALSE, irp);
                MmBuildMdlForNonPagedPool(tr->mdl);
            } else if (device->Flags & DO_BUFFERED_IO) {
                tr->systemBuffer = AllocateSystemBuffer(length, request->buffer.data(),
                                                        spec.major == IRP_MJ_WRITE ? length : 0);
                irp->AssociatedIrp.SystemBuffer = tr->systemBuffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (spec.major == IRP_MJ_READ) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    tr->copyOut = true;
                    tr->userBuffer = request->buffer.data();
                    tr->userBufferLength = length;
                }
            } else {
                irp->UserBuffer = request->buffer.data();
            }
            break;
        }
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            auto inputLength = static_cast<ULONG>(spec.input.size());
            sp->Parameters.DeviceIoControl.IoControlCode = spec.ioControlCode;
            sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
            sp->Parameters.DeviceIoControl.OutputBufferLength = spec.outputLength;
            request->buffer.assign(spec.outputLength, 0);
            ULONG size = inputLength > spec.outputLength ? inputLength : spec.outputLength;
            if (METHOD_FROM_CTL_CODE(spec.ioControlCode) == METHOD_BUFFERED) {
                if (size > 0) {
                    tr->systemBuffer = AllocateSystemBuffer(size, spec.input.data(), inputLength);
                    irp->AssociatedIrp.SystemBuffer = tr->systemBuffer;
                    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                    if (spec.outputLength > 0) {
                        irp->Flags |= IRP_INPUT_OPERATION;
                        tr->copyOut = true;
                        tr->userBuffer = request->buffer.data();
                        tr->userBufferLength = spec.outputLength;
                    }
                }
            } else {
                request->buffer = spec.input;
                request->buffer.resize(size);
                sp->Parameters.DeviceIoControl.Type3InputBuffer = request->buffer.data();
                irp->UserBuffer = request->buffer.data();
            }
            break;
        }
        default:
            break;
    }
    // Plug and Play and power requests start out "not supported", as the
    // managers send them.
    irp->IoStatus.Status =
        spec.major == IRP_MJ_PNP || spec.major == IRP_MJ_POWER ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    return request;
}

RequestPtr SendRequest(PDEVICE_OBJECT device, const RequestSpec& spec) {
    RequestPtr request = PrepareRequest(device, spec);
    // A request from user mode is dispatched in its sender's process, as the
    // system service that builds it runs in the calling program's thread.
    _KTHREAD* sender = K().current;
    const bool fromProgram = spec.requestorMode == UserMode && sender != nullptr;
    if (fromProgram) sender->callerProcessDepth++;
    request->dispatchStatus = IoCallDriver(device, request->irp);
    if (fromProgram) sender->callerProcessDepth--;
    return request;
}

RequestPtr SendRead(PDEVICE_OBJECT device, ULONGLONG offset, ULONG length) {
    RequestSpec spec;
    spec.major = IRP_MJ_READ;
    spec.offset = offset;
    spec.length = length;
    return SendRequest(device, spec);
}

RequestPtr SendWrite(PDEVICE_OBJECT device, ULONGLONG offset, std::vector<std::uint8_t> data) {
    RequestSpec spec;
    spec.major = IRP_MJ_WRITE;
    spec.offset = offset;
    spec.input = std::move(data);
    return SendRequest(device, spec);
}

RequestPtr SendFlush(PDEVICE_OBJECT device) {
    RequestSpec spec;
    spec.major = IRP_MJ_FLUSH_BUFFERS;
    return SendRequest(device, spec);
}

RequestPtr SendShutdown(PDEVICE_OBJECT device) {
    RequestSpec spec;
    spec.major = IRP_MJ_SHUTDOWN;
    return SendRequest(device, spec);
}

RequestPtr SendDeviceControl(PDEVICE_OBJECT device, ULONG code, std::vector<std::uint8_t> input, ULONG outputLength,
                             KPROCESSOR_MODE mode) {
    RequestSpec spec;
    spec.major = IRP_MJ_DEVICE_CONTROL;
    spec.ioControlCode = code;
    spec.input = std::move(input);
    spec.outputLength = outputLength;
    spec.requestorMode = mode;
    return SendRequest(device, spec);
}

bool CancelRequest(HostRequest& request) {
    if (request.completed || request.irp == nullptr) return false;
    return IoCancelIrp(request.irp) != FALSE;
}

bool WaitRequest(HostRequest& request, Time100ns timeout) {
    if (request.completed) return true;
    LARGE_INTEGER t;
    t.QuadPart = -timeout;
    NTSTATUS status = KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, timeout < 0 ? nullptr : &t);
    return status == STATUS_SUCCESS;
}

std::uint64_t CompletedRequestCount() { return K().completedRequests; }

PFILE_OBJECT OpenDevice(PDEVICE_OBJECT device, NTSTATUS* status) {
    NTSTATUS st;
    void* body = ObCreateObject(&gFileType, sizeof(FILE_OBJECT), L"", &st);
    auto* file = static_cast<PFILE_OBJECT>(body);
    file->Type = 5;  // IO_TYPE_FILE
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->Flags = FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    RequestSpec spec;
    spec.major = IRP_MJ_CREATE;
    spec.fileObject = file;
    spec.requestorMode = UserMode;
    RequestPtr r = SendRequest(TopOfStack(device), spec);
    WaitRequest(*r);
    *status = r->status;
    if (!NT_SUCCESS(r->status)) {
        ObfDereferenceObject(file);
        return nullptr;
    }
    file->Flags |= FO_FILE_OPEN | FO_HANDLE_CREATED;
    return file;
}

NTSTATUS CloseDevice(PFILE_OBJECT file) {
    RequestSpec spec;
    spec.fileObject = file;
    spec.requestorMode = UserMode;
    spec.major = IRP_MJ_CLEANUP;
    RequestPtr cleanup = SendRequest(TopOfStack(file->DeviceObject), spec);
    WaitRequest(*cleanup);
    file->Flags |= FO_CLEANUP_COMPLETE;
    spec.major = IRP_MJ_CLOSE;
    RequestPtr close = SendRequest(TopOfStack(file->DeviceObject), spec);
    WaitRequest(*close);
    ObfDereferenceObject(file);
    return close->status;
}

// ---------------------------------------------------------------- Plug and Play and power

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    Impl& k = K();
    if (driver->DriverExtension->AddDevice == nullptr) return STATUS_SUCCESS;
    PDRIVER_OBJECT saved = k.currentDriver;
    k.currentDriver = driver;
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, physicalDevice);
    k.currentDriver = saved;
    return status;
}

static NTSTATUS SendAndWait(PDEVICE_OBJECT physicalDevice, const RequestSpec& spec,
                            void (*fill)(PIO_STACK_LOCATION, const void*), const void* fillContext) {
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    RequestPtr request = PrepareRequest(top, spec);
    PIRP irp = request->irp;
    fill(IoGetNextIrpStackLocation(irp), fillContext);
    request->dispatchStatus = spec.major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    WaitRequest(*request);
    return request->status;
}

static void NoParameters(PIO_STACK_LOCATION, const void*) {}

NTSTATUS PnpSendMinor(PDEVICE_OBJECT physicalDevice, UCHAR minor) {
    RequestSpec spec;
    spec.major = IRP_MJ_PNP;
    spec.minor = minor;
    return SendAndWait(physicalDevice, spec, NoParameters, nullptr);
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT physicalDevice) { return PnpSendMinor(physicalDevice, IRP_MN_START_DEVICE); }

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDevice) {
    NTSTATUS status = PnpSendMinor(physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        PnpSendMinor(physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return PnpSendMinor(physicalDevice, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpDeviceUsageNotification(PDEVICE_OBJECT physicalDevice, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
    struct Usage {
        DEVICE_USAGE_NOTIFICATION_TYPE type;
        bool inPath;
    } usage{type, inPath};
    RequestSpec spec;
    spec.major = IRP_MJ_PNP;
    spec.minor = IRP_MN_DEVICE_USAGE_NOTIFICATION;
    return SendAndWait(
        physicalDevice, spec,
        [](PIO_STACK_LOCATION sp, const void* c) {
            const auto* u = static_cast<const Usage*>(c);
            sp->Parameters.UsageNotification.Type = u->type;
            sp->Parameters.UsageNotification.InPath = u->inPath ? TRUE : FALSE;
        },
        &usage);
}

static NTSTATUS SendPower(PDEVICE_OBJECT physicalDevice, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    struct Power {
        POWER_STATE_TYPE type;
        POWER_STATE state;
    } power{type, state};
    RequestSpec spec;
    spec.major = IRP_MJ_POWER;
    spec.minor = minor;
    return SendAndWait(
        physicalDevice, spec,
        [](PIO_STACK_LOCATION sp, const void* c) {
            const auto* p = static_cast<const Power*>(c);
            sp->Parameters.Power.Type = p->type;
            sp->Parameters.Power.State = p->state;
            sp->Parameters.Power.ShutdownType = PowerActionNone;
        },
        &power);
}

NTSTATUS PoSetDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return SendPower(physicalDevice, IRP_MN_SET_POWER, DevicePowerState, s);
}

NTSTATUS PoSetSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return SendPower(physicalDevice, IRP_MN_SET_POWER, SystemPowerState, s);
}

NTSTATUS PoQueryDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return SendPower(physicalDevice, IRP_MN_QUERY_POWER, DevicePowerState, s);
}

}  // namespace hk

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        K().Stop("NOT_A_POWER_IRP", "PoCallDriver with a request that is not a power request",
                 reinterpret_cast<std::uintptr_t>(Irp));
    }
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        K().Stop("NOT_A_POWER_IRP", "PoStartNextPowerIrp with a request that is not a power request",
                 reinterpret_cast<std::uintptr_t>(Irp));
    }
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) { return State; }

namespace {

// What the caller of PoRequestPowerIrp is told once its request is done.
struct PowerRequest {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

void OnPowerRequestComplete(PIRP irp, void* context) {
    auto* request = static_cast<PowerRequest*>(context);
    IO_STATUS_BLOCK ioStatus = irp->IoStatus;
    if (request->completion != nullptr) {
        request->completion(request->device, request->minor, request->state, request->context, &ioStatus);
    }
    delete request;
}

void DropPowerRequest(void* context) { delete static_cast<PowerRequest*>(context); }

}  // namespace

// Set-power and query-power requests for a device power state. The request
// goes to the top of the device's stack like the power manager's own and is
// freed by the I/O manager after the caller's routine has run.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    Impl& k = K();
    k.RequireIrql("PoRequestPowerIrp", DISPATCH_LEVEL);
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        k.Stop("POWER_REQUEST_NOT_MODELLED", "PoRequestPowerIrp for IRP_MN_WAIT_WAKE: the host has no wake sources",
               reinterpret_cast<std::uintptr_t>(DeviceObject));
        return STATUS_INVALID_PARAMETER_2;
    }
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (Irp != nullptr) {
        k.Stop("POWER_REQUEST_IRP_KEPT",
               "PoRequestPowerIrp with an Irp pointer for a set-power or query-power request "
               "(the request may be freed before the call returns)",
               reinterpret_cast<std::uintptr_t>(DeviceObject));
        return STATUS_INVALID_PARAMETER_6;
    }

    PDEVICE_OBJECT top = hk::TopOfStack(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    hk::IrpTracker* tr = hk::TrackerOf(irp);
    tr->ioManagerOwned = true;
    tr->onComplete = OnPowerRequestComplete;
    tr->onCompleteContext = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    tr->dropContext = DropPowerRequest;
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = PowerState;
    sp->Parameters.Power.ShutdownType = PowerActionNone;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

}  // extern "C"
