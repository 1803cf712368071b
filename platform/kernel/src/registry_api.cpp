// The registry routines of the kernel API over the machine's registry store.
#include "hostkernel/registry.h"
#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

namespace {

struct KeyBody {
    std::wstring path;
};

void DeleteKeyBody(void* body) { static_cast<KeyBody*>(body)->~KeyBody(); }

const wchar_t* kServicesRoot = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t* kControlRoot = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\";

std::wstring FromUnicodeString(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return std::wstring();
    return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

// Copies what fits; empty values have no data to copy.
void CopyBounded(UCHAR* to, const void* from, ULONG length, ULONG room) {
    ULONG n = length < room ? length : room;
    if (n > 0) memcpy(to, from, n);
}

KeyBody* KeyFromHandle(HANDLE h) {
    void* body = hk::ObLookupHandle(h);
    if (body == nullptr) return nullptr;
    hk::ObjectHeader* header = hk::HeaderOf(body);
    if (header == nullptr || header->type != &hk::gKeyType) return nullptr;
    return static_cast<KeyBody*>(body);
}

// Generic rights as the key type maps them.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) granted |= KEY_READ;
    if (desired & GENERIC_ALL) granted |= KEY_ALL_ACCESS;
    return granted;
}

// A key handle, or null when the handle is not one or lacks the access the
// routine needs (Windows answers STATUS_ACCESS_DENIED for the latter).
KeyBody* KeyWithAccess(HANDLE h, ACCESS_MASK needed, NTSTATUS* status) {
    KeyBody* key = KeyFromHandle(h);
    if (key == nullptr) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if ((hk::ObHandleAccess(h) & needed) != needed) {
        *status = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    return key;
}

// A handle opened without OBJ_KERNEL_HANDLE while kernel code runs in a
// user-mode program's process goes into that program's handle table, where
// the program (and anyone who can duplicate its handles) can use it with
// every right the driver asked for.
void RequireKernelHandle(const char* routine, POBJECT_ATTRIBUTES oa) {
    if ((oa->Attributes & OBJ_KERNEL_HANDLE) != 0 || !hk::InCallerProcess()) return;
    K().Stop("USER_HANDLE_FROM_KERNEL",
             std::string(routine) + " without OBJ_KERNEL_HANDLE in a user-mode caller's process: the handle "
                                    "would land in that program's handle table",
             oa->Attributes);
}

NTSTATUS OpenKeyPath(const std::wstring& path, ACCESS_MASK desired, PHANDLE KeyHandle) {
    NTSTATUS status;
    hk::gKeyType.deleteProcedure = DeleteKeyBody;
    void* body = hk::ObCreateObject(&hk::gKeyType, sizeof(KeyBody), L"", &status);
    auto* key = new (body) KeyBody{path};
    hk::ObInsertHandle(key, MapKeyAccess(desired), KeyHandle);
    ObfDereferenceObject(key);  // the handle keeps it
    return STATUS_SUCCESS;
}

std::wstring PathFromAttributes(POBJECT_ATTRIBUTES oa) {
    std::wstring name = FromUnicodeString(oa->ObjectName);
    if (oa->RootDirectory != nullptr) {
        KeyBody* root = KeyFromHandle(oa->RootDirectory);
        if (root == nullptr) return std::wstring();
        return root->path + L"\\" + name;
    }
    return name;
}

}  // namespace

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    Impl& k = K();
    k.RequireIrql("ZwOpenKey", PASSIVE_LEVEL);
    RequireKernelHandle("ZwOpenKey", ObjectAttributes);
    std::wstring path = PathFromAttributes(ObjectAttributes);
    if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!k.registry->KeyExists(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenKeyPath(path, DesiredAccess, KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING, ULONG, PULONG Disposition) {
    Impl& k = K();
    k.RequireIrql("ZwCreateKey", PASSIVE_LEVEL);
    RequireKernelHandle("ZwCreateKey", ObjectAttributes);
    std::wstring path = PathFromAttributes(ObjectAttributes);
    if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
    bool existed = k.registry->KeyExists(path);
    if (!existed && !k.registry->CreateKey(path)) return STATUS_OBJECT_NAME_INVALID;
    if (Disposition != nullptr) *Disposition = existed ? 2 : 1;  // REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY
    return OpenKeyPath(path, DesiredAccess, KeyHandle);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS InformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    Impl& k = K();
    k.RequireIrql("ZwQueryValueKey", PASSIVE_LEVEL);
    NTSTATUS status;
    KeyBody* key = KeyWithAccess(KeyHandle, KEY_QUERY_VALUE, &status);
    if (key == nullptr) return status;
    auto value = k.registry->GetValue(key->path, FromUnicodeString(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto dataLength = static_cast<ULONG>(value->data.size());
    const auto nameBytes = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));

    ULONG fixed = 0;
    ULONG required = 0;
    switch (InformationClass) {
        case KeyValuePartialInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            required = fixed + dataLength;
            break;
        case KeyValueBasicInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            required = fixed + nameBytes;
            break;
        case KeyValueFullInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            required = fixed + nameBytes + dataLength;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = required;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;

    auto* out = static_cast<UCHAR*>(KeyValueInformation);
    ULONG room = Length - fixed;
    switch (InformationClass) {
        case KeyValuePartialInformation: {
            auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
            info->TitleIndex = 0;
            info->Type = value->type;
            info->DataLength = dataLength;
            CopyBounded(out + fixed, value->data.data(), dataLength, room);
            break;
        }
        case KeyValueBasicInformation: {
            auto* info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(KeyValueInformation);
            info->TitleIndex = 0;
            info->Type = value->type;
            info->NameLength = nameBytes;
            CopyBounded(out + fixed, value->name.data(), nameBytes, room);
            break;
        }
        default: {
            auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(KeyValueInformation);
            info->TitleIndex = 0;
            info->Type = value->type;
            info->NameLength = nameBytes;
            info->DataOffset = fixed + nameBytes;
            info->DataLength = dataLength;
            CopyBounded(out + fixed, value->name.data(), nameBytes, room);
            if (room > nameBytes) CopyBounded(out + fixed + nameBytes, value->data.data(), dataLength, room - nameBytes);
            break;
        }
    }
    return Length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize) {
    Impl& k = K();
    k.RequireIrql("ZwSetValueKey", PASSIVE_LEVEL);
    NTSTATUS status;
    KeyBody* key = KeyWithAccess(KeyHandle, KEY_SET_VALUE, &status);
    if (key == nullptr) return status;
    if (k.failRegistryWrites) return STATUS_ACCESS_DENIED;
    const auto* bytes = static_cast<const std::uint8_t*>(Data);
    std::vector<std::uint8_t> data(bytes, bytes + DataSize);
    if (!k.registry->SetValue(key->path, FromUnicodeString(ValueName), Type, std::move(data))) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    Impl& k = K();
    k.RequireIrql("RtlWriteRegistryValue", PASSIVE_LEVEL);
    std::wstring path;
    switch (RelativeTo & 0xFFFF) {
        case RTL_REGISTRY_ABSOLUTE: path = Path; break;
        case RTL_REGISTRY_SERVICES: path = std::wstring(kServicesRoot) + Path; break;
        case RTL_REGISTRY_CONTROL: path = std::wstring(kControlRoot) + Path; break;
        default: return STATUS_INVALID_PARAMETER;
    }
    if (k.failRegistryWrites) return STATUS_ACCESS_DENIED;
    const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
    std::vector<std::uint8_t> data(bytes, bytes + ValueLength);
    if (!k.registry->SetValue(path, ValueName, ValueType, std::move(data), true)) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

}  // extern "C"
