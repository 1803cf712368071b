#include "sensor_rig.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace sensortest {

void SetInit(hk::Registry& reg, const std::wstring& name, std::vector<std::uint8_t> data, std::uint32_t type) {
    if (!reg.SetValue(zhptest::kInitKey, name, type, std::move(data), true)) {
        throw std::runtime_error("registry value not set");
    }
}

void DeleteInit(hk::Registry& reg, const std::wstring& name) { reg.DeleteValue(zhptest::kInitKey, name); }

std::optional<std::vector<std::uint8_t>> InitValue(Machine& m, const std::wstring& name) {
    auto value = m.kernel.Reg().GetValue(zhptest::kInitKey, name);
    if (!value) return std::nullopt;
    return value->data;
}

// ------------------------------------------------------------------ SMBus tap

void SmbusTap::Attach(hw::SmbusHostController& controller, hk::TimeSource& clock) {
    controller_ = &controller;
    clock_ = &clock;
}

std::uint32_t SmbusTap::ReadPort(std::uint16_t port, unsigned width) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width / 8; ++i) {
        const auto offset = static_cast<std::uint8_t>(port + i - kBase);
        auto byte = static_cast<std::uint8_t>(controller_->ReadPort(controller_->Base() + offset, 8));
        if (readFilter) byte = readFilter(offset, byte);
        if (recording) log.push_back({clock_->Now(), offset, false, byte});
        value |= static_cast<std::uint32_t>(byte) << (8 * i);
    }
    return value;
}

void SmbusTap::WritePort(std::uint16_t port, std::uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width / 8; ++i) {
        const auto offset = static_cast<std::uint8_t>(port + i - kBase);
        const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
        if (recording) log.push_back({clock_->Now(), offset, true, byte});
        controller_->WritePort(controller_->Base() + offset, byte, 8);
    }
}

std::vector<SmbusTap::Started> SmbusTap::StartedTransactions(std::uint8_t slave8) const {
    // A transaction starts with a write of the start bit to the host control;
    // the command and slave address last written before it are its own.
    std::vector<Started> started;
    std::uint8_t command = 0;
    std::uint8_t slave = 0;
    for (const auto& a : log) {
        if (!a.write) continue;
        if (a.offset == 3) command = a.value;
        if (a.offset == 4) slave = a.value;
        if (a.offset == 2 && (a.value & 0x40) && slave == slave8) started.push_back({a.at, command});
    }
    return started;
}

std::vector<std::uint8_t> SmbusTap::Transactions(std::uint8_t slave8) const {
    std::vector<std::uint8_t> registers;
    for (const auto& s : StartedTransactions(slave8)) registers.push_back(s.reg);
    return registers;
}

std::vector<SmbusAccess> SmbusTap::Writes() const {
    std::vector<SmbusAccess> writes;
    for (const auto& a : log) {
        if (a.write) writes.push_back(a);
    }
    return writes;
}

std::unique_ptr<Machine> BootWithTap(SmbusTap& tap, MachineOptions options) {
    const bool start = options.start;
    auto edit = options.editRegistry;
    options.editRegistry = [edit](hk::Registry& reg) {
        SetInit(reg, L"PCI_SMBUS_ADDR", {SmbusTap::kBase >> 8, SmbusTap::kBase & 0xFF});
        if (edit) edit(reg);
    };
    options.start = false;
    auto m = std::make_unique<Machine>(options);
    tap.Attach(m->chipset.Smbus(), m->kernel.Clock());
    m->kernel.MapPorts(SmbusTap::kBase, SmbusTap::kCount, &tap);
    if (start) m->startResults = m->storage.StartAll({m->zhp});
    return m;
}

// ------------------------------------------------------------------ device-control spy

namespace {
DeviceControlSpy* activeSpy = nullptr;
}

