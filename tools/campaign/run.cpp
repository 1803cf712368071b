#include "run.h"

#include "machine.h"
#include "script.h"
#include "summary.h"

#include "core/device_extension.h"
#include "shared/zhp_command.h"

#include <hostkernel/io.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <unordered_map>

namespace campaign {
namespace {

using hk::kMillisecond;

constexpr std::uint32_t kRequestBytes = 4096;
constexpr std::uint64_t kFirstOffset = 1ull << 20;

struct Tracked {
    hk::RequestPtr request;
    RequestFacts facts;
};

// The request the current emulated thread is sending, so that the driver's
// message about holding it names it.
thread_local Tracked* tSending = nullptr;

std::uint32_t IrpOf(const std::string& line) {
    const std::size_t at = line.find("Irp = 0x");
    return at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(line.substr(at + 8, 8), nullptr, 16));
}

bool Has(const std::string& line, const char* text) { return line.find(text) != std::string::npos; }

class Runner {
public:
    Runner(const Plan& plan, const RunOptions& options) : plan_(plan), options_(options) {}

    RunResult Go() {
        notebook::MachineOptions mo;
        mo.seed = plan_.seeds.kernel;
        mo.noise_seed = plan_.seeds.noise;
        mo.motion_seed = plan_.seeds.motion;
        mo.preempt_percent = plan_.preemptPercent;
        mo.clock_interrupt =
            plan_.clock == ClockKind::Exact ? hk::ClockInterrupt::Exact : hk::ClockInterrupt::Windows;
        mo.processors = plan_.processors;
        mo.registry_files = notebook::DefaultRegistryFiles(options_.sourceDir);
        hw::DiskConfig disk;
        disk.seed = plan_.seeds.disk;
        mo.disks = {disk};
        mo.driver_path = options_.driverPath;
        // Nothing here reads the line monitor: let it sample rarely.
        mo.line_sample_period = 100 * kMillisecond;
        machine_ = std::make_unique<notebook::Machine>(mo);
        hk::Kernel& k = machine_->Kernel();
        k.SetDebugSink([this](const std::string& line) { OnLine(line); });
        machine_->Boot();
        if (!k.Stopped() && Begin()) {
            if (!k.Stopped()) Timeline();
            if (!k.Stopped()) Settle();
        }
        Facts();
        k.SetDebugSink(nullptr);
        for (PKTHREAD t : threads_) k.ReleaseThread(t);
        result_.virtualTime = k.Now();
        machine_.reset();
        return std::move(result_);
    }

private:
    hk::Kernel& K() { return machine_->Kernel(); }
    hk::Time100ns Now() { return K().Now(); }

    DEVICE_EXTENSION* Ext() {
        PDEVICE_OBJECT filter = filterObject_ != nullptr ? *filterObject_ : nullptr;
        return filter == nullptr ? nullptr : static_cast<DEVICE_EXTENSION*>(filter->DeviceExtension);
    }

    // The driver's own view: reads and writes are held now.
    bool Blocked() {
        DEVICE_EXTENSION* ext = Ext();
        return ext != nullptr && (ext->Flag & (FLAG_FREE_FALL | FLAG_IO_BLOCKED)) != 0;
    }

    void NotTaken(const Step& s, const std::string& why) { result_.notTaken.push_back(s.ToString() + ": " + why); }
    void Seen(const std::string& what) { result_.facts.seenWhileRunning.push_back(what); }
    void Took(ActionKind kind, bool whileBlocked) {
        result_.taken[static_cast<std::size_t>(kind)]++;
        if (whileBlocked) result_.takenWhileBlocked[static_cast<std::size_t>(kind)]++;
    }

