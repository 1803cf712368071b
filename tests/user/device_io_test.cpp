// Devices through the Win32 calls: open, device I/O control as the I/O
// manager delivers it, close, and requests that stay pending.
#include <windows.h>
#include <winioctl.h>

#include <signal.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "user_test_support.h"

namespace {

using usertest::DriverCounters;
using usertest::Eventually;

HANDLE OpenTestDevice() {
    return CreateFileA(usertest::kUserPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

TEST(Devices, OpenSendsCreateAndCloseSendsCleanupAndClose) {
    usertest::Counters before = DriverCounters();
    HANDLE h = OpenTestDevice();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DriverCounters().creates, before.creates + 1);
    ASSERT_TRUE(CloseHandle(h));
    usertest::Counters after = DriverCounters();
    EXPECT_EQ(after.cleanups, before.cleanups + 1);
    EXPECT_EQ(after.closes, before.closes + 1);
    // The handle is gone.
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Devices, UnknownDevicesAndFilePathsAreNotFound) {
    const char* paths[] = {"\\\\.\\NOSUCHDEVICE", "\\\\.\\", "C:\\Users\\Public\\G_TEST.txt", "USERTEST",
                           "\\\\.\\USERTEST\\sub"};
    for (const char* path : paths) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
    }
}

TEST(Devices, DeviceIoControlCarriesInputAndOutputAndTheInformationCount) {
    HANDLE h = OpenTestDevice();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    unsigned char in[6] = {1, 2, 3, 4, 5, 6};
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof out);
    DWORD bytes = 99;
    ASSERT_TRUE(DeviceIoControl(h, usertest::kEchoReversed, in, sizeof in, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(bytes, 6u);
    const unsigned char expected[8] = {6, 5, 4, 3, 2, 1, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0);

    // The same buffer in and out, as the utility sends its command block.
    unsigned char block[80];
    for (int i = 0; i < 80; ++i) block[i] = static_cast<unsigned char>(i);
    ASSERT_TRUE(DeviceIoControl(h, usertest::kEchoReversed, block, 80, block, 80, &bytes, nullptr));
    EXPECT_EQ(bytes, 80u);
    EXPECT_EQ(block[0], 79);
    EXPECT_EQ(block[79], 0);
    CloseHandle(h);
}

TEST(Devices, FailedRequestsReportTheWin32Error) {
    HANDLE h = OpenTestDevice();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    unsigned char buffer[16] = {0};
    DWORD bytes = 99;
    EXPECT_FALSE(DeviceIoControl(h, usertest::kFail, buffer, sizeof buffer, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes, 0u);

    EXPECT_FALSE(DeviceIoControl(h, 0x12345678, buffer, sizeof buffer, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // A warning status fails the call but the data still comes back.
    EXPECT_FALSE(DeviceIoControl(h, usertest::kWarn, buffer, sizeof buffer, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(buffer[15], 0xAB);
    CloseHandle(h);
}

TEST(Devices, BadArgumentsAndHandlesAreRefused) {
    unsigned char buffer[4];
    DWORD bytes;
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, usertest::kEchoReversed, buffer, 4, buffer, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x3000), usertest::kEchoReversed, buffer, 4, buffer, 4,
                                 &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE h = OpenTestDevice();
    EXPECT_FALSE(DeviceIoControl(h, usertest::kEchoReversed, buffer, 4, buffer, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    OVERLAPPED overlapped{};
    EXPECT_FALSE(DeviceIoControl(h, usertest::kEchoReversed, buffer, 4, buffer, 4, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // An event handle is not a device.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(event, usertest::kEchoReversed, buffer, 4, buffer, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    CloseHandle(h);
}

TEST(Devices, APendingRequestBlocksOnlyItsOwnThread) {
    HANDLE h = OpenTestDevice();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::atomic<bool> done{false};
    DWORD heldBytes = 0;
    BOOL heldOk = FALSE;
    std::thread holder([&] {
        unsigned char block[80] = {0};
        heldOk = DeviceIoControl(h, usertest::kHold, block, 80, block, 80, &heldBytes, nullptr);
        done = true;
    });
    ASSERT_TRUE(Eventually([] { return DriverCounters().held == 1; }));
    // Meanwhile this thread's calls go through.
    for (int i = 0; i < 20; ++i) {
        unsigned char in[2] = {1, 2}, out[2];
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(h, usertest::kEchoReversed, in, 2, out, 2, &bytes, nullptr));
        EXPECT_EQ(out[0], 2);
    }
    EXPECT_FALSE(done);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(h, usertest::kRelease, nullptr, 0, nullptr, 0, &bytes, nullptr));
    holder.join();
    EXPECT_TRUE(heldOk);
    EXPECT_EQ(heldBytes, 80u);
    CloseHandle(h);
}

TEST(Devices, AKilledClientsPendingRequestIsCancelledAndItsHandleClosed) {
    usertest::Machine& m = usertest::TheMachine();
    usertest::Counters before = DriverCounters();
    std::string output = m.directory + "/hold.out";
    int pid = usertest::StartClient({"hold"}, m.socketPath, output);
    ASSERT_TRUE(Eventually([&] { return DriverCounters().held == before.held + 1; }));
    kill(pid, SIGKILL);
    EXPECT_EQ(usertest::WaitClient(pid), -1);
    ASSERT_TRUE(Eventually([&] {
        usertest::Counters c = DriverCounters();
        return c.cancelled == before.cancelled + 1 && c.closes == before.closes + 1;
    }));
    usertest::Counters after = DriverCounters();
    EXPECT_EQ(after.held, before.held);
    EXPECT_EQ(after.cleanups, before.cleanups + 1);
    EXPECT_NE(usertest::ReadFile(output).find("open"), std::string::npos);
    // The notebook carries on serving.
    HANDLE h = OpenTestDevice();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

}  // namespace
