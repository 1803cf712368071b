// A hard disk: sectors, heads, spindle and the facts that prove protection.
//
// The disk executes one command at a time. Its port driver (hw/storage.h)
// asks Begin() for the timeline of the next command, waits until the command
// is done in the kernel's clock and then calls Finish(), which moves the
// mechanics to their new state and records what happened. Everything here
// is plain host code: no kernel calls, times are given by the caller.
//
// Mechanics:
//   - A read or write needs the spindle turning and the heads on the media:
//     a stopped spindle spins up first, unloaded heads load first, then the
//     transfer takes a seeded time between transfer_min and transfer_max.
//   - IDLE IMMEDIATE with the UNLOAD FEATURE (command E1h, features 44h,
//     LBA 55h 4Eh 4Ch) unloads the heads onto the ramp; the spindle keeps
//     turning. STANDBY IMMEDIATE (E0h) unloads the heads and then stops the
//     spindle, about a second in all. Plain IDLE IMMEDIATE (E1h without the
//     unload signature) is accepted and changes nothing. Any other command
//     is aborted: status ERR, error ABRT.
//   - Device power D3 stops the spindle and unloads the heads; D0..D2 only
//     record the state. A media access in any state spins up as needed.
//
// Every media access is recorded with the time the heads began to move onto
// the media (or the transfer began, when they were there already) and its
// end; an access counts as made while falling when the free-fall probe says
// the notebook was airborne at any moment of that span.
#pragma once

#include <hostkernel/io_space.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace hw {

constexpr std::uint32_t kSectorSize = 512;

// ATA command and register values the disk understands.
namespace ata {
constexpr std::uint8_t kIdleImmediate = 0xE1;
constexpr std::uint8_t kStandbyImmediate = 0xE0;
constexpr std::uint8_t kUnloadFeature = 0x44;
constexpr std::uint8_t kUnloadLbaLow = 0x4C;
constexpr std::uint8_t kUnloadLbaMid = 0x4E;
constexpr std::uint8_t kUnloadLbaHigh = 0x55;
constexpr std::uint8_t kUnloadDone = 0xC4;  // LBA low after a successful unload
constexpr std::uint8_t kStatusReady = 0x50;  // DRDY | DSC
constexpr std::uint8_t kStatusError = 0x01;  // ERR
constexpr std::uint8_t kErrorAbort = 0x04;   // ABRT
}  // namespace ata

// The eight task-file registers in ATA_PASS_THROUGH_EX order. In a reply the
// first byte is the error register and the seventh the status register.
struct AtaTaskFile {
    std::uint8_t features = 0;  // error, in a reply
    std::uint8_t count = 0;
    std::uint8_t lba_low = 0;
    std::uint8_t lba_mid = 0;
    std::uint8_t lba_high = 0;
    std::uint8_t device = 0;
    std::uint8_t command = 0;  // status, in a reply
    std::uint8_t reserved = 0;

    bool IsUnload() const;
};

enum class DevicePower { D0 = 1, D1, D2, D3 };

struct DiskTiming {
    hk::Time100ns transfer_min = 100 * hk::kMicrosecond;
    hk::Time100ns transfer_max = 2 * hk::kMillisecond;
    hk::Time100ns command_overhead = 50 * hk::kMicrosecond;  // commands without media or head work
    hk::Time100ns head_load = 20 * hk::kMillisecond;
    hk::Time100ns unload_min = 200 * hk::kMillisecond;
    hk::Time100ns unload_max = 260 * hk::kMillisecond;
    hk::Time100ns spin_down_min = 700 * hk::kMillisecond;  // spindle stop after the heads are off
    hk::Time100ns spin_down_max = 850 * hk::kMillisecond;
    hk::Time100ns spin_up = 1500 * hk::kMillisecond;
};

struct DiskFaults {
    hk::Time100ns slow_park = 0;       // when non-zero, unloading the heads takes this long
    bool fail_park = false;            // unload and standby commands abort
    std::uint32_t io_error_every = 0;  // every Nth read or write fails with a media error (0: never)
};

struct DiskConfig {
    std::string name = "sata0";
    std::string bus_driver = "storahci";  // the driver whose physical device object carries the disk
    bool removable = false;
    bool read_only = false;
    bool floppy = false;
    std::uint64_t sectors = 500118192;  // 256 GB
    std::uint64_t seed = 1;
    DiskTiming timing;
    DiskFaults faults;
};

enum class DiskCommandKind { Read, Write, Flush, Ata, Power };

struct DiskRequest {
    DiskCommandKind kind = DiskCommandKind::Read;
    std::uint64_t offset = 0;  // bytes; reads and writes
    std::uint32_t length = 0;  // bytes; reads and writes
    AtaTaskFile task;          // Ata
    hk::Time100ns timeout = 0;  // Ata: the caller's time-out (0: none)
    DevicePower power = DevicePower::D0;  // Power
    hk::Time100ns received = 0;  // when the request reached the disk's port driver
};

enum class DiskOutcome {
    Ok,
    MediaError,      // the injected I/O error
    Aborted,         // ATA abort
    TimedOut,        // the command outlived the caller's time-out; the disk finishes it anyway
    WriteProtected,
};

