// The machine every test of the user-mode platform talks to: a real-time
// host kernel with the test control driver, and the user-mode server on a
// socket in a private temporary directory. The test process itself is the
// client (through win32host), and helper processes can be started against
// the same socket.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <hostuser/win32_server.h>

#include "test_control_driver.h"

namespace hk {
class Kernel;
}
namespace hostuser {
class KernelGate;
}

namespace usertest {

struct Machine {
    Machine();
    ~Machine();
    std::unique_ptr<hk::Kernel> kernel;
    std::unique_ptr<hostuser::KernelGate> gate;
    std::unique_ptr<hostuser::Win32Server> server;
    std::string directory;   // private temporary directory
    std::string socketPath;
    std::vector<std::string> log;  // the server's log lines
};

Machine& TheMachine();

// Polls the condition until it holds (true) or a generous limit passes (false).
bool Eventually(const std::function<bool()>& condition, int limitMs = 30000);

Counters DriverCounters();

// Whether the server has logged a line containing the text.
bool ServerLogContains(const std::string& text);

// The kernel's side of named objects, as a driver sees them.
bool KernelNameExists(const std::wstring& kernelName);
// IoCreateNotificationEvent; returns the event (and its kernel handle).
void* KernelCreateNotificationEvent(const std::wstring& kernelName, void** kernelHandle);
void KernelSetEvent(void* event, bool signalled);
long KernelReadEvent(void* event);
void KernelClose(void* kernelHandle);
// The notebook's interrupt time in milliseconds.
long long KernelNowMs();

// Runs the helper client program with arguments and the environment variable
// pointing at socketPath; returns its pid. Its standard output goes to outputPath.
int StartClient(const std::vector<std::string>& arguments, const std::string& socketPath,
                const std::string& outputPath);
// Waits for the helper to end; returns its exit status, or -1 when killed.
int WaitClient(int pid);
std::string ReadFile(const std::string& path);

}  // namespace usertest
