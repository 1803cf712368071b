#include "core_machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ntddk.h>

#include <hostkernel/kernel.h>
#include <hostkernel/registry.h>
#include <hostuser/kernel_gate.h>
#include <hostuser/win32_server.h>

#include "machine.h"
#include "script.h"

namespace hk {
void* ObLookupName(const std::wstring& name);
}

namespace coretest {

namespace {

const wchar_t* const kHalvorinKey = L"\\Registry\\Machine\\SOFTWARE\\Halvorin";

struct State {
    std::string directory;
    std::string administratorSocket;
    std::string standardSocket;
    std::string driveC;
    std::unique_ptr<notebook::Machine> machine;
    std::unique_ptr<hostuser::KernelGate> gate;
    std::unique_ptr<hostuser::Win32Server> administrator;
    std::unique_ptr<hostuser::Win32Server> standard;
};

State* gState = nullptr;

std::unique_ptr<hostuser::Win32Server> Serve(const std::string& socket, bool administrator) {
    hostuser::Win32ServerOptions options;
    options.socketPath = socket;
    options.administrator = administrator;
    options.locale = 1033;
    options.driveC = gState->driveC;
    auto server = std::make_unique<hostuser::Win32Server>(*gState->gate, options);
    std::string error;
    if (!server->Start(&error)) ADD_FAILURE() << "the user-mode server did not start: " << error;
    return server;
}

class NotebookEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        gState = new State();
        char pattern[] = "/tmp/sentrel-core-test-XXXXXX";
        gState->directory = mkdtemp(pattern);
        gState->administratorSocket = gState->directory + "/administrator.sock";
        gState->standardSocket = gState->directory + "/standard.sock";
        gState->driveC = gState->directory + "/drive_c";
        std::system(("mkdir -p '" + gState->driveC + "/Users/Public'").c_str());

        notebook::MachineOptions options;
        options.clock = hk::ClockMode::Real;
        options.disks = {hw::DiskConfig{}};
        options.driver_path = ZHP_MODULE;
        options.registry_files = notebook::DefaultRegistryFiles(SOURCE_DIR);
        gState->machine = std::make_unique<notebook::Machine>(options);
        notebook::BootReport boot = gState->machine->Boot();
        ASSERT_TRUE(boot.zhp_loaded);
        gState->gate = std::make_unique<hostuser::KernelGate>(gState->machine->Kernel());
        gState->administrator = Serve(gState->administratorSocket, true);
        gState->standard = Serve(gState->standardSocket, false);
        setenv("ZHP_NOTEBOOK_SOCKET", gState->administratorSocket.c_str(), 1);
    }
    void TearDown() override {
        EXPECT_FALSE(gState->machine->Kernel().Stopped()) << gState->machine->Kernel().Stop().ToString();
        gState->standard->Stop();
        gState->administrator->Stop();
        gState->standard.reset();
        gState->administrator.reset();
        gState->gate.reset();
        gState->machine.reset();
        std::system(("rm -rf '" + gState->directory + "'").c_str());
    }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new NotebookEnvironment);

std::wstring Wide(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

}  // namespace

const std::string& AdministratorSocket() { return gState->administratorSocket; }
const std::string& StandardUserSocket() { return gState->standardSocket; }
const std::string& DriveC() { return gState->driveC; }

void SetHalvorinValue(const char* name, const char* text) {
    gState->gate->Exclusive([&](hk::Kernel& kernel) {
        if (text == nullptr) {
            kernel.Reg().DeleteValue(kHalvorinKey, Wide(name));
        } else {
            kernel.Reg().SetValue(kHalvorinKey, Wide(name), hk::kRegSz, hk::RegSzData(Wide(text)), true);
        }
    });
}

void RemoveHalvorinKey() {
    gState->gate->Exclusive([&](hk::Kernel& kernel) { kernel.Reg().DeleteKey(kHalvorinKey); });
}

void RestoreHalvorinKey() {
    RemoveHalvorinKey();
    SetHalvorinValue("InstallDir", "C:\\Program Files\\Halvorin\\Sentrel\\");
    SetHalvorinValue("AppDataDir", "C:\\ProgramData\\Halvorin\\Sentrel\\");
}

long long ZhpInitValue(const wchar_t* name) {
    long long value = -1;
    gState->gate->Exclusive([&](hk::Kernel& kernel) {
        auto v = kernel.Reg().GetValue(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT", name);
        if (v && v->data.size() <= 4) {
            value = 0;
            for (std::size_t i = 0; i < v->data.size(); ++i) value |= static_cast<long long>(v->data[i]) << (8 * i);
        }
    });
    return value;
}

void ForceInterruptPin(bool active) {
    gState->gate->Exclusive([&](hk::Kernel&) {
        hw::GpioLevelRegister& gpio = gState->machine->Chipset().Gpio();
        notebook::LineMonitor& line = gState->machine->Line();
        if (active) {
            gpio.ForcePin(true);
        } else {
            gpio.ReleaseForce();
        }
        line.SetForced(active);
        line.Check();
    });
}

bool GlobalObjectExists(const std::wstring& name) {
    bool exists = false;
    gState->gate->Run([&] { exists = hk::ObLookupName(L"\\BaseNamedObjects\\" + name) != nullptr; });
    return exists;
}

void WriteDriveCFile(const std::string& relativePath, const std::string& text) {
    const std::string path = gState->driveC + "/" + relativePath;
    std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

void RemoveDriveCFile(const std::string& relativePath) { std::remove((gState->driveC + "/" + relativePath).c_str()); }

std::string ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string RunProbe(const std::string& socket, const std::string& arguments) {
    const std::string output = gState->directory + "/probe.out";
    const std::string command = "ZHP_NOTEBOOK_SOCKET='" + socket + "' '" SENTREL_PROBE "' " + arguments + " >'" +
                                output + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    std::string text = ReadHostFile(output);
    if (status != 0) text += "exit " + std::to_string(status);
    return text;
}

std::string ProbeServedNotebook(const std::string& serveArguments, const std::string& probeArguments,
                                std::string* driveCFiles) {
    const std::string dir = gState->directory + "/served";
    const std::string socket = dir + "/notebook.sock";
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    const std::string command = "exec '" NOTEBOOK_PROGRAM "' serve --state '" + dir + "/state' --socket '" + socket +
                                "' " + serveArguments + " >'" + dir + "/serve.log' 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    struct stat st {};
    const bool serving = Eventually([&] { return stat(socket.c_str(), &st) == 0; });
    std::string output = serving ? RunProbe(socket, probeArguments) : "notebook serve did not start\n";
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string list = dir + "/files.txt";
    std::system(("cd '" + dir + "/state/drive_c' && find . -type f | sort >'" + list + "'").c_str());
    *driveCFiles = ReadHostFile(list);
    return output;
}

bool Eventually(const std::function<bool()>& condition, int limitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace coretest