// The timeline of one command, from Begin() to Finish().
struct DiskOperation {
    DiskRequest request;
    hk::Time100ns started = 0;      // the disk took up the command
    hk::Time100ns spin_up_end = 0;  // == started when no spin-up was needed
    hk::Time100ns contact = 0;      // heads began to load, or the transfer began with heads loaded
    hk::Time100ns transfer = 0;     // heads on the media, transfer begins
    hk::Time100ns unloaded = 0;     // unload, standby, D3: heads on the ramp
    hk::Time100ns done = 0;         // the mechanics are finished; the disk is free again
    hk::Time100ns reply = 0;        // the request is answered (earlier than done only on a time-out)
    bool spins_up = false;
    bool loads_heads = false;
    bool media_access = false;
    DiskOutcome outcome = DiskOutcome::Ok;
    AtaTaskFile reply_task;         // Ata: registers returned to the caller
};

struct MediaAccess {
    bool write = false;
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    hk::Time100ns received = 0;
    hk::Time100ns contact = 0;  // heads moving onto the media, or transfer start when they were there
    hk::Time100ns start = 0;    // transfer start
    hk::Time100ns end = 0;
    bool failed = false;
    bool while_falling = false;
};

enum class HeadEventKind { Loaded, Unloaded, SpunUp, SpunDown };

struct HeadEvent {
    HeadEventKind kind;
    hk::Time100ns at;
};

struct AtaCommandRecord {
    AtaTaskFile task;
    hk::Time100ns received = 0;
    hk::Time100ns started = 0;
    hk::Time100ns done = 0;
    hk::Time100ns reply = 0;
    DiskOutcome outcome = DiskOutcome::Ok;
    bool heads_were_loaded = false;
};

class Disk {
public:
    explicit Disk(const DiskConfig& config);
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    const DiskConfig& Config() const { return config_; }
    const std::string& Name() const { return config_.name; }
    std::uint64_t CapacityBytes() const { return config_.sectors * kSectorSize; }

    // --------------------------------------------------------- commands
    // Plans the next command, starting at `now`. Nothing changes until Finish.
    DiskOperation Begin(const DiskRequest& request, hk::Time100ns now);
    // Applies a planned command at its `done` time and records its facts.
    void Finish(const DiskOperation& operation);
    // Sector data. Unwritten sectors read as zeros.
    void ReadData(std::uint64_t offset, std::uint8_t* out, std::uint32_t length) const;
    void WriteData(std::uint64_t offset, const std::uint8_t* in, std::uint32_t length);

    // --------------------------------------------------------- state
    bool HeadsLoaded() const { return heads_loaded_; }
    bool Spinning() const { return spinning_; }
    DevicePower Power() const { return power_; }
    // Heads off the media at time t, by the recorded head events. The disk
    // starts spinning with its heads loaded: the notebook has booted from it.
    bool HeadsUnloadedAt(hk::Time100ns t) const;

    // --------------------------------------------------------- faults
    DiskFaults& Faults() { return config_.faults; }

    // --------------------------------------------------------- protection facts
    // Tells the disk when the notebook is airborne.
    void SetFreeFallProbe(std::function<bool(hk::Time100ns)> probe) { in_free_fall_ = std::move(probe); }
    // Media accesses in the order they ended, numbered from 0 since power-on.
    // All of them are kept unless a reader lets the disk forget the ones it
    // has taken (the live notebook does, to serve for hours): then access
    // number n is MediaAccesses()[n - MediaAccessesForgotten()].
    const std::vector<MediaAccess>& MediaAccesses() const { return accesses_; }
    std::uint64_t MediaAccessCount() const { return accesses_forgotten_ + accesses_.size(); }
    std::uint64_t MediaAccessesForgotten() const { return accesses_forgotten_; }
    // Drops the records of the accesses numbered below `number`.
    void ForgetMediaAccessesBefore(std::uint64_t number);
    const std::vector<HeadEvent>& HeadEvents() const { return head_events_; }
    const std::vector<AtaCommandRecord>& AtaCommands() const { return ata_commands_; }
    std::uint64_t MediaIoWhileFalling() const { return media_io_while_falling_; }
    std::uint64_t ReadsCompleted() const { return reads_; }
    std::uint64_t WritesCompleted() const { return writes_; }

private:
    hk::Time100ns Uniform(hk::Time100ns low, hk::Time100ns high);
    void PlanMedia(DiskOperation& op);
    void PlanAta(DiskOperation& op);
    void PlanPower(DiskOperation& op);
    void PlanUnload(DiskOperation& op, bool standby);
    bool FallingDuring(hk::Time100ns from, hk::Time100ns to) const;

    DiskConfig config_;
    std::mt19937_64 rng_;
    bool heads_loaded_ = true;
    bool spinning_ = true;
    DevicePower power_ = DevicePower::D0;
    std::uint64_t media_requests_ = 0;  // for io_error_every
    std::unordered_map<std::uint64_t, std::array<std::uint8_t, kSectorSize>> sectors_;

    std::function<bool(hk::Time100ns)> in_free_fall_;
    std::vector<MediaAccess> accesses_;
    std::uint64_t accesses_forgotten_ = 0;
    std::vector<HeadEvent> head_events_;
    std::vector<AtaCommandRecord> ata_commands_;
    std::uint64_t media_io_while_falling_ = 0;
    std::uint64_t reads_ = 0;
    std::uint64_t writes_ = 0;
};

}  // namespace hw
