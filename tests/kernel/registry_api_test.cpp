// The registry routines drivers call, over the machine's registry.
#include <gtest/gtest.h>

#include "hostkernel/kernel.h"
#include "hostkernel/registry.h"

namespace {

using hk::Kernel;

const wchar_t* kInit = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT";

NTSTATUS OpenInit(HANDLE* key, ACCESS_MASK access = KEY_ALL_ACCESS) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kInit);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(key, access, &oa);
}

NTSTATUS Query(HANDLE key, const wchar_t* value, void* buffer, ULONG length, ULONG* result) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value);
    return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, result);
}

TEST(RegistryApi, PartialInformationQueryProtocol) {
    Kernel k;
    k.Reg().SetValue(kInit, L"SATA_CMD", REG_BINARY, {0x44, 0, 0x4C, 0x4E, 0x55, 0, 0xE1, 0}, true);
    k.Reg().SetValue(kInit, L"PCI_TRIG_PIN", REG_BINARY, {0x20});
    ASSERT_TRUE(k.Call([&] {
        HANDLE key;
        ASSERT_EQ(OpenInit(&key), STATUS_SUCCESS);
        UCHAR probe[16];
        ULONG needed = 0;
        // Too small for the fixed part: nothing written.
        EXPECT_EQ(Query(key, L"SATA_CMD", probe, 8, &needed), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(needed, 12u + 8u);
        // Fixed part fits, data does not: overflow, header filled.
        EXPECT_EQ(Query(key, L"SATA_CMD", probe, sizeof probe, &needed), STATUS_BUFFER_OVERFLOW);
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(probe);
        EXPECT_EQ(info->Type, ULONG(REG_BINARY));
        EXPECT_EQ(info->DataLength, 8u);
        UCHAR full[64];
        EXPECT_EQ(Query(key, L"SATA_CMD", full, needed, &needed), STATUS_SUCCESS);
        info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(full);
        EXPECT_EQ(info->Data[6], 0xE1);
        // A short value fits the probe buffer at once; names ignore case.
        EXPECT_EQ(Query(key, L"pci_trig_pin", probe, sizeof probe, &needed), STATUS_SUCCESS);
        EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(probe)->Data[0], 0x20);
        EXPECT_EQ(Query(key, L"MISSING", probe, sizeof probe, &needed), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    }));
}

TEST(RegistryApi, MissingKeyAndWriteBack) {
    Kernel k;
    ASSERT_TRUE(k.Call([&] {
        HANDLE key;
        EXPECT_EQ(OpenInit(&key), STATUS_OBJECT_NAME_NOT_FOUND);
        UCHAR e = 0x09;
        EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"ZHP\\INIT", L"ERR_CODE", REG_BINARY, &e, 1),
                  STATUS_SUCCESS);
        EXPECT_EQ(OpenInit(&key), STATUS_SUCCESS);
        ZwClose(key);
    }));
    auto v = k.Reg().GetValue(kInit, L"ERR_CODE");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->data, (std::vector<std::uint8_t>{0x09}));
    k.FailRegistryWrites(true);
    ASSERT_TRUE(k.Call([&] {
        UCHAR e = 0;
        EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"ZHP\\INIT", L"ERR_CODE", REG_BINARY, &e, 1),
                  STATUS_ACCESS_DENIED);
    }));
    EXPECT_EQ(k.Reg().GetValue(kInit, L"ERR_CODE")->data, (std::vector<std::uint8_t>{0x09}));
}

// A handle does only what it was opened for: a driver that asks for the
// least access it needs must still be able to read its values.
TEST(RegistryApi, HandleAllowsOnlyTheAccessItWasOpenedWith) {
    struct Case {
        const char* what;
        ACCESS_MASK access;
        NTSTATUS query;
        NTSTATUS set;
    };
    const Case cases[] = {
        {"query only", KEY_QUERY_VALUE, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
        {"read", KEY_READ, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
        {"generic read", GENERIC_READ, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
        {"set only", KEY_SET_VALUE, STATUS_ACCESS_DENIED, STATUS_SUCCESS},
        {"write", KEY_WRITE, STATUS_ACCESS_DENIED, STATUS_SUCCESS},
        {"all", KEY_ALL_ACCESS, STATUS_SUCCESS, STATUS_SUCCESS},
    };
    Kernel k;
    k.Reg().SetValue(kInit, L"OP_MODE", REG_BINARY, {0x01}, true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(k.Call([&] {
            HANDLE key;
            ASSERT_EQ(OpenInit(&key, c.access), STATUS_SUCCESS);
            UCHAR buffer[32];
            ULONG needed = 0;
            EXPECT_EQ(Query(key, L"OP_MODE", buffer, sizeof buffer, &needed), c.query);
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, L"OP_MODE");
            UCHAR mode = 0;
            EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, &mode, 1), c.set);
            ZwClose(key);
        }));
    }
}

}  // namespace
