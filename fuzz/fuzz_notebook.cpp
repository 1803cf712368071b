#include "fuzz_notebook.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hostkernel/registry.h"
#include "shared/zhp_command.h"

namespace zhpfuzz {
namespace {

// Dispatch routines return well within this much machine time, even with the
// SMBus hung (every step gives up after its retries).
constexpr hk::Time100ns kDispatchLimit = 60 * hk::kSecond;

struct RegFile {
    std::string name;
    std::string text;
};

// The installer's registry files, read once per process.
const std::vector<RegFile>& InstallerRegistry() {
    static const std::vector<RegFile> files = [] {
        std::vector<RegFile> result;
        for (const char* name : {"/install/ZHP.reg", "/install/Halvorin.reg"}) {
            std::string path = std::string(ZHP_SOURCE_DIR) + name;
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                std::abort();
            }
            std::ostringstream text;
            text << in.rdbuf();
            result.push_back({path, text.str()});
        }
        return result;
    }();
    return files;
}

hk::KernelOptions Options(std::uint64_t seed, unsigned preemptPercent) {
    hk::KernelOptions options;
    options.seed = seed;
    options.preemptPercent = preemptPercent;
    // For looking into a finding: ZHP_FUZZ_ECHO=1 prints the debug output as it happens.
    options.echoDebugOutput = std::getenv("ZHP_FUZZ_ECHO") != nullptr;
    return options;
}

std::function<void()>& AbortHook() {
    static std::function<void()> hook;
    return hook;
}

void RunAbortHook() {
    std::function<void()> hook = std::move(AbortHook());
    AbortHook() = nullptr;
    if (hook) hook();
}

}  // namespace

bool OpenAndClose(PDEVICE_OBJECT device) {
    NTSTATUS status = STATUS_PENDING;
    PFILE_OBJECT file = hk::OpenDevice(device, &status);
    if (status != STATUS_SUCCESS || file == nullptr) return false;
    hk::CloseDevice(file);
    return true;
}

void Notebook::BeforeAbort(std::function<void()> hook) { AbortHook() = std::move(hook); }

Notebook::Notebook(DriverImage& image, std::uint64_t seed, unsigned preemptPercent)
    : kernel(Options(seed, preemptPercent)), chipset(kernel.Clock()), storage(kernel), image_(image) {
    for (const RegFile& file : InstallerRegistry()) {
        if (auto error = kernel.Reg().ImportText(file.text, file.name)) Finding(error->ToString());
    }
    for (const auto& range : chipset.PortRanges()) kernel.MapPorts(range.first, range.count, range.handler);
    for (const auto& range : chipset.MemoryRanges()) kernel.MapMemory(range.first, range.length, range.handler);
    storage.AddDisk(hw::DiskConfig{}).SetFreeFallProbe([this](hk::Time100ns t) {
        return chipset.Motion().InFreeFall(t);
    });
    image_.Reset();
    zhp = kernel.LoadDriver(L"ZHP", image_.Entry());
    if (zhp == nullptr) Finding("ZHP did not load");
    std::vector<NTSTATUS> started = storage.StartAll({zhp});
    CheckNotStopped("boot");
    if (started.size() != 1 || started[0] != STATUS_SUCCESS) Finding("the disk did not start");
    if (Filter() == nullptr || Control() == nullptr) Finding("no filter or control device after boot");
}

Notebook::~Notebook() {
    for (PKTHREAD thread : threads_) kernel.ReleaseThread(thread);
}

PDEVICE_OBJECT Notebook::Control() {
    PDEVICE_OBJECT device = nullptr;
    kernel.Call([&] { device = hk::FindDevice(ZHP_CONTROL_DEVICE_KERNEL_NAME); });
    return device;
}

PDEVICE_OBJECT Notebook::Filter() { return *static_cast<PDEVICE_OBJECT*>(image_.Symbol("FilterDeviceObject")); }

void Notebook::Spawn(const std::function<void()>& fn, const char* name) {
    threads_.push_back(kernel.Spawn(fn, 8, name));
}

void Notebook::Do(const std::function<void()>& fn, const char* what) {
    PKTHREAD thread = kernel.Spawn(fn, 8, what);
    bool finished = kernel.Join(thread, kDispatchLimit);
    CheckNotStopped(what);
    if (!finished) Finding(std::string("no return within a minute of machine time: ") + what);
    kernel.ReleaseThread(thread);
}

void Notebook::Run(hk::Time100ns duration) {
    kernel.RunFor(duration);
    CheckNotStopped("run");
}

void Notebook::JoinAll(hk::Time100ns limit) {
    for (PKTHREAD thread : threads_) {
        if (!kernel.Join(thread, limit)) {
            CheckNotStopped("join");
            Finding("a caller's thread did not return");
        }
    }
}

void Notebook::CheckNotStopped(const char* where) {
    if (!kernel.Stopped()) return;
    std::fprintf(stderr, "verifier stop (%s):\n%s\n", where, kernel.Stop().ToString().c_str());
    RunAbortHook();
    std::abort();
}

void Notebook::Finding(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    const auto& lines = kernel.DebugOutput();
    std::size_t first = lines.size() > 40 ? lines.size() - 40 : 0;
    std::fprintf(stderr, "last debug output:\n");
    for (std::size_t i = first; i < lines.size(); ++i) std::fprintf(stderr, "  %s", lines[i].c_str());
    RunAbortHook();
    std::abort();
}

}  // namespace zhpfuzz
