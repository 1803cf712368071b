#include "hw/disk.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace hw {
namespace {

// Free fall is checked along a media access at this step; accesses last
// milliseconds, so a fall cannot slip between two samples.
constexpr hk::Time100ns kFallProbeStep = 50 * hk::kMicrosecond;

bool ParksHeads(const AtaTaskFile& task) {
    return task.command == ata::kStandbyImmediate || (task.command == ata::kIdleImmediate && task.IsUnload());
}

}  // namespace

bool AtaTaskFile::IsUnload() const {
    return command == ata::kIdleImmediate && features == ata::kUnloadFeature && lba_low == ata::kUnloadLbaLow &&
           lba_mid == ata::kUnloadLbaMid && lba_high == ata::kUnloadLbaHigh;
}

Disk::Disk(const DiskConfig& config) : config_(config), rng_(config.seed) {}

hk::Time100ns Disk::Uniform(hk::Time100ns low, hk::Time100ns high) {
    if (high <= low) return low;
    std::uniform_int_distribution<hk::Time100ns> pick(low, high);
    return pick(rng_);
}

DiskOperation Disk::Begin(const DiskRequest& request, hk::Time100ns now) {
    DiskOperation op;
    op.request = request;
    op.started = op.spin_up_end = op.contact = op.transfer = op.unloaded = now;
    op.done = now + config_.timing.command_overhead;
    switch (request.kind) {
    case DiskCommandKind::Read:
        PlanMedia(op);
        break;
    case DiskCommandKind::Write:
        if (config_.read_only) {
            op.outcome = DiskOutcome::WriteProtected;
        } else {
            PlanMedia(op);
        }
        break;
    case DiskCommandKind::Flush:
        break;  // writes go straight to the media: nothing is cached
    case DiskCommandKind::Ata:
        PlanAta(op);
        break;
    case DiskCommandKind::Power:
        PlanPower(op);
        break;
    }
    op.reply = op.done;
    if (request.kind == DiskCommandKind::Ata && request.timeout > 0 && op.done - now > request.timeout) {
        op.reply = now + request.timeout;
        op.outcome = DiskOutcome::TimedOut;
    }
    return op;
}

void Disk::PlanMedia(DiskOperation& op) {
    const DiskTiming& timing = config_.timing;
    hk::Time100ns t = op.started;
    if (!spinning_) {
        op.spins_up = true;
        t += timing.spin_up;
    }
    op.spin_up_end = t;
    op.contact = t;
    if (!heads_loaded_ || op.spins_up) {
        op.loads_heads = true;
        t += timing.head_load;
    }
    op.transfer = t;
    op.done = t + Uniform(timing.transfer_min, timing.transfer_max);
    op.media_access = true;
    ++media_requests_;
    const std::uint32_t every = config_.faults.io_error_every;
    if (every != 0 && media_requests_ % every == 0) op.outcome = DiskOutcome::MediaError;
}

void Disk::PlanUnload(DiskOperation& op, bool standby) {
    const DiskTiming& timing = config_.timing;
    hk::Time100ns t = op.started;
    if (heads_loaded_) {
        t += config_.faults.slow_park != 0 ? config_.faults.slow_park : Uniform(timing.unload_min, timing.unload_max);
    }
    op.unloaded = t;
    if (standby && spinning_) t += Uniform(timing.spin_down_min, timing.spin_down_max);
    op.done = std::max(t, op.started + timing.command_overhead);
}

void Disk::PlanAta(DiskOperation& op) {
    const AtaTaskFile& task = op.request.task;
    op.reply_task = task;
    op.reply_task.features = 0;  // error register
    op.reply_task.command = ata::kStatusReady;
    const bool unload = task.IsUnload();
    if (ParksHeads(task) && config_.faults.fail_park) {
        op.outcome = DiskOutcome::Aborted;
    } else if (unload) {
        PlanUnload(op, false);
        op.reply_task.lba_low = ata::kUnloadDone;
        return;
    } else if (task.command == ata::kStandbyImmediate) {
        PlanUnload(op, true);
        return;
    } else if (task.command == ata::kIdleImmediate) {
        return;  // plain idle: accepted, nothing moves
    } else {
        op.outcome = DiskOutcome::Aborted;
    }
    op.reply_task.features = ata::kErrorAbort;
    op.reply_task.command = ata::kStatusReady | ata::kStatusError;
}

