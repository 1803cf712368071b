#include "driver_machine.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace zhptest {

const wchar_t* const kInitKey = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT";

static hk::KernelOptions KernelOptionsFor(const MachineOptions& o) {
    hk::KernelOptions k;
    k.seed = o.seed;
    k.preemptPercent = o.preemptPercent;
    k.clockInterrupt = o.clockInterrupt;
    k.lockTimerResolution = o.lockTimerResolution;
    k.processors = o.processors;
    return k;
}

Machine::Machine(const MachineOptions& options)
    : kernel(KernelOptionsFor(options)), chipset(kernel.Clock(), options.chipset), storage(kernel) {
    if (options.loadRegistry) {
        for (const char* file : {"/install/ZHP.reg", "/install/Halvorin.reg"}) {
            auto error = kernel.Reg().ImportFile(std::string(ZHP_SOURCE_DIR) + file);
            if (error) throw std::runtime_error(error->ToString());
        }
    }
    if (options.editRegistry) options.editRegistry(kernel.Reg());
    for (const auto& range : chipset.PortRanges()) kernel.MapPorts(range.first, range.count, range.handler);
    for (const auto& range : chipset.MemoryRanges()) kernel.MapMemory(range.first, range.length, range.handler);
    for (const auto& disk : options.disks) {
        storage.AddDisk(disk).SetFreeFallProbe([this](hk::Time100ns t) { return chipset.Motion().InFreeFall(t); });
    }
    zhp = kernel.LoadDriverModule(L"ZHP", ZHP_MODULE_PATH);
    if (zhp == nullptr) throw std::runtime_error("ZHP did not load");
    module_ = dlopen(ZHP_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (options.start) startResults = storage.StartAll({zhp});
}

Machine::~Machine() {
    if (module_ != nullptr) dlclose(module_);
}

void* Machine::Symbol(const char* name) {
    void* p = dlsym(module_, name);
    if (p == nullptr) throw std::runtime_error(std::string("no driver symbol ") + name);
    return p;
}

PDEVICE_OBJECT Machine::Filter() { return Global<PDEVICE_OBJECT>("FilterDeviceObject"); }

DEVICE_EXTENSION* Machine::FilterExt() {
    PDEVICE_OBJECT filter = Filter();
    return filter == nullptr ? nullptr : static_cast<DEVICE_EXTENSION*>(filter->DeviceExtension);
}

PDEVICE_OBJECT Machine::Control() {
    PDEVICE_OBJECT device = nullptr;
    kernel.Call([&] { device = hk::FindDevice(ZHP_CONTROL_DEVICE_KERNEL_NAME); });
    return device;
}

hk::RequestPtr Machine::SendCommand(std::uint32_t command, std::vector<std::pair<unsigned, std::uint32_t>> words,
                                    PDEVICE_OBJECT device, ULONG inLength, ULONG outLength) {
    if (device == nullptr) device = Control();
    std::vector<std::uint8_t> block(inLength, 0);
    auto put = [&](unsigned offset, std::uint32_t value) {
        for (unsigned i = 0; i < 4 && offset + i < block.size(); ++i) block[offset + i] = (value >> (8 * i)) & 0xFF;
    };
    put(0, command);
    for (auto& w : words) put(w.first, w.second);
    hk::RequestPtr request;
    Do([&] { request = hk::SendDeviceControl(device, ZHP_IOCTL_COMMAND, block, outLength, UserMode); });
    return request;
}

Reply Machine::ReplyOf(const hk::HostRequest& request) {
    Reply reply;
    reply.status = request.status;
    reply.bytes = request.information;
    for (unsigned i = 0; i < 20 && (i + 1) * 4 <= request.buffer.size(); ++i) {
        const std::uint8_t* b = &request.buffer[i * 4];
        reply.words[i] = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    }
    return reply;
}

Reply Machine::Command(std::uint32_t command, std::vector<std::pair<unsigned, std::uint32_t>> words,
                       hk::Time100ns limit) {
    hk::RequestPtr request = SendCommand(command, std::move(words));
    hk::Time100ns until = kernel.Now() + limit;
    while (!request->completed && kernel.Now() < until && !kernel.Stopped()) kernel.RunFor(hk::kMillisecond);
    EXPECT_TRUE(request->completed) << "command " << command << " did not complete";
    return ReplyOf(*request);
}

void Machine::Do(const std::function<void()>& fn) {
    ASSERT_TRUE(kernel.Call(fn)) << kernel.Stop().ToString();
}

void Machine::Run(hk::Time100ns duration) {
    ASSERT_TRUE(kernel.RunFor(duration)) << kernel.Stop().ToString();
}

void Machine::Pin(bool on) { chipset.Gpio().ForcePin(on); }

std::string Machine::Trace() const {
    std::string all;
    for (const auto& line : kernel.DebugOutput()) all += line;
    return all;
}

bool Machine::TraceHas(const std::string& text) const { return Trace().find(text) != std::string::npos; }

}  // namespace zhptest
