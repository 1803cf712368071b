#include "core_machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

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
        std::filesystem::create_directories(gState->driveC + "/Users/Public");

        notebook::MachineOptions options;
        options.clock = hk::ClockMode::Real;
        options.disks = {hw::DiskConfig{}};
        options.driver_path = ZHP_MODULE;
        options.registry_files = notebook::DefaultRegistryFiles(SOURCE_DIR);
        gState->machine = std::make_unique<notebook::Machine>(options);
        notebook::BootReport boot = gState->machine->Boot();
        ASSERT_TRUE(boot.zhp_loaded);
        // The disk's power-up at boot leaves ZHP's start-up pending; 150 ms
        // after it the sensor thread runs it itself (reloading the settings
        // from the registry). The tests' commands come after that.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
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
        std::filesystem::remove_all(gState->directory);
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
    // On an emulated thread: the line monitor's own look runs as a DPC of
    // the running machine and must not race this one.
    gState->gate->Exclusive([&](hk::Kernel& kernel) {
        kernel.Call([&] {
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
    });
}

bool GlobalObjectExists(const std::wstring& name) {
    bool exists = false;
    gState->gate->Run([&] { exists = hk::ObLookupName(L"\\BaseNamedObjects\\" + name) != nullptr; });
    return exists;
}

void WriteDriveCFile(const std::string& relativePath, const std::string& text) {
    const std::filesystem::path path = gState->driveC + "/" + relativePath;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

void RemoveDriveCFile(const std::string& relativePath) { std::remove((gState->driveC + "/" + relativePath).c_str()); }

e2e::RunResult RunProbe(const std::string& socket, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {SENTREL_PROBE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return e2e::Run(argv, socket);
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
