#include "actions.h"

#include "machine_events.h"

#include <hostkernel/io.h>

#include <algorithm>

namespace notebook {
namespace {

const char* PowerName(hw::DevicePower p) {
    static const char* names[] = {"D0", "D1", "D2", "D3"};
    return names[static_cast<int>(p) - 1];
}

void DelayUntil(hk::Time100ns due) {
    const auto now = static_cast<hk::Time100ns>(KeQueryInterruptTime());
    if (due <= now) return;
    LARGE_INTEGER interval;
    interval.QuadPart = -(due - now);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::vector<std::uint8_t> BlockData(std::uint64_t block) {
    std::vector<std::uint8_t> data(kRequestBytes);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(block * 31 + i);
    return data;
}

}  // namespace

ActionRunner::ActionRunner(Machine& machine, EventLog& log, RequestLedger& ledger)
    : machine_(machine), log_(log), ledger_(ledger) {}

ActionRunner::~ActionRunner() {
    for (PKTHREAD t : threads_) machine_.Kernel().ReleaseThread(t);
}

hk::Time100ns ActionRunner::Now() { return machine_.Kernel().Now(); }

bool ActionRunner::InMachine(const std::function<void()>& fn) { return machine_.Kernel().Call(fn, 8, "script"); }

void ActionRunner::OnOwnThread(const std::function<void()>& fn, const std::string& name) {
    threads_.push_back(machine_.Kernel().Spawn(fn, 8, name));
}

bool ActionRunner::Take(const Action& a, hk::Time100ns scheduled) {
    hk::Kernel& k = machine_.Kernel();
    if (k.Stopped()) return false;
    log_.Add(Now(), "action",
             JsonObject()
                 .Add("line", a.line)
                 .Add("action", a.text)
                 .Add("scheduled_us", static_cast<std::int64_t>(scheduled / hk::kMicrosecond)));
    switch (a.kind) {
    case ActionKind::PinOn:
    case ActionKind::PinOff:
    case ActionKind::PinLow: Pin(a); break;
    case ActionKind::Drop:
    case ActionKind::Rest:
    case ActionKind::Carry:
    case ActionKind::Typing:
    case ActionKind::Tilt: Motion(a); break;
    case ActionKind::Reads:
    case ActionKind::Writes: Requests(a); break;
    case ActionKind::Flush: Flush(); break;
    case ActionKind::Ioctl: Ioctl(a); break;
    case ActionKind::Power: Power(a); break;
    case ActionKind::Suspend: SystemPower(true); break;
    case ActionKind::Resume: SystemPower(false); break;
    case ActionKind::Remove: Remove(a); break;
    case ActionKind::Fault: Fault(a); break;
    case ActionKind::Shutdown: Shutdown(); break;
    }
    return !k.Stopped();
}

void ActionRunner::Pin(const Action& a) {
    InMachine([&] {
        hw::GpioLevelRegister& gpio = machine_.Chipset().Gpio();
        LineMonitor& line = machine_.Line();
        if (a.kind == ActionKind::PinOff) {
            gpio.ReleaseForce();
            line.SetForced(false);
        } else {
            gpio.ForcePin(a.kind == ActionKind::PinOn);
            line.SetForced(true);
        }
        line.Check();
        const char* state = a.kind == ActionKind::PinOn ? "on" : a.kind == ActionKind::PinOff ? "off" : "low";
        log_.Add(Now(), "pin", JsonObject().Add("state", state));
    });
}

void ActionRunner::Motion(const Action& a) {
    InMachine([&] {
        hw::MotionModel& motion = machine_.Chipset().Motion();
        const hk::Time100ns now = Now();
        switch (a.kind) {
        case ActionKind::Drop: {
            const hw::DropFacts facts = motion.Drop(a.value, now);
            log_.Add(now, "drop",
                     JsonObject()
                         .Add("metres", a.value)
                         .Add("fall_ms", static_cast<double>(facts.impact - facts.fall_start) / hk::kMillisecond)
                         .Add("impact_us", static_cast<std::int64_t>(facts.impact / hk::kMicrosecond))
                         .Add("settled_us", static_cast<std::int64_t>(facts.settled / hk::kMicrosecond))
                         .Add("bounces", static_cast<std::uint64_t>(facts.bounces.size())));
            return;
        }
        case ActionKind::Rest: motion.Rest(now); break;
        case ActionKind::Carry: motion.Carry(now); break;
        case ActionKind::Typing: motion.Type(now); break;
        default: motion.Tilt(a.value, a.value2, now); break;
        }
        log_.Add(now, "motion", JsonObject().Add("activity", a.text));
    });
}

void ActionRunner::Requests(const Action& a) {
    const bool write = a.kind == ActionKind::Writes;
    const std::uint32_t count = a.count;
    const hk::Time100ns every = a.every;
    OnOwnThread(
        [this, write, count, every] {
            const auto start = static_cast<hk::Time100ns>(KeQueryInterruptTime());
            for (std::uint32_t i = 0; i < count; ++i) {
                DelayUntil(start + static_cast<hk::Time100ns>(i) * every);
                hw::Disk* disk = machine_.FirstDisk();
                PDEVICE_OBJECT top = disk != nullptr ? machine_.Storage().Top(*disk) : nullptr;
                if (top == nullptr) {
                    log_.Add(Now(), "request_refused", JsonObject().Add("reason", "no disk"));
                    return;
                }
                const std::uint64_t block = next_block_++;
                const std::uint64_t offset = (block % 65536) * kRequestBytes;
                hk::RequestPtr r = write ? hk::SendWrite(top, offset, BlockData(block))
                                         : hk::SendRead(top, offset, kRequestBytes);
                ledger_.Add(IssuedRequest{r, write ? "write" : "read", disk->Name(), offset});
            }
        },
        write ? "user writes" : "user reads");
}

void ActionRunner::Flush() {
    OnOwnThread(
        [this] {
            hw::Disk* disk = machine_.FirstDisk();
            PDEVICE_OBJECT top = disk != nullptr ? machine_.Storage().Top(*disk) : nullptr;
            if (top == nullptr) {
                log_.Add(Now(), "request_refused", JsonObject().Add("reason", "no disk"));
                return;
            }
            ledger_.Add(IssuedRequest{hk::SendFlush(top), "flush", disk->Name(), 0});
        },
        "user flush");
}

void ActionRunner::Ioctl(const Action& a) {
    const std::array<std::uint32_t, 20> words = a.words;
    OnOwnThread(
        [this, words] {
            PDEVICE_OBJECT device = hk::FindDevice(L"\\DosDevices\\VELMORACC");
            if (device == nullptr) {
                log_.Add(Now(), "ioctl", JsonObject().Add("cmd", words[0]).Add("error", "no control device"));
                return;
            }
            std::vector<std::uint8_t> block(kCommandBlockSize);
            for (std::size_t i = 0; i < words.size(); ++i) {
                for (int b = 0; b < 4; ++b) block[i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
            }
            hk::RequestPtr r = hk::SendDeviceControl(device, kControlCode, block, kCommandBlockSize, UserMode);
            hk::WaitRequest(*r);
            std::vector<std::uint8_t> reply(r->buffer.begin(),
                                            r->buffer.begin() + std::min<std::size_t>(r->buffer.size(), kCommandBlockSize));
            reply.resize(kCommandBlockSize);
            log_.Add(r->completedAt, "ioctl",
                     ControlRequestFields(block, r->sentAt, r->status, static_cast<std::uint64_t>(r->information), reply));
        },
        "user ioctl");
}

void ActionRunner::Power(const Action& a) {
    const hw::DevicePower power = a.power;
    OnOwnThread(
        [this, power] {
            hw::Disk* disk = machine_.FirstDisk();
            PDEVICE_OBJECT pdo = disk != nullptr ? machine_.Storage().Pdo(*disk) : nullptr;
            if (pdo == nullptr) {
                log_.Add(Now(), "power", JsonObject().Add("state", PowerName(power)).Add("error", "no disk"));
                return;
            }
            const NTSTATUS status = hk::PoSetDevicePower(pdo, static_cast<DEVICE_POWER_STATE>(power));
            log_.Add(Now(), "power",
                     JsonObject().Add("disk", disk->Name()).Add("state", PowerName(power)).Add("status", HexStatus(status)));
        },
        "power manager");
}

void ActionRunner::SystemPower(bool sleep) {
    OnOwnThread(
        [this, sleep] {
            for (hw::Disk* disk : machine_.Storage().Disks()) {
                PDEVICE_OBJECT pdo = machine_.Storage().Pdo(*disk);
                if (pdo == nullptr || !machine_.Storage().Started(*disk)) continue;
                const NTSTATUS system = hk::PoSetSystemPower(pdo, sleep ? PowerSystemSleeping3 : PowerSystemWorking);
                const NTSTATUS device = hk::PoSetDevicePower(pdo, sleep ? PowerDeviceD3 : PowerDeviceD0);
                log_.Add(Now(), sleep ? "suspend" : "resume",
                         JsonObject()
                             .Add("disk", disk->Name())
                             .Add("system_status", HexStatus(system))
                             .Add("device_status", HexStatus(device)));
            }
        },
        "power manager");
}

void ActionRunner::Remove(const Action& a) {
    hw::Disk* disk = machine_.Storage().Find(a.disk);
    const NTSTATUS status = disk != nullptr ? machine_.Storage().RemoveDisk(*disk) : STATUS_NO_SUCH_DEVICE;
    log_.Add(Now(), "remove", JsonObject().Add("disk", a.disk).Add("status", HexStatus(status)));
}

void ActionRunner::Fault(const Action& a) {
    InMachine([&] {
        hw::Disk* disk = machine_.Storage().Find(a.disk);
        if (disk == nullptr) return;
        JsonObject fields;
        fields.Add("disk", a.disk);
        switch (a.fault) {
        case FaultKind::FailPark:
            disk->Faults().fail_park = a.count != 0;
            fields.Add("fail_park", a.count != 0);
            break;
        case FaultKind::SlowPark:
            disk->Faults().slow_park = a.every;
            fields.Add("slow_park_ms", static_cast<double>(a.every) / hk::kMillisecond);
            break;
        case FaultKind::IoErrors:
            disk->Faults().io_error_every = a.count;
            fields.Add("io_error_every", a.count);
            break;
        }
        log_.Add(Now(), "fault", fields);
    });
}

void ActionRunner::Shutdown() {
    OnOwnThread(
        [this] {
            for (hw::Disk* disk : machine_.Storage().Disks()) {
                PDEVICE_OBJECT top = machine_.Storage().Top(*disk);
                if (top == nullptr || !machine_.Storage().Started(*disk)) continue;
                hk::RequestPtr r = hk::SendShutdown(top);
                hk::WaitRequest(*r);
                log_.Add(r->completedAt, "shutdown", JsonObject().Add("disk", disk->Name()).Add("status", HexStatus(r->status)));
            }
        },
        "shutdown");
}

}  // namespace notebook
