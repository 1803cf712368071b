// Driver and device objects, device stacks and named events.
#include <dlfcn.h>

#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

namespace {

std::wstring FromUnicodeString(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return std::wstring();
    return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

struct DeviceLayout {
    std::size_t deviceObject;
    std::size_t devobjExtension;
    std::size_t extension;
    std::size_t total;
};

DeviceLayout LayoutFor(ULONG extensionSize) {
    auto align = [](std::size_t n) { return (n + 15) & ~std::size_t(15); };
    DeviceLayout l{};
    l.deviceObject = 0;
    l.devobjExtension = align(sizeof(DEVICE_OBJECT));
    l.extension = l.devobjExtension + align(sizeof(DEVOBJ_EXTENSION));
    l.total = l.extension + align(extensionSize);
    return l;
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    Impl& k = K();
    k.RequireIrql("IoCreateDevice", PASSIVE_LEVEL);
    *DeviceObject = nullptr;
    if (k.InjectedFault(hk::KernelFault::CreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    DeviceLayout layout = LayoutFor(DeviceExtensionSize);
    NTSTATUS status;
    void* body = hk::ObCreateObject(&hk::gDeviceType, layout.total, FromUnicodeString(DeviceName), &status);
    if (body == nullptr) return status;
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    auto* devobj = reinterpret_cast<PDEVOBJ_EXTENSION>(static_cast<char*>(body) + layout.devobjExtension);
    device->Type = 3;  // IO_TYPE_DEVICE
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->AlignmentRequirement = 0;
    device->SectorSize = 512;
    device->DeviceExtension = DeviceExtensionSize > 0 ? static_cast<char*>(body) + layout.extension : nullptr;
    device->DeviceObjectExtension = devobj;
    devobj->Type = 13;  // IO_TYPE_DEVICE_OBJECT_EXTENSION
    devobj->Size = sizeof(DEVOBJ_EXTENSION);
    devobj->DeviceObject = device;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// The device's memory goes once nothing is attached above it any more.
static void FinishDelete(PDEVICE_OBJECT DeviceObject) {
    Impl& k = K();
    hk::ObjectHeader* h = hk::HeaderOf(DeviceObject);
    k.CheckFreedRange(DeviceObject, h->bodySize, "a deleted device object");
    ObfDereferenceObject(DeviceObject);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    Impl& k = K();
    k.RequireIrql("IoDeleteDevice", PASSIVE_LEVEL);
    hk::ObjectHeader* h = hk::HeaderOf(DeviceObject);
    if (h == nullptr || h->type != &hk::gDeviceType ||
        (DeviceObject->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING)) {
        k.Stop("BAD_DEVICE_OBJECT", "IoDeleteDevice of something that is not a live device object",
               reinterpret_cast<std::uintptr_t>(DeviceObject));
    }
    if (DeviceObject->DeviceObjectExtension->AttachedTo != nullptr) {
        k.Stop("DEVICE_DELETED_WHILE_ATTACHED",
               "IoDeleteDevice of a device still attached to a lower device (IoDetachDevice first)",
               reinterpret_cast<std::uintptr_t>(DeviceObject),
               reinterpret_cast<std::uintptr_t>(DeviceObject->DeviceObjectExtension->AttachedTo));
    }
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link == DeviceObject) *link = DeviceObject->NextDevice;
    hk::ObRemoveName(DeviceObject);
    DeviceObject->DeviceObjectExtension->ExtensionFlags |= DOE_DELETE_PENDING;
    // A device removed from below while a filter is still attached above it
    // (the lower drivers remove first) stays until that filter detaches.
    if (DeviceObject->AttachedDevice == nullptr) FinishDelete(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    Impl& k = K();
    k.RequireIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    if (SourceDevice->DeviceObjectExtension->AttachedTo != nullptr) return nullptr;
    if (k.InjectedFault(hk::KernelFault::AttachDevice)) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    if (top->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING) return nullptr;
    // A top device still being initialized takes nobody above it.
    if (top->Flags & DO_DEVICE_INITIALIZING) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    Impl& k = K();
    k.RequireIrql("IoDetachDevice", PASSIVE_LEVEL);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        k.Stop("DETACH_NOT_ATTACHED", "IoDetachDevice of a device that nothing is attached to",
               reinterpret_cast<std::uintptr_t>(TargetDevice));
    }
    above->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    if (TargetDevice->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING) FinishDelete(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT bottom = DeviceObject;
    while (bottom->DeviceObjectExtension->AttachedTo != nullptr) {
        bottom = bottom->DeviceObjectExtension->AttachedTo;
    }
    ObfReferenceObject(bottom);
    return bottom;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
    if (lower != nullptr) ObfReferenceObject(lower);
    return lower;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    Impl& k = K();
    k.RequireIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
    void* target = hk::ObLookupName(FromUnicodeString(DeviceName));
    if (target == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::wstring link = hk::NormalizeObjectName(FromUnicodeString(SymbolicLinkName));
    std::lock_guard<std::mutex> lk(k.obMu);
    if (k.names.count(link) != 0) return STATUS_OBJECT_NAME_COLLISION;
    k.names[link] = target;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    Impl& k = K();
    k.RequireIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    std::lock_guard<std::mutex> lk(k.obMu);
    return k.names.erase(hk::NormalizeObjectName(FromUnicodeString(SymbolicLinkName))) != 0
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

static PKEVENT CreateNamedEvent(PUNICODE_STRING EventName, PHANDLE EventHandle, EVENT_TYPE type) {
    Impl& k = K();
    k.RequireIrql("IoCreateNotificationEvent", PASSIVE_LEVEL);
    std::wstring name = FromUnicodeString(EventName);
    void* existing = hk::ObLookupName(name);
    if (existing != nullptr) {
        hk::ObjectHeader* h = hk::HeaderOf(existing);
        if (h == nullptr || h->type != &hk::gEventType) return nullptr;
        hk::ObInsertHandle(existing, EVENT_ALL_ACCESS, EventHandle);
        return static_cast<PKEVENT>(existing);
    }
    NTSTATUS status;
    void* body = hk::ObCreateObject(&hk::gEventType, sizeof(KEVENT), name, &status);
    if (body == nullptr) return nullptr;
    auto* event = static_cast<PKEVENT>(body);
    // A new named event starts signalled, as IoCreateNotificationEvent documents.
    KeInitializeEvent(event, type, TRUE);
    hk::ObInsertHandle(event, EVENT_ALL_ACCESS, EventHandle);
    ObfDereferenceObject(event);  // the handle keeps it
    return event;
}

PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    return CreateNamedEvent(EventName, EventHandle, NotificationEvent);
}

PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    return CreateNamedEvent(EventName, EventHandle, SynchronizationEvent);
}

}  // extern "C"

namespace hk {

PDRIVER_OBJECT CreateDriverObject(const std::wstring& name) {
    NTSTATUS status;
    std::wstring fullName = L"\\Driver\\" + name;
    std::size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + (fullName.size() + 1) * sizeof(WCHAR);
    void* body = ObCreateObject(&gDriverType, size, fullName, &status);
    if (body == nullptr) return nullptr;
    auto* driver = static_cast<PDRIVER_OBJECT>(body);
    auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    auto* nameBuffer = reinterpret_cast<PWCH>(extension + 1);
    memcpy(nameBuffer, fullName.c_str(), (fullName.size() + 1) * sizeof(WCHAR));
    driver->Type = 4;  // IO_TYPE_DRIVER
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    RtlInitUnicodeString(&driver->DriverName, nameBuffer);
    for (auto& entry : driver->MajorFunction) entry = DefaultDispatch;
    K().drivers.push_back(driver);
    return driver;
}

}  // namespace hk
