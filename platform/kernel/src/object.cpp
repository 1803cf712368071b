// The object manager: object headers, references, handles and the namespace.
#include <cwctype>

#include "kernel_internal.h"

using hk::K;
using hk::ObjectHeader;
using Impl = hk::Kernel::Impl;

namespace hk {

static void DeleteThread(void* body) {
    Impl& k = K();
    if (!k.dying) {
        std::lock_guard<std::mutex> lk(k.mu);
        auto& threads = k.threads;
        for (auto it = threads.begin(); it != threads.end(); ++it) {
            if (*it == body) {
                threads.erase(it);
                break;
            }
        }
    }
    static_cast<_ETHREAD*>(body)->~_ETHREAD();
}

ObjectType gThreadType{L"Thread", DeleteThread};
ObjectType gEventType{L"Event", nullptr};
ObjectType gDeviceType{L"Device", nullptr};
ObjectType gDriverType{L"Driver", nullptr};
ObjectType gFileType{L"File", nullptr};
ObjectType gKeyType{L"Key", nullptr};

ObjectHeader* HeaderOf(const void* body) {
    auto* h = const_cast<ObjectHeader*>(static_cast<const ObjectHeader*>(body) - 1);
    return h->magic == kObjectMagic ? h : nullptr;
}

std::wstring NormalizeObjectName(const std::wstring& name) {
    std::wstring n = name;
    // \DosDevices, \?? and \GLOBAL?? are one directory, as on Windows.
    static const wchar_t* aliases[] = {L"\\DosDevices\\", L"\\??\\", L"\\GLOBAL??\\"};
    for (const wchar_t* a : aliases) {
        std::wstring prefix(a);
        if (n.size() >= prefix.size()) {
            bool match = true;
            for (std::size_t i = 0; i < prefix.size(); ++i) {
                if (std::towupper(n[i]) != std::towupper(prefix[i])) match = false;
            }
            if (match) {
                n = L"\\GLOBAL??\\" + n.substr(prefix.size());
                break;
            }
        }
    }
    for (auto& c : n) c = static_cast<wchar_t>(std::towupper(c));
    return n;
}

void* ObCreateObject(ObjectType* type, std::size_t bodySize, const std::wstring& name, NTSTATUS* status) {
    Impl& k = K();
    std::lock_guard<std::mutex> lk(k.obMu);
    if (!name.empty() && k.names.count(NormalizeObjectName(name)) != 0) {
        *status = STATUS_OBJECT_NAME_COLLISION;
        return nullptr;
    }
    // 16-byte alignment for the body, as the pool gives on x64.
    std::size_t headerSize = (sizeof(ObjectHeader) + 15) & ~std::size_t(15);
    void* raw = ::operator new(headerSize + bodySize, std::align_val_t(16));
    memset(raw, 0, headerSize + bodySize);
    auto* h = reinterpret_cast<ObjectHeader*>(static_cast<char*>(raw) + headerSize - sizeof(ObjectHeader));
    new (h) ObjectHeader{kObjectMagic, type, 1, 0, name, bodySize};
    void* body = h + 1;
    k.liveObjects.insert(h);
    if (!name.empty()) k.names[NormalizeObjectName(name)] = body;
    *status = STATUS_SUCCESS;
    return body;
}

void RemoveNameLocked(Impl& k, void* body) {
    ObjectHeader* h = HeaderOf(body);
    if (h == nullptr || h->name.empty()) return;
    auto it = k.names.find(NormalizeObjectName(h->name));
    if (it != k.names.end() && it->second == body) k.names.erase(it);
}

void FreeObject(ObjectHeader* h) {
    Impl& k = K();
    void* body = h->Body();
    if (h->type->deleteProcedure != nullptr) h->type->deleteProcedure(body);
    {
        std::lock_guard<std::mutex> lk(k.obMu);
        k.liveObjects.erase(h);
        RemoveNameLocked(k, body);
    }
    h->magic = 0;
    h->~ObjectHeader();
    std::size_t headerSize = (sizeof(ObjectHeader) + 15) & ~std::size_t(15);
    ::operator delete(reinterpret_cast<char*>(body) - headerSize, std::align_val_t(16));
}

void ObRemoveName(void* body) {
    Impl& k = K();
    std::lock_guard<std::mutex> lk(k.obMu);
    RemoveNameLocked(k, body);
}

void* ObLookupName(const std::wstring& name) {
    Impl& k = K();
    std::lock_guard<std::mutex> lk(k.obMu);
    auto it = k.names.find(NormalizeObjectName(name));
    return it == k.names.end() ? nullptr : it->second;
}

void* ObLookupHandle(HANDLE handle) {
    Impl& k = K();
    std::lock_guard<std::mutex> lk(k.obMu);
    auto it = k.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == k.handles.end() ? nullptr : it->second;
}

ACCESS_MASK ObHandleAccess(HANDLE handle) {
    Impl& k = K();
    std::lock_guard<std::mutex> lk(k.obMu);
    auto it = k.handleAccess.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == k.handleAccess.end() ? 0 : it->second;
}

bool InCallerProcess() {
    Impl& k = K();
    return k.current != nullptr && k.current->callerProcessDepth > 0;
}

NTSTATUS ObInsertHandle(void* body, ACCESS_MASK access, HANDLE* handle) {
    Impl& k = K();
    std::lock_guard<std::mutex> lk(k.obMu);
    ObjectHeader* h = HeaderOf(body);
    h->handles++;
    __atomic_add_fetch(&h->references, 1, __ATOMIC_SEQ_CST);
    std::uintptr_t value = k.nextHandle;
    k.nextHandle += 4;
    k.handles[value] = body;
    k.handleAccess[value] = access;
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

}  // namespace hk

extern "C" {

POBJECT_TYPE gThreadTypePtr = reinterpret_cast<POBJECT_TYPE>(&hk::gThreadType);
POBJECT_TYPE gEventTypePtr = reinterpret_cast<POBJECT_TYPE>(&hk::gEventType);
POBJECT_TYPE gFileTypePtr = reinterpret_cast<POBJECT_TYPE>(&hk::gFileType);
POBJECT_TYPE gDeviceTypePtr = reinterpret_cast<POBJECT_TYPE>(&hk::gDeviceType);
POBJECT_TYPE gDriverTypePtr = reinterpret_cast<POBJECT_TYPE>(&hk::gDriverType);
POBJECT_TYPE* PsThreadType = &gThreadTypePtr;
POBJECT_TYPE* ExEventObjectType = &gEventTypePtr;
POBJECT_TYPE* IoFileObjectType = &gFileTypePtr;
POBJECT_TYPE* IoDeviceObjectType = &gDeviceTypePtr;
POBJECT_TYPE* IoDriverObjectType = &gDriverTypePtr;

LONG_PTR ObfReferenceObject(PVOID Object) {
    ObjectHeader* h = hk::HeaderOf(Object);
    if (h == nullptr) K().Stop("BAD_OBJECT_REFERENCE", "ObReferenceObject of something that is not an object",
                               reinterpret_cast<std::uintptr_t>(Object));
    return __atomic_add_fetch(&h->references, 1, __ATOMIC_SEQ_CST);
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    ObjectHeader* h = hk::HeaderOf(Object);
    if (h == nullptr || h->references <= 0) {
        K().Stop("BAD_OBJECT_REFERENCE", "ObDereferenceObject of an object with no reference left",
                 reinterpret_cast<std::uintptr_t>(Object));
    }
    LONG left = __atomic_sub_fetch(&h->references, 1, __ATOMIC_SEQ_CST);
    if (left == 0) FreeObject(h);
    return left;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION) {
    Impl& k = K();
    k.RequireIrql("ObReferenceObjectByHandle", APC_LEVEL);
    if (k.InjectedFault(hk::KernelFault::ReferenceObjectByHandle)) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> lk(k.obMu);
    auto it = k.handles.find(reinterpret_cast<std::uintptr_t>(Handle));
    if (it == k.handles.end()) return STATUS_INVALID_HANDLE;
    ObjectHeader* h = hk::HeaderOf(it->second);
    if (ObjectType != nullptr && reinterpret_cast<POBJECT_TYPE>(h->type) != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    __atomic_add_fetch(&h->references, 1, __ATOMIC_SEQ_CST);
    *Object = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    Impl& k = K();
    k.RequireIrql("ZwClose", PASSIVE_LEVEL);
    void* body;
    {
        std::lock_guard<std::mutex> lk(k.obMu);
        auto it = k.handles.find(reinterpret_cast<std::uintptr_t>(Handle));
        if (it == k.handles.end()) return STATUS_INVALID_HANDLE;
        body = it->second;
        k.handles.erase(it);
        k.handleAccess.erase(reinterpret_cast<std::uintptr_t>(Handle));
        ObjectHeader* h = hk::HeaderOf(body);
        h->handles--;
        // A named temporary object leaves the namespace with its last handle.
        if (h->handles == 0 && h->type != &hk::gDeviceType && h->type != &hk::gDriverType) {
            hk::RemoveNameLocked(k, body);
        }
    }
    ObfDereferenceObject(body);
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength) {
    Impl& k = K();
    k.RequireIrql("ObQueryNameString", APC_LEVEL);
    ObjectHeader* h = hk::HeaderOf(Object);
    if (h == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG nameBytes = static_cast<ULONG>(h->name.size() * sizeof(WCHAR));
    if (h->name.empty()) {
        // An unnamed object: an empty name and nothing after the header.
        const ULONG header = static_cast<ULONG>(sizeof(OBJECT_NAME_INFORMATION));
        if (ReturnLength != nullptr) *ReturnLength = header;
        if (Length < header) return STATUS_INFO_LENGTH_MISMATCH;
        ObjectNameInfo->Name.Buffer = nullptr;
        ObjectNameInfo->Name.Length = 0;
        ObjectNameInfo->Name.MaximumLength = 0;
        return STATUS_SUCCESS;
    }
    ULONG needed = static_cast<ULONG>(sizeof(OBJECT_NAME_INFORMATION)) + nameBytes + sizeof(WCHAR);
    if (ReturnLength != nullptr) *ReturnLength = needed;
    if (Length < needed) return STATUS_INFO_LENGTH_MISMATCH;
    auto* buffer = reinterpret_cast<PWCH>(ObjectNameInfo + 1);
    memcpy(buffer, h->name.data(), nameBytes);
    buffer[h->name.size()] = 0;
    ObjectNameInfo->Name.Buffer = buffer;
    ObjectNameInfo->Name.Length = static_cast<USHORT>(nameBytes);
    ObjectNameInfo->Name.MaximumLength = static_cast<USHORT>(nameBytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // extern "C"
