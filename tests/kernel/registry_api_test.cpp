// The registry routines drivers call, over the machine's registry.
#include <gtest/gtest.h>

#include "hostkernel/kernel.h"
#include "hostkernel/registry.h"

namespace {

using hk::Kernel;

const wchar_t* kInit = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT";

NTSTATUS OpenInit(HANDLE* key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kInit);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(key, KEY_ALL_ACCESS, &oa);
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

}  // namespace