void Disk::PlanPower(DiskOperation& op) {
    if (op.request.power == DevicePower::D3 && (spinning_ || heads_loaded_)) PlanUnload(op, true);
}

void Disk::Finish(const DiskOperation& op) {
    const DiskRequest& request = op.request;
    switch (request.kind) {
    case DiskCommandKind::Read:
    case DiskCommandKind::Write: {
        if (!op.media_access) return;
        if (op.spins_up) {
            spinning_ = true;
            head_events_.push_back({HeadEventKind::SpunUp, op.spin_up_end});
        }
        if (op.loads_heads) {
            heads_loaded_ = true;
            head_events_.push_back({HeadEventKind::Loaded, op.transfer});
        }
        MediaAccess access;
        access.write = request.kind == DiskCommandKind::Write;
        access.offset = request.offset;
        access.length = request.length;
        access.received = request.received;
        access.contact = op.contact;
        access.start = op.transfer;
        access.end = op.done;
        access.failed = op.outcome != DiskOutcome::Ok;
        access.while_falling = FallingDuring(op.contact, op.done);
        if (access.while_falling) ++media_io_while_falling_;
        if (!access.failed) ++(access.write ? writes_ : reads_);
        accesses_.push_back(access);
        return;
    }
    case DiskCommandKind::Flush:
        return;
    case DiskCommandKind::Ata: {
        AtaCommandRecord record;
        record.task = request.task;
        record.received = request.received;
        record.started = op.started;
        record.done = op.done;
        record.reply = op.reply;
        record.outcome = op.outcome;
        record.heads_were_loaded = heads_loaded_;
        ata_commands_.push_back(record);
        if (op.outcome == DiskOutcome::Aborted || !ParksHeads(request.task)) return;
        break;
    }
    case DiskCommandKind::Power:
        power_ = request.power;
        if (request.power != DevicePower::D3) return;
        break;
    }
    // The heads went to the ramp; standby and D3 also stopped the spindle.
    if (heads_loaded_) {
        heads_loaded_ = false;
        head_events_.push_back({HeadEventKind::Unloaded, op.unloaded});
    }
    const bool stops = request.kind == DiskCommandKind::Power || request.task.command == ata::kStandbyImmediate;
    if (stops && spinning_) {
        spinning_ = false;
        head_events_.push_back({HeadEventKind::SpunDown, op.done});
    }
}

void Disk::ForgetMediaAccessesBefore(std::uint64_t number) {
    if (number <= accesses_forgotten_) return;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(number - accesses_forgotten_, accesses_.size()));
    accesses_.erase(accesses_.begin(), accesses_.begin() + static_cast<std::ptrdiff_t>(n));
    accesses_forgotten_ += n;
}

bool Disk::HeadsUnloadedAt(hk::Time100ns t) const {
    bool unloaded = false;  // loaded at boot
    for (const HeadEvent& e : head_events_) {
        if (e.at > t) break;
        if (e.kind == HeadEventKind::Loaded) unloaded = false;
        if (e.kind == HeadEventKind::Unloaded) unloaded = true;
    }
    return unloaded;
}

bool Disk::FallingDuring(hk::Time100ns from, hk::Time100ns to) const {
    if (!in_free_fall_) return false;
    for (hk::Time100ns t = from; t < to; t += kFallProbeStep) {
        if (in_free_fall_(t)) return true;
    }
    return in_free_fall_(to);
}

void Disk::ReadData(std::uint64_t offset, std::uint8_t* out, std::uint32_t length) const {
    for (std::uint32_t done = 0; done < length; done += kSectorSize) {
        auto it = sectors_.find((offset + done) / kSectorSize);
        const std::uint32_t n = std::min(kSectorSize, length - done);
        if (it == sectors_.end()) {
            std::memset(out + done, 0, n);
        } else {
            std::memcpy(out + done, it->second.data(), n);
        }
    }
}

void Disk::WriteData(std::uint64_t offset, const std::uint8_t* in, std::uint32_t length) {
    for (std::uint32_t done = 0; done < length; done += kSectorSize) {
        auto& sector = sectors_[(offset + done) / kSectorSize];
        const std::uint32_t n = std::min(kSectorSize, length - done);
        std::memcpy(sector.data(), in + done, n);
    }
}

}  // namespace hw
