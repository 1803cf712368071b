// Named events, waits and waitable timers: the notebook kernel's own
// dispatcher objects in its object namespace.
#include <aclapi.h>
#include <windows.h>

#include <signal.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "user_test_support.h"

namespace {

using usertest::Eventually;
using usertest::KernelNameExists;
using usertest::TheMachine;

TEST(Events, GlobalNamesAreTheKernelsBaseNamedObjects) {
    SetLastError(1234);
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Global\\UserTestOne");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(KernelNameExists(L"\\BaseNamedObjects\\UserTestOne"));

    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, "Global\\UserTestOne");  // kind and state of the existing one
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(a, b);
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(a));
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // manual reset: stays signalled
    ASSERT_TRUE(ResetEvent(b));
    EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // The name lives as long as a handle does.
    CloseHandle(a);
    EXPECT_TRUE(KernelNameExists(L"\\BaseNamedObjects\\UserTestOne"));
    CloseHandle(b);
    EXPECT_FALSE(KernelNameExists(L"\\BaseNamedObjects\\UserTestOne"));
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\UserTestOne"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Events, LocalAndPlainNamesBelongToTheUsersSession) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "UserTestPlain");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(KernelNameExists(L"\\Sessions\\1\\BaseNamedObjects\\UserTestPlain"));
    HANDLE b = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Local\\UserTestPlain");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\UserTestPlain"), nullptr);
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(Events, TheDriversEventIsTheOneTheUserOpens) {
    void* kernelHandle = nullptr;
    void* event = usertest::KernelCreateNotificationEvent(L"\\BaseNamedObjects\\UserTestDriver", &kernelHandle);
    ASSERT_NE(event, nullptr);
    usertest::KernelSetEvent(event, false);
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, "Global\\UserTestDriver");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    std::atomic<DWORD> woke{0xDEAD};
    const std::uint64_t before = TheMachine().server->Statistics().requests;
    std::thread waiter([&] { woke = WaitForSingleObject(h, 60000); });
    // The server has the wait, and the waiter has not come back: it is
    // blocked until the driver signals.
    ASSERT_TRUE(Eventually([&] { return TheMachine().server->Statistics().requests >= before + 1; }));
    EXPECT_EQ(woke, 0xDEADu);
    usertest::KernelSetEvent(event, true);
    waiter.join();
    EXPECT_EQ(woke, WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(h));
    EXPECT_EQ(usertest::KernelReadEvent(event), 0);
    // The driver closes its handle; the user's keeps the event.
    usertest::KernelClose(kernelHandle);
    EXPECT_TRUE(SetEvent(h));
    CloseHandle(h);
}

TEST(Events, WaitForMultipleObjectsReportsTheLowestSignalledIndex) {
    HANDLE events[3];
    for (auto& e : events) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    ResetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    for (auto e : events) CloseHandle(e);
}

TEST(Events, AutoResetEventsReleaseOneWaitEach) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST(Events, ATimedWaitEndsWithWaitTimeout) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    HANDLE set = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE all[2] = {e, set};
    SetEvent(set);
    EXPECT_EQ(WaitForMultipleObjects(2, all, TRUE, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(e);
    CloseHandle(set);
}

TEST(Events, ALongWaitOnOneThreadDoesNotHoldUpAnother) {
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{0xDEAD};
    const std::uint64_t before = TheMachine().server->Statistics().requests;
    std::thread waiter([&] { result = WaitForSingleObject(quit, 1000000); });
    // The server has the wait before the other thread's requests begin.
    ASSERT_TRUE(Eventually([&] { return TheMachine().server->Statistics().requests >= before + 1; }));
    HANDLE h = CreateFileA(usertest::kUserPath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    for (int i = 0; i < 50; ++i) {
        unsigned char block[80] = {static_cast<unsigned char>(i)};
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(h, usertest::kEchoReversed, block, 80, block, 80, &bytes, nullptr));
        EXPECT_EQ(block[79], i);
    }
    EXPECT_EQ(result, 0xDEADu);
    SetEvent(quit);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    CloseHandle(h);
    CloseHandle(quit);
}

TEST(Events, BadHandlesAndCountsFailTheWait) {
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(0, &h, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(h);
}

TEST(Events, NullDaclIsAcceptedOnEvents) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, "Global\\UserTestDacl");
    EXPECT_EQ(SetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    ACL acl{};
    EXPECT_EQ(SetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(SetSecurityInfo(reinterpret_cast<HANDLE>(0x7777), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(h);
}

TEST(Events, WaitableTimersShareTheNamespace) {
    HANDLE t = CreateWaitableTimerA(nullptr, FALSE, "GTWaitTimer");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE again = CreateWaitableTimerA(nullptr, FALSE, "GTWaitTimer");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "GTWaitTimer"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(t, 10), static_cast<DWORD>(WAIT_TIMEOUT));  // never set
    CloseHandle(t);
    CloseHandle(again);
    // Gone with its last handle.
    HANDLE fresh = CreateWaitableTimerA(nullptr, FALSE, "GTWaitTimer");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(fresh);
}

TEST(Events, AKilledClientsWaitEndsAndItsEventHandlesClose) {
    usertest::Machine& m = TheMachine();
    std::string output = m.directory + "/wait.out";
    hostuser::Win32ServerStatistics before = m.server->Statistics();
    int pid = usertest::StartClient({"wait-event", "Global\\UserTestKilledWaiter"}, m.socketPath, output);
    ASSERT_TRUE(Eventually([&] { return usertest::ReadFile(output).find("waiting") != std::string::npos; }));
    ASSERT_TRUE(KernelNameExists(L"\\BaseNamedObjects\\UserTestKilledWaiter"));
    // The client says "waiting" just before it asks: the server must have
    // its wait request (after the event's creation) before the kill.
    ASSERT_TRUE(Eventually([&] { return m.server->Statistics().requests >= before.requests + 2; }));
    kill(pid, SIGKILL);
    usertest::WaitClient(pid);
    // The server counts the handles once it has closed them all.
    EXPECT_TRUE(Eventually([&] {
        return !KernelNameExists(L"\\BaseNamedObjects\\UserTestKilledWaiter") &&
               m.server->Statistics().closedOrphanHandles >= before.closedOrphanHandles + 1 &&
               m.server->Statistics().abandonedWaits >= before.abandonedWaits + 1;
    }));
}

}  // namespace