DeviceControlSpy::DeviceControlSpy(Machine& m) : m_(m) {
    if (activeSpy != nullptr) throw std::logic_error("one spy at a time");
    activeSpy = this;
    PDRIVER_OBJECT disk = m.storage.ClassDriver();
    original_ = disk->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    disk->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &DeviceControlSpy::Dispatch;
}

DeviceControlSpy::~DeviceControlSpy() {
    m_.storage.ClassDriver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = original_;
    activeSpy = nullptr;
}

NTSTATUS DeviceControlSpy::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    DeviceControlSpy* spy = activeSpy;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    CapturedDeviceControl c;
    c.code = sp->Parameters.DeviceIoControl.IoControlCode;
    c.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    c.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const auto* in = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (in != nullptr) c.input.assign(in, in + c.inputLength);
    c.at = spy->m_.kernel.Now();
    spy->requests.push_back(std::move(c));
    return spy->original_(device, irp);
}

// ------------------------------------------------------------------ timed trace

TimedTrace::TimedTrace(Machine& m) : m_(m) {
    m.kernel.SetDebugSink([this](const std::string& text) { lines.push_back({m_.kernel.Now(), text}); });
}

TimedTrace::~TimedTrace() { m_.kernel.SetDebugSink(nullptr); }

std::vector<hk::Time100ns> TimedTrace::TimesOf(const std::string& text) const {
    std::vector<hk::Time100ns> times;
    for (const auto& line : lines) {
        if (line.text.find(text) != std::string::npos) times.push_back(line.at);
    }
    return times;
}

std::optional<hk::Time100ns> TimedTrace::First(const std::string& text) const {
    auto times = TimesOf(text);
    if (times.empty()) return std::nullopt;
    return times.front();
}

// ------------------------------------------------------------------ named events

FallEvents::FallEvents(Machine& m) : m_(m) {
    m.Do([&] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, ZHP_FREE_FALL_EVENT_KERNEL_NAME);
        fall = IoCreateNotificationEvent(&name, &fallHandle_);
        RtlInitUnicodeString(&name, ZHP_FREE_FALL_CLEARED_EVENT_KERNEL_NAME);
        cleared = IoCreateNotificationEvent(&name, &clearedHandle_);
    });
    if (fall == nullptr || cleared == nullptr) throw std::runtime_error("named events not opened");
}

FallEvents::~FallEvents() {
    if (m_.kernel.Stopped()) return;
    m_.kernel.Call([&] {
        ZwClose(fallHandle_);
        ZwClose(clearedHandle_);
    });
}

bool FallEvents::Fall() {
    LONG state = 0;
    m_.Do([&] { state = KeReadStateEvent(fall); });
    return state != 0;
}

bool FallEvents::Cleared() {
    LONG state = 0;
    m_.Do([&] { state = KeReadStateEvent(cleared); });
    return state != 0;
}

void FallEvents::Reset() {
    m_.Do([&] {
        KeClearEvent(fall);
        KeClearEvent(cleared);
    });
}

void FallEvents::Set() {
    m_.Do([&] {
        KeSetEvent(fall, IO_NO_INCREMENT, FALSE);
        KeSetEvent(cleared, IO_NO_INCREMENT, FALSE);
    });
}

// ------------------------------------------------------------------ running

bool RunUntil(Machine& m, const std::function<bool()>& done, hk::Time100ns limit, hk::Time100ns step) {
    const hk::Time100ns until = m.kernel.Now() + limit;
    while (!done()) {
        if (m.kernel.Now() >= until || m.kernel.Stopped()) return false;
        if (!m.kernel.RunFor(step)) return false;
    }
    return true;
}

void ProtectionOn(Machine& m) {
    zhptest::Reply on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{16, 0x26}, {24, 0x10}, {32, 1}, {36, 1}});
    ASSERT_EQ(on.status, STATUS_SUCCESS);
    ASSERT_TRUE(m.Flag() & ZHP_FLAG_SENSOR_ON);
}

std::size_t Occurrences(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace sensortest