    // False when the run cannot go on as planned.
    bool Begin() {
        InMachine([this] { KeInitializeEvent(&diskGate_, SynchronizationEvent, TRUE); });
        if (machine_->Zhp() == nullptr || machine_->ProtectedDisk() == nullptr) {
            result_.notTaken.push_back("boot: ZHP does not protect the disk");
            return false;
        }
        // The driver's globals, for a look at its queue and counters.
        void* module = dlopen(options_.driverPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (module != nullptr) {
            filterObject_ = static_cast<PDEVICE_OBJECT*>(dlsym(module, "FilterDeviceObject"));
            dlclose(module);  // the kernel keeps the image loaded until it goes
        }
        if (filterObject_ == nullptr) {
            result_.notTaken.push_back("boot: no FilterDeviceObject in the driver image");
            return false;
        }
        start_ = Now();
        // Protection on, as the utility does at start-up.
        hk::RequestPtr on = Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
        if (on == nullptr) {
            result_.notTaken.push_back("boot: no control device to switch protection on");
            return false;
        }
        K().Call([&] { hk::WaitRequest(*on); });
        start_ = Now();
        if (options_.keepTrace) {
            char text[96];
            std::snprintf(text, sizeof text, "[%12.4f ms] campaign: protection on; the plan's times count from here\n",
                          static_cast<double>(start_) / kMillisecond);
            result_.trace += text;
        }
        return true;
    }

    // ------------------------------------------------------------ steps

    void Timeline() {
        struct Event {
            Time100ns at;
            std::function<void()> take;
        };
        std::vector<Event> events;
        for (const Step& s : plan_.steps) {
            events.push_back({s.at, [this, &s] { Start(s); }});
            if (s.length > 0) events.push_back({s.at + s.length, [this, &s] { End(s); }});
        }
        std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
        for (std::size_t i = 0; i < plan_.senders.size(); ++i) {
            const SenderPlan* sp = &plan_.senders[i];
            threads_.push_back(K().Spawn([this, sp] { Send(*sp); }, 8, "sender"));
        }
        for (const Event& e : events) {
            if (!K().RunUntil(start_ + e.at)) return;
            e.take();
            ScanQueue();
            if (K().Stopped()) return;
        }
    }

    bool InMachine(const std::function<void()>& fn) { return K().Call(fn, 8, "world"); }

    // A sender finds the disk and sends to it, or the disk is removed: never
    // both at once. A program's open handle keeps a disk from being removed
    // under a request it is sending; the senders here hold no handle, so the
    // gate stands in for it (on two processors the removal would otherwise
    // delete the stack between a sender's look and its send).
    void EnterDiskGate() { KeWaitForSingleObject(&diskGate_, Executive, KernelMode, FALSE, nullptr); }
    void LeaveDiskGate() { KeSetEvent(&diskGate_, IO_NO_INCREMENT, FALSE); }

    NTSTATUS RemoveTheDisk(hw::Disk& disk) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        InMachine([&] {
            EnterDiskGate();
            status = machine_->Storage().RemoveDisk(disk);
            LeaveDiskGate();
        });
        return status;
    }

    hw::Disk* TheDisk() { return machine_->FirstDisk(); }

    void Start(const Step& s) {
        hw::Chipset& chipset = machine_->Chipset();
        const bool blocked = Blocked();
        switch (s.kind) {
        case ActionKind::Drop:
            InMachine([&] { chipset.Motion().Drop(s.metres, Now()); });
            break;
        case ActionKind::Pin: InMachine([&] { chipset.Gpio().ForcePin(true); }); break;
        case ActionKind::Release106:
        case ActionKind::SwitchOff102:
        case ActionKind::SwitchOn102:
        case ActionKind::Write100:
        case ActionKind::Read101:
            if (!CommandStep(s)) return;
            break;
        case ActionKind::DevicePower:
            if (!Power(s, static_cast<DEVICE_POWER_STATE>(s.value))) return;
            break;
        case ActionKind::Suspend:
            if (!SystemPower(s, true)) return;
            break;
        case ActionKind::Shutdown: {
            hw::Disk* disk = TheDisk();
            PDEVICE_OBJECT top = disk != nullptr ? machine_->Storage().Top(*disk) : nullptr;
            if (top == nullptr) return NotTaken(s, "no disk to shut down");
            Tracked* t = Track('C', 0);
            InMachine([&] { t->request = hk::SendShutdown(top); });
            break;
        }
        case ActionKind::Remove: {
            hw::Disk* disk = TheDisk();
            if (disk == nullptr) return NotTaken(s, "no disk to remove");
            const NTSTATUS status = RemoveTheDisk(*disk);
            if (!NT_SUCCESS(status)) return NotTaken(s, "removal failed");
            break;
        }
        case ActionKind::DiskFault:
            if (!DiskFault(s, true)) return;
            break;
        case ActionKind::BusFault:
            InMachine([&] {
                if (s.busFault == BusFaultKind::HungController) {
                    chipset.Smbus().SetHung(true);
                } else {
                    chipset.Sensor().SetAnswering(false);
                }
            });
            break;
        default: return NotTaken(s, "not a step");
        }
        Took(s.kind, blocked);
    }

