#include "user_test_support.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ntddk.h>

#include <hostkernel/kernel.h>
#include <hostkernel/registry.h>
#include <hostuser/kernel_gate.h>

namespace hk {
void* ObLookupName(const std::wstring& name);
}

namespace usertest {

namespace {

Machine* gMachine = nullptr;
std::mutex gLogMutex;

class MachineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gMachine = new Machine();
        Machine& m = *gMachine;
        char pattern[] = "/tmp/zhp-user-test-XXXXXX";
        m.directory = mkdtemp(pattern);
        m.socketPath = m.directory + "/notebook.sock";
        hk::KernelOptions options;
        options.clock = hk::ClockMode::Real;
        m.kernel = std::make_unique<hk::Kernel>(options);
        Load(*m.kernel);
        hk::Registry& reg = m.kernel->Reg();
        reg.SetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"AppDataDir", hk::kRegSz,
                     hk::RegSzData(L"C:\\ProgramData\\Halvorin\\Sentrel\\"), true);
        reg.SetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"Count", hk::kRegDword, hk::RegDwordData(0x12345678),
                     true);
        m.gate = std::make_unique<hostuser::KernelGate>(*m.kernel);
        hostuser::Win32ServerOptions serverOptions;
        serverOptions.socketPath = m.socketPath;
        serverOptions.locale = 1041;
        serverOptions.driveC = m.directory + "/drive_c";
        serverOptions.log = [](const std::string& line) {
            std::lock_guard<std::mutex> lk(gLogMutex);
            gMachine->log.push_back(line);
        };
        m.server = std::make_unique<hostuser::Win32Server>(*m.gate, serverOptions);
        std::string error;
        ASSERT_TRUE(m.server->Start(&error)) << error;
        setenv("ZHP_NOTEBOOK_SOCKET", m.socketPath.c_str(), 1);
    }
    void TearDown() override {
        gMachine->server->Stop();
        gMachine->server.reset();
        gMachine->gate.reset();
        gMachine->kernel.reset();
        std::string command = "rm -rf '" + gMachine->directory + "'";
        (void)!std::system(command.c_str());
    }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new MachineEnvironment);

}  // namespace

Machine::Machine() = default;
Machine::~Machine() = default;

Machine& TheMachine() { return *gMachine; }

bool KernelNameExists(const std::wstring& kernelName) {
    bool exists = false;
    TheMachine().gate->Run([&] { exists = hk::ObLookupName(kernelName) != nullptr; });
    return exists;
}

void* KernelCreateNotificationEvent(const std::wstring& kernelName, void** kernelHandle) {
    PKEVENT event = nullptr;
    TheMachine().gate->Run([&] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, kernelName.c_str());
        HANDLE h = nullptr;
        event = IoCreateNotificationEvent(&name, &h);
        *kernelHandle = h;
    });
    return event;
}

void KernelSetEvent(void* event, bool signalled) {
    TheMachine().gate->Run([&] {
        if (signalled) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        } else {
            KeClearEvent(static_cast<PKEVENT>(event));
        }
    });
}

long KernelReadEvent(void* event) {
    long state = 0;
    TheMachine().gate->Run([&] { state = KeReadStateEvent(static_cast<PKEVENT>(event)); });
    return state;
}

long long KernelNowMs() { return TheMachine().kernel->Now() / 10000; }

void KernelClose(void* kernelHandle) {
    TheMachine().gate->Run([&] { ZwClose(static_cast<HANDLE>(kernelHandle)); });
}

bool Eventually(const std::function<bool()>& condition, int limitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

bool ServerLogContains(const std::string& text) {
    std::lock_guard<std::mutex> lk(gLogMutex);
    for (const std::string& line : gMachine->log) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

Counters DriverCounters() {
    Counters c;
    TheMachine().gate->Run([&] { c = Read(); });
    return c;
}

int StartClient(const std::vector<std::string>& arguments, const std::string& socketPath,
                const std::string& outputPath) {
    // Everything is prepared before fork: the child only calls what is safe
    // between fork and exec in a threaded process.
    std::vector<std::string> args = {USER_TEST_CLIENT};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("ZHP_NOTEBOOK_SOCKET=", 0) != 0) env.push_back(*e);
    }
    env.push_back("ZHP_NOTEBOOK_SOCKET=" + socketPath);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // An earlier client's output must not pass for this one's.
    unlink(outputPath.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            close(fd);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int WaitClient(int pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace usertest
