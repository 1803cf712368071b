// A user-mode program for the tests that need a second process (one that is
// killed, or that runs against a differently configured notebook). Written
// against <windows.h> only. Prints what it did, one line per step.
#include <windows.h>
#include <winioctl.h>

#include <hostuser/notifications.h>

#include <cstdio>
#include <cstring>

namespace {

const DWORD kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

void Say(const char* format, unsigned long value) {
    std::printf(format, value);
    std::fflush(stdout);
}

int Hold() {
    HANDLE h = CreateFileA("\\\\.\\USERTEST", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    Say("open %lu\n", 0);
    unsigned char block[16] = {0};
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(h, kHold, block, sizeof block, block, sizeof block, &bytes, nullptr);
    Say("completed %lu\n", ok ? 0 : GetLastError());
    return 0;
}

int Token() {
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) return 2;
    Say("thread token error %lu\n", GetLastError());
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 3;
    static BYTE buffer[4096];
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &length)) return 4;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators)) {
        return 5;
    }
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer);
    unsigned long listed = 0;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (EqualSid(groups->Groups[i].Sid, administrators)) listed = 1;
    }
    BOOL member = FALSE;
    CheckTokenMembership(nullptr, administrators, &member);
    Say("administrators listed %lu\n", listed);
    Say("administrators member %lu\n", member ? 1 : 0);
    FreeSid(administrators);
    CloseHandle(token);
    return 0;
}

int KeepEvent(const char* name) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name);
    if (h == nullptr) return 6;
    Say("event %lu\n", GetLastError());
    for (;;) Sleep(1000);
}

int WaitEvent(const char* name) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name);
    if (h == nullptr) return 7;
    Say("waiting %lu\n", 0);
    DWORD result = WaitForSingleObject(h, INFINITE);
    Say("woke %lu\n", result);
    return 0;
}

// Sensor register reads on ZHP's control device, one after the other, for
// ever: nearly all the time one of them is pending in the driver.
int Transfers() {
    HANDLE h = CreateFileA("\\\\.\\VELMORACC", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 8;
    Say("open %lu\n", 0);
    for (unsigned long n = 1;; ++n) {
        unsigned char block[80] = {0};
        block[0] = 101;
        block[16] = 0x32;
        block[64] = 24;
        DWORD bytes = 0;
        if (!DeviceIoControl(h, 0x00072020, block, 80, block, 80, &bytes, nullptr)) return 9;
        if (n == 1) Say("first transfer done %lu\n", bytes);
    }
}

void CALLBACK Notified(UINT message, WPARAM wParam, LPARAM lParam, void*) {
    std::printf("message 0x%x wparam %lu lparam %ld\n", message, static_cast<unsigned long>(wParam),
                static_cast<long>(lParam));
    std::fflush(stdout);
}

int Notifications() {
    HANDLE subscription = HostSubscribeSystemNotifications(Notified, nullptr);
    if (subscription == nullptr) return 10;
    Say("subscribed %lu\n", 0);
    for (;;) Sleep(1000);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "transfers") == 0) return Transfers();
    if (argc >= 2 && std::strcmp(argv[1], "notifications") == 0) return Notifications();
    if (argc >= 2 && std::strcmp(argv[1], "hold") == 0) return Hold();
    if (argc >= 2 && std::strcmp(argv[1], "token") == 0) return Token();
    if (argc >= 3 && std::strcmp(argv[1], "keep-event") == 0) return KeepEvent(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "wait-event") == 0) return WaitEvent(argv[2]);
    std::fprintf(stderr, "usage: user_test_client hold | token | keep-event NAME | wait-event NAME | transfers | notifications\n");
    return 64;
}