    void End(const Step& s) {
        hw::Chipset& chipset = machine_->Chipset();
        switch (s.kind) {
        case ActionKind::Pin: InMachine([&] { chipset.Gpio().ReleaseForce(); }); break;
        case ActionKind::DevicePower: Power(s, PowerDeviceD0); break;
        case ActionKind::Suspend: SystemPower(s, false); break;
        case ActionKind::DiskFault: DiskFault(s, false); break;
        case ActionKind::BusFault:
            InMachine([&] {
                chipset.Smbus().SetHung(false);
                chipset.Sensor().SetAnswering(true);
            });
            break;
        default: break;
        }
    }

    // A command block to the control device from a thread of its own.
    hk::RequestPtr Command(std::uint32_t command, std::vector<std::pair<unsigned, std::uint32_t>> words) {
        std::vector<std::uint8_t> block(ZHP_COMMAND_BLOCK_SIZE, 0);
        auto put = [&](unsigned offset, std::uint32_t value) {
            for (unsigned i = 0; i < 4; ++i) block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
        };
        put(0, command);
        for (const auto& w : words) put(w.first, w.second);
        Tracked* t = Track('C', 0);
        InMachine([&] {
            PDEVICE_OBJECT control = hk::FindDevice(ZHP_CONTROL_DEVICE_KERNEL_NAME);
            if (control != nullptr) {
                t->request = hk::SendDeviceControl(control, ZHP_IOCTL_COMMAND, block, ZHP_COMMAND_BLOCK_SIZE, UserMode);
            }
        });
        if (t->request == nullptr) {
            tracked_.pop_back();
            return nullptr;
        }
        return t->request;
    }

