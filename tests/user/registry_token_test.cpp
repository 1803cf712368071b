// The notebook's registry, the simulated user's token, and the small
// system calls (locale, tick count, last error).
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "user_test_support.h"

namespace {

TEST(Registry, ReadsStringAndDwordValuesOfTheNotebooksRegistry) {
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
    HKEY halvorin = nullptr;
    ASSERT_EQ(RegOpenKeyExA(software, "Halvorin", 0, KEY_READ, &halvorin), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(halvorin, "AppDataDir", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    const std::string expected = "C:\\ProgramData\\Halvorin\\Sentrel\\";
    EXPECT_EQ(size, expected.size() + 1);
    char text[128];
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(halvorin, "AppDataDir", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(text), expected);

    // Too small a buffer: the size needed, ERROR_MORE_DATA.
    size = 4;
    EXPECT_EQ(RegQueryValueExA(halvorin, "AppDataDir", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, expected.size() + 1);

    DWORD value = 0;
    size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(halvorin, "Count", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0x12345678u);

    EXPECT_EQ(RegQueryValueExA(halvorin, "InstallDir", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(halvorin), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(halvorin), ERROR_INVALID_HANDLE);
}

TEST(Registry, MissingKeysAndBadNamesAreNotFound) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchVendor", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Halvorin", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\HALVORIN", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
}

TEST(Token, TheAdministratorsGroupIsListedForAnAdministrator) {
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));

    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(needed, sizeof(TOKEN_GROUPS));
    alignas(8) BYTE buffer[4096];
    ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &needed));

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                         0, &administrators));
    EXPECT_EQ(GetLengthSid(administrators), 16u);
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer);
    int found = 0;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        ASSERT_TRUE(IsValidSid(groups->Groups[i].Sid));
        if (EqualSid(groups->Groups[i].Sid, administrators)) found++;
    }
    EXPECT_EQ(found, 1);
    BOOL member = FALSE;
    ASSERT_TRUE(CheckTokenMembership(nullptr, administrators, &member));
    EXPECT_TRUE(member);

    // A SID that differs in its last sub-authority is another group.
    PSID users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0,
                                         &users));
    EXPECT_FALSE(EqualSid(users, administrators));
    EXPECT_EQ(FreeSid(users), nullptr);
    FreeSid(administrators);
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(System, LocaleAndTickCountComeFromTheNotebook) {
    EXPECT_EQ(GetThreadLocale(), 1041u);
    // The tick count is the notebook's time since boot: it lies between two
    // readings of the kernel's clock taken around it.
    long long before = usertest::KernelNowMs();
    DWORD ticks = GetTickCount();
    long long after = usertest::KernelNowMs();
    EXPECT_GE(static_cast<long long>(ticks) + 1, before);
    EXPECT_LE(static_cast<long long>(ticks), after + 1);
    DWORD first = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - first, 20u);
}

TEST(System, LastErrorIsPerThread) {
    SetLastError(42);
    DWORD other = 0;
    std::thread([&] {
        SetLastError(7);
        other = GetLastError();
    }).join();
    EXPECT_EQ(GetLastError(), 42u);
    EXPECT_EQ(other, 7u);
}

}  // namespace
