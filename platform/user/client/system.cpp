// Last error, time, locale, process identity and environment.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

#include "connection.h"

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Without a notebook, ticks count from the first call in this process.
const std::int64_t kProcessStartNs = MonotonicNs();
}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return tLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

DWORD WINAPI GetTickCount(void) {
    // CLOCK_MONOTONIC is shared by every process of the machine, so the
    // notebook's boot time, told once, gives its tick count locally: a
    // program spinning on GetTickCount does not talk to the notebook.
    std::optional<hostuser::wire::HelloReply> info = hostuser::client::MachineInfo();
    std::int64_t base = info ? info->bootMonotonicNs : kProcessStartNs;
    return static_cast<DWORD>(static_cast<std::uint64_t>((MonotonicNs() - base) / 1000000));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    timespec ts{};
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

LCID WINAPI GetThreadLocale(void) {
    std::optional<hostuser::wire::HelloReply> info = hostuser::client::MachineInfo();
    return info ? info->locale : 1033;  // en-US when no notebook says otherwise
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (lpName == nullptr || lpName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int result = lpValue != nullptr ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
    if (result != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