    bool CommandStep(const Step& s) {
        hk::RequestPtr r;
        switch (s.kind) {
        case ActionKind::Release106: r = Command(ZHP_CMD_RELEASE_DISK, {}); break;
        case ActionKind::SwitchOff102: r = Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 0}}); break;
        case ActionKind::SwitchOn102: r = Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}}); break;
        // Registers 0x60..0x63 hold nothing the driver or the sensor uses.
        case ActionKind::Write100: r = Command(ZHP_CMD_WRITE_SENSOR, {{40, 0x55615560}, {44, 0x55635562}, {64, 8}}); break;
        default: r = Command(ZHP_CMD_READ_SENSOR, {{16, 0x32}, {64, 6}}); break;
        }
        if (r == nullptr) NotTaken(s, "no control device");
        return r != nullptr;
    }

    // The disk's physical device object for a power step; null (and the
    // step not taken) when the disk is gone.
    PDEVICE_OBJECT PdoFor(const Step& s) {
        hw::Disk* disk = TheDisk();
        PDEVICE_OBJECT pdo = disk != nullptr ? machine_->Storage().Pdo(*disk) : nullptr;
        if (pdo == nullptr) NotTaken(s, "no disk to power");
        return pdo;
    }

    bool Power(const Step& s, DEVICE_POWER_STATE state) {
        PDEVICE_OBJECT pdo = PdoFor(s);
        if (pdo == nullptr) return false;
        threads_.push_back(K().Spawn([pdo, state] { hk::PoSetDevicePower(pdo, state); }, 8, "power manager"));
        return true;
    }

    bool SystemPower(const Step& s, bool sleep) {
        PDEVICE_OBJECT pdo = PdoFor(s);
        if (pdo == nullptr) return false;
        threads_.push_back(K().Spawn(
            [pdo, sleep] {
                hk::PoSetSystemPower(pdo, sleep ? PowerSystemSleeping3 : PowerSystemWorking);
                hk::PoSetDevicePower(pdo, sleep ? PowerDeviceD3 : PowerDeviceD0);
            },
            8, "power manager"));
        return true;
    }

    bool DiskFault(const Step& s, bool on) {
        hw::Disk* disk = TheDisk();
        if (disk == nullptr) {
            NotTaken(s, "no disk for the fault");
            return false;
        }
        InMachine([&] {
            hw::DiskFaults& faults = disk->Faults();
            switch (s.diskFault) {
            case DiskFaultKind::FailPark: faults.fail_park = on; break;
            case DiskFaultKind::SlowPark: faults.slow_park = on ? s.value * kMillisecond : 0; break;
            case DiskFaultKind::IoErrors: faults.io_error_every = on ? s.value : 0; break;
            }
        });
        return true;
    }

    // ------------------------------------------------------------ senders

    Tracked* Track(char op, std::uint64_t offset) {
        tracked_.emplace_back();
        Tracked* t = &tracked_.back();
        t->facts.op = op;
        t->facts.offset = offset;
        t->facts.sentAt = Now();
        return t;
    }

    void Send(const SenderPlan& sp) {
        std::mt19937_64 rng(sp.seed);
        std::vector<Tracked*> mine;
        auto delay = [](Time100ns span) {
            LARGE_INTEGER interval;
            interval.QuadPart = -static_cast<LONGLONG>(span);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        };
        auto pause = [&](Time100ns most) { delay(1 + static_cast<Time100ns>(rng() % static_cast<std::uint64_t>(most))); };
        if (Now() < start_ + sp.from) delay(start_ + sp.from - Now());
        while (Now() < start_ + sp.until) {
            const unsigned op = static_cast<unsigned>(rng() % 100);
            if (op < sp.readPercent + sp.writePercent + sp.flushPercent) {
                EnterDiskGate();
                hw::Disk* disk = TheDisk();
                PDEVICE_OBJECT top = disk != nullptr ? machine_->Storage().Top(*disk) : nullptr;
                if (top == nullptr) {
                    LeaveDiskGate();
                    return;  // the disk is gone
                }
                const char kind = op < sp.readPercent ? 'R' : op < sp.readPercent + sp.writePercent ? 'W' : 'F';
                Tracked* t = Track(kind, kind == 'F' ? 0 : kFirstOffset + (nextBlock_++) * kRequestBytes);
                tSending = t;
                if (kind == 'R') {
                    t->request = hk::SendRead(top, t->facts.offset, kRequestBytes);
                } else if (kind == 'W') {
                    t->request = hk::SendWrite(top, t->facts.offset,
                                               std::vector<std::uint8_t>(kRequestBytes, static_cast<std::uint8_t>(op)));
                } else {
                    t->request = hk::SendFlush(top);
                }
                tSending = nullptr;
                LeaveDiskGate();
                mine.push_back(t);
                Took(kind == 'R' ? ActionKind::Read : kind == 'W' ? ActionKind::Write : ActionKind::Flush,
                     Blocked());
            } else {
                std::vector<Tracked*> pending;
                for (Tracked* t : mine) {
                    if (!t->request->completed) pending.push_back(t);
                }
                if (!pending.empty()) {
                    Tracked* victim = pending[rng() % pending.size()];
                    const bool held = victim->facts.held && victim->facts.left == LeftBy::Nothing;
                    hk::CancelRequest(*victim->request);
                    Took(ActionKind::Cancel, held);
                }
            }
            pause(sp.maxPause);
        }
    }

    // ------------------------------------------------------------ watching the driver

    Block* OpenBlock() {
        auto& blocks = result_.facts.blocks;
        return !blocks.empty() && blocks.back().released < 0 ? &blocks.back() : nullptr;
    }

    Time100ns LastPark() {
        hw::Disk* disk = machine_->ProtectedDisk();
        if (disk != nullptr) {
            const auto& commands = disk->AtaCommands();
            for (auto c = commands.rbegin(); c != commands.rend(); ++c) {
                if (notebook::IsParkCommand(c->task)) return c->received;
            }
        }
        return Now();
    }

    // Requests in the driver's queue get their place in the order of
    // holding as they are first seen there (the queue keeps that order);
    // none of them may have completed.
    void ScanQueue() {
        DEVICE_EXTENSION* ext = Ext();
        if (ext == nullptr) return;
        for (LIST_ENTRY* e = ext->PendingIrpList.Flink; e != &ext->PendingIrpList; e = e->Flink) {
            PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            auto found = byIrp_.find(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(irp)));
            if (found == byIrp_.end()) {
                Seen("a request is in the queue that the driver never reported held");
                continue;
            }
            Tracked* t = found->second;
            if (t->facts.holdIndex < 0) t->facts.holdIndex = nextHold_++;
            if (t->request != nullptr && t->request->completed) {
                std::ostringstream text;
                text << "request at 0x" << std::hex << t->facts.offset << " completed while still held";
                Seen(text.str());
            }
        }
    }

    void OnLine(const std::string& line) {
        const Time100ns now = Now();
        if (options_.keepTrace) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "[%12.4f ms] ", static_cast<double>(now) / kMillisecond);
            result_.trace += stamp + line;
            if (line.empty() || line.back() != '\n') result_.trace += '\n';
        }
        if (Has(line, "driver managed queue") && !Has(line, "canceled")) {
            if (tSending == nullptr) {
                Seen("a request held outside its sender's dispatch: " + line);
            } else {
                tSending->facts.held = true;
                tSending->facts.heldAt = now;
                byIrp_[IrpOf(line)] = tSending;
            }
        } else if (Has(line, "to lower storage stack") || Has(line, "in driver managed queue is canceled")) {
            OnLeft(line, now);
        } else if (Has(line, "ZHP_FFDetected(): The Filter driver will park disk")) {
            const Time100ns parked = LastPark();
            result_.facts.lastPark = parked;
            if (Block* open = OpenBlock()) open->released = parked;
            result_.facts.blocks.push_back(Block{parked, -1, -1});
        } else if (Has(line, "Reset the timer")) {
            if (Block* open = OpenBlock()) {
                if (open->cleared < 0) open->cleared = now;
            }
        } else if (Has(line, "ZHP_RecoveryDPC(): The IO will be resumed")) {
            if (Block* open = OpenBlock()) open->released = now;
        }
        ScanQueue();
    }

    // A held request has just been taken out of the queue: no request held
    // before it may still be there.
    void OnLeft(const std::string& line, Time100ns now) {
        auto found = byIrp_.find(IrpOf(line));
        if (found == byIrp_.end()) {
            Seen("a request left the queue that was never held: " + line);
            return;
        }
        Tracked* t = found->second;
        if (t->facts.holdIndex < 0) t->facts.holdIndex = nextHold_++;
        RequestFacts& f = t->facts;
        f.leftAt = now;
        f.left = Has(line, "canceled")                  ? LeftBy::DriverCancel
                 : line.rfind("ZHP_Flush(", 0) == 0      ? LeftBy::Flush
                 : line.rfind("ZHP_RecoveryDPC(", 0) == 0 ? LeftBy::Release
                                                          : LeftBy::Stranded;
        DEVICE_EXTENSION* ext = Ext();
        if (ext == nullptr) return;
        // Whether the fall was over when a flush passed this request on.
        if (f.left == LeftBy::Flush) f.fallClearedWhenLeft = (ext->Flag & FLAG_FALL_CLEARED) != 0 ? now : -1;
        for (LIST_ENTRY* e = ext->PendingIrpList.Flink; e != &ext->PendingIrpList; e = e->Flink) {
            PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            auto other = byIrp_.find(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(irp)));
            if (other == byIrp_.end()) continue;
            if (other->second == t) {
                Seen("a request is still queued after it left: " + line);
            } else if (other->second->facts.holdIndex >= 0 && other->second->facts.holdIndex < f.holdIndex) {
                std::ostringstream text;
                text << "request at 0x" << std::hex << f.offset << " left the queue before the older one at 0x"
                     << other->second->facts.offset << ": " << line;
                Seen(text.str());
            }
        }
    }

    // ------------------------------------------------------------ the end

    bool AllDone() {
        for (PKTHREAD t : threads_) {
            if (!K().ThreadFinished(t)) return false;
        }
        for (const Tracked& t : tracked_) {
            if (t.request == nullptr || !t.request->completed) return false;
        }
        return true;
    }

    void Settle() {
        // Whatever still lasts is over: the line follows the sensor, the bus
        // and the disk work.
        InMachine([&] {
            hw::Chipset& chipset = machine_->Chipset();
            chipset.Gpio().ReleaseForce();
            chipset.Smbus().SetHung(false);
            chipset.Sensor().SetAnswering(true);
            if (hw::Disk* disk = TheDisk()) disk->Faults() = hw::DiskFaults{};
        });
        const Time100ns limit = Now() + kSettleLimit;
        while (!AllDone() && Now() < limit) {
            if (!K().RunFor(20 * kMillisecond)) return;
            ScanQueue();
        }
    }

    void Facts() {
        RunFacts& facts = result_.facts;
        hk::Kernel& k = K();
        if (!k.Stopped()) {
            if (DEVICE_EXTENSION* ext = Ext()) {
                facts.driverPresent = true;
                facts.outstandingIo = ext->OutstandingIo;
                facts.readQueued = ext->ReadQueued;
                facts.writeQueued = ext->WriteQueued;
                facts.dispatchForwardCount = ext->DispatchForwardCount;
            }
        }
        for (const Tracked& t : tracked_) {
            RequestFacts f = t.facts;
            if (t.request != nullptr) {
                f.completed = t.request->completed;
                f.completions = t.request->completions;
                f.status = t.request->status;
            }
            facts.requests.push_back(f);
        }
        if (hw::Disk* disk = machine_->ProtectedDisk()) {
            for (const hw::MediaAccess& a : disk->MediaAccesses()) facts.media.push_back({a.offset, a.received, a.start, a.failed});
        }
        // Removal and unload: nothing may be left behind.
        if (!k.Stopped()) {
            if (hw::Disk* disk = TheDisk()) RemoveTheDisk(*disk);
        }
        if (!k.Stopped()) {
            k.UnloadDriver(machine_->Zhp());
            facts.unloaded = !k.Stopped();
        }
        if (k.Stopped()) facts.verifierStop = k.Stop().ToString();
    }

    const Plan& plan_;
    const RunOptions& options_;
    RunResult result_;
    std::unique_ptr<notebook::Machine> machine_;
    PDEVICE_OBJECT* filterObject_ = nullptr;
    KEVENT diskGate_;
    Time100ns start_ = 0;
    std::vector<PKTHREAD> threads_;
    std::deque<Tracked> tracked_;
    std::unordered_map<std::uint32_t, Tracked*> byIrp_;
    std::int64_t nextHold_ = 0;
    std::uint64_t nextBlock_ = 0;
};

}  // namespace

RunResult Execute(const Plan& plan, const RunOptions& options) { return Runner(plan, options).Go(); }

}  // namespace campaign
