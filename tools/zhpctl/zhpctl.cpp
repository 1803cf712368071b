// zhpctl: a command-line client of ZHP's control device.
//
//   zhpctl [--json] [--socket PATH] CMD [OFFSET=VALUE ...]
//   zhpctl [--socket PATH] watch
//
// The first form sends one 80-byte command block: word 0 is CMD, each
// OFFSET=VALUE sets the 32-bit word at that byte offset (a multiple of 4 from
// 0 to 76; numbers decimal or 0x hex), every other word is 0. It prints the
// status of the request, the bytes returned and the twenty words of the
// block that came back (--json: one object with "status" (the Win32 error
// code, 0 for success), "bytes" and "words").
//
// watch waits on the driver's events Global\VrFFEvent01 (fall) and
// Global\VrFFEvent02 (release) and prints each with a time stamp, resetting
// the event, until interrupted.
//
// --socket PATH names the simulated notebook's socket on the host (it sets
// ZHP_NOTEBOOK_SOCKET for this process; on Windows it has no effect).
//
// Exit status: 0 success, 1 the request or the wait failed, 2 bad usage or
// the control device could not be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "shared/zhp_command.h"

namespace {

constexpr int kWords = ZHP_COMMAND_BLOCK_SIZE / 4;

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "zhpctl: %s\n"
                 "usage: zhpctl [--json] [--socket PATH] CMD [OFFSET=VALUE ...]\n"
                 "       zhpctl [--socket PATH] watch\n",
                 problem);
    return 2;
}

// Decimal or 0x hex, the whole text, at most 32 bits.
bool ParseNumber(const std::string& text, unsigned long* value) {
    if (text.empty()) return false;
    int base = 10;
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    }
    if (digits.empty() || digits.size() > 10) return false;
    for (char c : digits) {
        bool ok = base == 16 ? std::strchr("0123456789abcdefABCDEF", c) != nullptr : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    unsigned long long v = std::strtoull(digits.c_str(), nullptr, base);
    if (v > 0xFFFFFFFFull) return false;
    *value = static_cast<unsigned long>(v);
    return true;
}

std::string ErrorText(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return "ok";
        case ERROR_FILE_NOT_FOUND: return "no such device";
        case ERROR_ACCESS_DENIED: return "access denied";
        case ERROR_INVALID_HANDLE: return "invalid handle";
        case ERROR_INVALID_FUNCTION: return "not implemented by the driver";
        case ERROR_INSUFFICIENT_BUFFER: return "buffer too small";
        case ERROR_OPERATION_ABORTED: return "cancelled";
        case ERROR_DEVICE_NOT_CONNECTED: return "no notebook to talk to";
        default: return "error";
    }
}

void PutWord(unsigned char* block, int index, unsigned long value) {
    for (int b = 0; b < 4; ++b) block[index * 4 + b] = static_cast<unsigned char>(value >> (8 * b));
}

unsigned long GetWord(const unsigned char* block, int index) {
    unsigned long v = 0;
    for (int b = 0; b < 4; ++b) v |= static_cast<unsigned long>(block[index * 4 + b]) << (8 * b);
    return v;
}

HANDLE OpenControlDevice() {
    HANDLE device = CreateFileA(ZHP_CONTROL_DEVICE_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "zhpctl: cannot open %s: %s (%u)\n", ZHP_CONTROL_DEVICE_USER_PATH,
                     ErrorText(error).c_str(), static_cast<unsigned>(error));
    }
    return device;
}

int SendCommand(unsigned char* block, bool json) {
    HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) return 2;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(device, ZHP_IOCTL_COMMAND, block, ZHP_COMMAND_BLOCK_SIZE, block, ZHP_COMMAND_BLOCK_SIZE,
                              &bytes, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(device);

    if (json) {
        std::printf("{\"status\":%u,\"bytes\":%u,\"words\":[", static_cast<unsigned>(error),
                    static_cast<unsigned>(bytes));
        for (int i = 0; i < kWords; ++i) std::printf("%s%lu", i == 0 ? "" : ",", GetWord(block, i));
        std::printf("]}\n");
    } else {
        std::printf("command %lu: %s (%u), %u bytes returned\n", GetWord(block, 0), ErrorText(error).c_str(),
                    static_cast<unsigned>(error), static_cast<unsigned>(bytes));
        for (int i = 0; i < kWords; ++i) {
            unsigned long w = GetWord(block, i);
            std::printf("  %2d: 0x%08lx %10lu\n", i * 4, w, w);
        }
    }
    return ok ? 0 : 1;
}

// Local wall-clock time and the system's millisecond tick count.
void PrintStamped(const char* what) {
    std::time_t now = std::time(nullptr);
    char clock[32] = "";
    std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&now));
    std::printf("%s tick %u ms: %s\n", clock, static_cast<unsigned>(GetTickCount()), what);
    std::fflush(stdout);
}

int Watch() {
    const char* names[2] = {ZHP_FREE_FALL_EVENT_USER_NAME, ZHP_FREE_FALL_CLEARED_EVENT_USER_NAME};
    HANDLE events[2];
    for (int i = 0; i < 2; ++i) {
        events[i] = CreateEventA(nullptr, TRUE, FALSE, names[i]);
        if (events[i] == nullptr) {
            std::fprintf(stderr, "zhpctl: cannot open the event %s (%u)\n", names[i],
                         static_cast<unsigned>(GetLastError()));
            return 1;
        }
    }
    PrintStamped("watching Global\\VrFFEvent01 (fall) and Global\\VrFFEvent02 (release)");
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            ResetEvent(events[0]);
            PrintStamped("fall");
        } else if (result == WAIT_OBJECT_0 + 1) {
            ResetEvent(events[1]);
            PrintStamped("release");
        } else {
            std::fprintf(stderr, "zhpctl: the wait failed (%u)\n", static_cast<unsigned>(GetLastError()));
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--socket") {
            if (i + 1 >= argc) return Usage("expected a path after --socket");
            SetEnvironmentVariableA("ZHP_NOTEBOOK_SOCKET", argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            return Usage("sends a command to ZHP's control device, or watches its events");
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty()) return Usage("expected a command number or watch");
    if (args[0] == "watch") {
        if (args.size() != 1 || json) return Usage("watch takes no arguments");
        return Watch();
    }

    unsigned char block[ZHP_COMMAND_BLOCK_SIZE] = {0};
    unsigned long command = 0;
    if (!ParseNumber(args[0], &command)) return Usage(("expected a command number, not \"" + args[0] + "\"").c_str());
    PutWord(block, 0, command);
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::size_t eq = args[i].find('=');
        unsigned long offset = 0, value = 0;
        if (eq == std::string::npos || !ParseNumber(args[i].substr(0, eq), &offset) ||
            !ParseNumber(args[i].substr(eq + 1), &value) || offset % 4 != 0 || offset > 76) {
            return Usage(("expected OFFSET=VALUE with OFFSET a multiple of 4 from 0 to 76, not \"" + args[i] + "\"")
                             .c_str());
        }
        PutWord(block, static_cast<int>(offset / 4), value);
    }
    return SendCommand(block, json);
}
