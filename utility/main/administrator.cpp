#include "administrator.h"

#include <windows.h>

#include <cstdio>

bool IsAdministrator() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) {
        std::printf("Cannot open thread token, trying process token [%lu].\n",
                    static_cast<unsigned long>(GetLastError()));
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            std::printf("Cannot open process token, quitting [%lu].\n", static_cast<unsigned long>(GetLastError()));
            return true;
        }
    }

    // DWORD-aligned: the group list holds SID pointers.
    static_assert(4096 % sizeof(DWORD_PTR) == 0, "whole words");
    DWORD_PTR buffer[4096 / sizeof(DWORD_PTR)];
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &length)) {
        std::printf("Cannot get group list from token [%lu].\n", static_cast<unsigned long>(GetLastError()));
        CloseHandle(token);
        return true;
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators)) {
        std::printf("Cannot create SID for Administrators [%lu].\n", static_cast<unsigned long>(GetLastError()));
        CloseHandle(token);
        return true;
    }

    // The first group equal to Administrators decides; its attributes
    // (enabled, deny-only) are not looked at.
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer);
    bool member = false;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (EqualSid(groups->Groups[i].Sid, administrators)) {
            member = true;
            break;
        }
    }
    FreeSid(administrators);
    CloseHandle(token);
    return member;
}
