// The client side of the round-trip benchmark: a separate process that
// sends command 107 to ZHP's control device through DeviceIoControl, as the
// utility does, and reports each round trip's duration.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "roundtrip_client.h"

int RunRoundTrips(int count) {
    HANDLE device = CreateFileA("\\\\.\\VELMORACC", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "user_bench client: cannot open the control device (%u)\n",
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    std::vector<long long> ns;
    ns.reserve(count);
    for (int i = 0; i < count; ++i) {
        unsigned char block[80] = {107};
        DWORD bytes = 0;
        auto start = std::chrono::steady_clock::now();
        BOOL ok = DeviceIoControl(device, 0x00072020, block, 80, block, 80, &bytes, nullptr);
        auto end = std::chrono::steady_clock::now();
        if (!ok || bytes != 80) {
            std::fprintf(stderr, "user_bench client: command 107 failed (%u)\n", static_cast<unsigned>(GetLastError()));
            return 1;
        }
        ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    }
    CloseHandle(device);
    for (long long v : ns) std::printf("%lld\n", v);
    return 0;
}
