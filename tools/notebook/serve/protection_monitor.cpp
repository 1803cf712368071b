#include "protection_monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "machine_events.h"
#include "summary.h"

namespace notebook {

namespace {

constexpr auto kLookPeriod = std::chrono::milliseconds(40);
// A request that waited this long during a fall was held back by ZHP (the
// park itself delays requests by a few hundred milliseconds at most).
constexpr hk::Time100ns kHeldAtLeast = 1000 * hk::kMillisecond;
// The disk falls behind when a request passed down to it has waited this
// long, and has caught up when none has waited a quarter of it.
constexpr hk::Time100ns kDiskBehind = 500 * hk::kMillisecond;
constexpr hk::Time100ns kDiskCaughtUp = kDiskBehind / 4;
// How long after a drop has settled requests still count as its own.
constexpr hk::Time100ns kDropTail = 5000 * hk::kMillisecond;

double Ms(hk::Time100ns t) { return static_cast<double>(t) / hk::kMillisecond; }

std::string Format(const char* format, double a = 0, double b = 0, double c = 0) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

std::vector<DropRow> DropRows(const MachineFacts& facts) {
    std::vector<DropRow> rows;
    for (std::size_t i = 0; i < facts.drops.size(); ++i) {
        const hw::DropFacts& d = facts.drops[i];
        const hk::Time100ns windowEnd =
            i + 1 < facts.drops.size() ? facts.drops[i + 1].fall_start : d.settled + kDropTail;
        DropRow row;
        row.number = static_cast<int>(i + 1);
        row.metres = d.height_m;
        row.fall_ms = Ms(d.impact - d.fall_start);
        std::optional<hk::Time100ns> rise, fall;
        for (const LineEdge& e : facts.edges) {
            if (e.high && !rise && e.t >= d.fall_start && e.t < windowEnd) rise = e.t;
            if (!e.high && rise && !fall && e.t > *rise) fall = e.t;
        }
        if (rise) row.line_up_ms = Ms(*rise - d.fall_start);
        std::optional<hk::Time100ns> park;
        for (const hw::AtaCommandRecord& c : facts.parks) {
            if (c.received >= d.fall_start && c.received < windowEnd && (!park || c.received < *park)) park = c.received;
        }
        if (park) row.park_command_ms = Ms(*park - d.fall_start);
        for (const hw::HeadEvent& h : facts.unloads) {
            if (park && h.at >= *park && h.at < windowEnd) {
                row.heads_parked_ms = Ms(h.at - d.fall_start);
                break;
            }
        }
        row.parked_before_impact = row.heads_parked_ms && *row.heads_parked_ms <= row.fall_ms;
        for (const hw::MediaAccess& a : facts.fallingAccesses) {
            if (a.contact < d.settled && a.end >= d.fall_start) ++row.media_io_while_falling;
        }
        // ZHP releases what it held all at once: the first completion of a
        // request that waited far longer than any disk takes marks the
        // release. Held are the requests sent during the drop before the
        // release that completed with it or later (or wait in a queue still).
        std::optional<hk::Time100ns> release;
        for (const MachineFacts::Request& r : facts.requests) {
            if (r.sent < d.fall_start || r.sent >= windowEnd || !r.done || r.completed - r.sent < kHeldAtLeast) continue;
            if (!release || r.completed < *release) release = r.completed;
        }
        std::uint64_t stillHeld = 0;
        for (const MachineFacts::Request& r : facts.requests) {
            if (r.sent < d.fall_start || r.sent >= windowEnd) continue;
            const bool held = release ? r.sent < *release && (!r.done || r.completed >= *release) : r.queued;
            if (!held) continue;
            ++row.held;
            if (r.done) {
                ++row.released;
            } else {
                ++stillHeld;
            }
        }
        const bool lineDown = !rise || fall.has_value();
        row.over = facts.now >= d.settled && lineDown && stillHeld == 0 &&
                   (row.held > 0 || facts.now >= d.settled + kDropTail || !park);
        rows.push_back(row);
    }
    return rows;
}

std::string DropTable(const std::vector<DropRow>& rows) {
    auto opt = [](const std::optional<double>& v) { return v ? Format("%.1f", *v) : std::string("-"); };
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "%-4s %7s %8s %10s %10s %11s %-13s %6s %9s %9s\n", "drop", "height", "fall",
                  "detected", "park cmd", "heads off", "vs impact", "held", "released", "media io");
    out += line;
    std::snprintf(line, sizeof line, "%-4s %7s %8s %10s %10s %11s %-13s %6s %9s %9s\n", "", "m", "ms", "ms", "ms",
                  "ms", "", "", "", "falling");
    out += line;
    std::uint64_t held = 0, released = 0, media = 0;
    int parkedInTime = 0;
    for (const DropRow& r : rows) {
        std::string versus = r.heads_parked_ms ? (r.parked_before_impact ? "parked before" : "parked after")
                                               : (r.park_command_ms ? "not parked" : "no park");
        std::snprintf(line, sizeof line, "%-4d %7.2f %8.1f %10s %10s %11s %-13s %6llu %9llu %9llu\n", r.number,
                      r.metres, r.fall_ms, opt(r.line_up_ms).c_str(), opt(r.park_command_ms).c_str(),
                      opt(r.heads_parked_ms).c_str(), versus.c_str(), static_cast<unsigned long long>(r.held),
                      static_cast<unsigned long long>(r.released),
                      static_cast<unsigned long long>(r.media_io_while_falling));
        out += line;
        held += r.held;
        released += r.released;
        media += r.media_io_while_falling;
        parkedInTime += r.parked_before_impact ? 1 : 0;
    }
    std::snprintf(line, sizeof line, "total: %zu drop(s), %d parked before impact, %llu held, %llu released, %llu "
                                     "media access(es) while falling\n",
                  rows.size(), parkedInTime, static_cast<unsigned long long>(held),
                  static_cast<unsigned long long>(released), static_cast<unsigned long long>(media));
    out += line;
    return out;
}

ProtectionMonitor::ProtectionMonitor(Machine& machine, RequestLedger& ledger, hostuser::KernelGate& gate,
                                     std::function<void(hk::Time100ns, const std::string&)> print, EventLog* events)
    : machine_(machine), ledger_(ledger), gate_(gate), print_(std::move(print)), events_(events) {}

ProtectionMonitor::~ProtectionMonitor() { Stop(); }

void ProtectionMonitor::Start() { thread_ = std::thread([this] { Run(); }); }

void ProtectionMonitor::Stop() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ProtectionMonitor::Run() {
    std::unique_lock<std::mutex> lk(mutex_);
    while (!stopping_) {
        lk.unlock();
        Look();
        lk.lock();
        wake_.wait_for(lk, kLookPeriod, [&] { return stopping_; });
    }
}

MachineFacts ProtectionMonitor::Facts() {
    std::lock_guard<std::mutex> lk(mutex_);
    MachineFacts facts;
    bool ran = gate_.Run(
        [&] {
            facts.now = static_cast<hk::Time100ns>(KeQueryInterruptTime());
            facts.drops = machine_.Chipset().Motion().Drops();
            facts.edges = machine_.Line().Edges();
            if (machine_.Booted()) TakeDiskRecords();
            facts.parks = parks_;
            facts.unloads = unloads_;
            // New requests since the last look; the ledger then forgets the
            // completed ones among those seen, so that it keeps only pending
            // requests however long the notebook serves.
            for (IssuedRequest& issued : ledger_.SentAfter(requestsSeen_)) {
                requestsSeen_ = issued.id;
                requests_.push_back(WatchedRequest{std::move(issued), {}});
            }
            ledger_.RetireCompleted(requestsSeen_);
            facts.requests.reserve(requests_.size());
            for (WatchedRequest& watched : requests_) {
                if (watched.issued.request != nullptr) {
                    const hk::HostRequest& r = *watched.issued.request;
                    MachineFacts::Request& q = watched.facts;
                    q.sent = r.sentAt;
                    q.done = r.completed;
                    q.completed = r.completedAt;
                    q.queued = !r.completed && HeldByZhp(r.irp);
                    q.inDisk = !r.completed && !q.queued;
                    if (r.completed) {
                        if (events_ != nullptr) LogCompletion(*events_, watched.issued);
                        watched.issued.request.reset();
                    }
                }
                facts.requests.push_back(watched.facts);
            }
        },
        "protection log");
    if (!ran && !stopTold_) {
        stopTold_ = true;
        hk::Kernel& k = machine_.Kernel();
        if (k.Stopped()) print_(k.Now(), "VERIFIER STOP " + k.Stop().ToString());
    }
    // Requests done long ago, outside every drop, can never count for one
    // (a later drop begins later): they leave the list.
    const hk::Time100ns horizon = facts.now - kDropTail;
    if (!ran) return facts;
    std::vector<WatchedRequest> kept;
    std::vector<MachineFacts::Request> keptFacts;
    for (std::size_t i = 0; i < requests_.size(); ++i) {
        const MachineFacts::Request& r = facts.requests[i];
        bool inDrop = false;
        for (const hw::DropFacts& d : facts.drops) inDrop = inDrop || (r.sent >= d.fall_start && r.sent < d.settled + kDropTail);
        if (r.done && r.completed < horizon && !inDrop) continue;
        kept.push_back(std::move(requests_[i]));
        keptFacts.push_back(r);
    }
    requests_.swap(kept);
    facts.requests.swap(keptFacts);
    facts.fallingAccesses = fallingAccesses_;
    return facts;
}

bool ProtectionMonitor::HeldByZhp(PIRP irp) const {
    // ZHP's queue is cancel-safe: a request waiting in it has a cancel
    // routine, and its current stack location is ZHP's own (ZHP has not
    // passed it down). A request in the disk's queue has a cancel routine
    // too, but at the disk's stack location.
    if (irp == nullptr || irp->CancelRoutine == nullptr || machine_.Zhp() == nullptr) return false;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    return sp->DeviceObject != nullptr && sp->DeviceObject->DriverObject == machine_.Zhp();
}

void ProtectionMonitor::TakeDiskRecords() {
    std::vector<hw::Disk*> disks = machine_.Storage().Disks();  // in the order added, removed ones included
    if (seenPerDisk_.size() < disks.size()) seenPerDisk_.resize(disks.size());
    bool newUnloads = false;
    for (std::size_t d = 0; d < disks.size(); ++d) {
        hw::Disk& disk = *disks[d];
        DiskRecordsSeen& seen = seenPerDisk_[d];
        const std::vector<hw::AtaCommandRecord>& commands = disk.AtaCommands();
        for (; seen.ataCommands < commands.size(); ++seen.ataCommands) {
            if (events_ != nullptr) LogAtaCommand(*events_, disk.Name(), commands[seen.ataCommands]);
            if (IsParkCommand(commands[seen.ataCommands].task)) parks_.push_back(commands[seen.ataCommands]);
        }
        const std::vector<hw::HeadEvent>& events = disk.HeadEvents();
        for (; seen.headEvents < events.size(); ++seen.headEvents) {
            if (events_ != nullptr) LogHeadEvent(*events_, disk.Name(), events[seen.headEvents]);
            if (events[seen.headEvents].kind != hw::HeadEventKind::Unloaded) continue;
            unloads_.push_back(events[seen.headEvents]);
            newUnloads = true;
        }
        // The log lets the disk forget every access it has taken, so what the
        // disk still holds is new, and it holds no more than one look's worth.
        for (const hw::MediaAccess& a : disk.MediaAccesses()) {
            if (!a.while_falling) continue;
            fallingAccesses_.push_back(a);
            if (events_ != nullptr) LogFallingAccess(*events_, disk.Name(), a);
        }
        disk.ForgetMediaAccessesBefore(disk.MediaAccessCount());
    }
    if (newUnloads) {
        std::stable_sort(unloads_.begin(), unloads_.end(),
                         [](const hw::HeadEvent& a, const hw::HeadEvent& b) { return a.at < b.at; });
    }
}

std::vector<DropRow> ProtectionMonitor::Rows() { return DropRows(Facts()); }

void ProtectionMonitor::Look() {
    MachineFacts facts = Facts();
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::pair<hk::Time100ns, std::string>> lines;  // told in time order
    auto since = [&](hk::Time100ns t) -> std::optional<double> {
        for (auto it = facts.drops.rbegin(); it != facts.drops.rend(); ++it) {
            if (t >= it->fall_start && t < it->settled + kDropTail) return Ms(t - it->fall_start);
        }
        return std::nullopt;
    };
    for (; dropsTold_ < facts.drops.size(); ++dropsTold_) {
        const hw::DropFacts& d = facts.drops[dropsTold_];
        lines.emplace_back(d.fall_start,
                           Format("drop %.2f m: released, falling for %.1f ms", d.height_m, Ms(d.impact - d.fall_start)));
    }
    for (; edgesTold_ < facts.edges.size(); ++edgesTold_) {
        const LineEdge& e = facts.edges[edgesTold_];
        std::optional<double> after = since(e.t);
        std::string text = e.high ? "interrupt line up" : "interrupt line down";
        if (e.forced) text += " (forced)";
        if (e.high && after) text += Format(": fall detected %.1f ms after release", *after);
        lines.emplace_back(e.t, text);
    }
    for (; parksTold_ < facts.parks.size(); ++parksTold_) {
        const hw::AtaCommandRecord& c = facts.parks[parksTold_];
        std::optional<double> after = since(c.received);
        lines.emplace_back(c.received, after ? Format("park command at the disk %.1f ms after release", *after)
                                             : std::string("park command at the disk"));
    }
    for (; unloadsTold_ < facts.unloads.size(); ++unloadsTold_) {
        const hw::HeadEvent& h = facts.unloads[unloadsTold_];
        std::optional<double> after = since(h.at);
        lines.emplace_back(h.at, after ? Format("heads on the ramp %.1f ms after release", *after)
                                       : std::string("heads on the ramp"));
    }
    std::uint64_t heldNow = 0;
    std::optional<hk::Time100ns> firstHeld;
    for (const MachineFacts::Request& r : facts.requests) {
        if (!r.queued) continue;
        ++heldNow;
        if (!firstHeld || r.sent < *firstHeld) firstHeld = r.sent;
    }
    if (heldNow > 0 && heldPeak_ == 0) lines.emplace_back(*firstHeld, "ZHP holds disk requests back");
    // Requests passed down that the disk has not finished are the disk's
    // backlog, not ZHP's: the log says when the disk falls behind.
    std::uint64_t inDisk = 0;
    std::optional<hk::Time100ns> oldestInDisk;
    for (const MachineFacts::Request& r : facts.requests) {
        if (!r.inDisk) continue;
        ++inDisk;
        if (!oldestInDisk || r.sent < *oldestInDisk) oldestInDisk = r.sent;
    }
    const hk::Time100ns diskWait = oldestInDisk ? facts.now - *oldestInDisk : 0;
    if (!diskBehindTold_ && diskWait >= kDiskBehind) {
        lines.emplace_back(facts.now, Format("the disk falls behind: %.0f request(s) wait in it, the oldest for %.0f ms",
                                             static_cast<double>(inDisk), Ms(diskWait)));
        diskBehindTold_ = true;
    } else if (diskBehindTold_ && diskWait < kDiskCaughtUp) {
        lines.emplace_back(facts.now, Format("the disk has caught up (%.0f request(s) wait in it)", static_cast<double>(inDisk)));
        diskBehindTold_ = false;
    }
    if (heldNow > heldPeak_) heldPeak_ = heldNow;
    if (heldNow == 0 && heldPeak_ > 0) {
        lines.emplace_back(facts.now, Format("ZHP released the held requests (up to %.0f were held at once)",
                                             static_cast<double>(heldPeak_)));
        heldPeak_ = 0;
    }
    std::vector<DropRow> rows = DropRows(facts);
    while (rowsOverTold_ < rows.size() && rows[rowsOverTold_].over) {
        const DropRow& r = rows[rowsOverTold_];
        char text[320];
        if (r.heads_parked_ms) {
            std::snprintf(text, sizeof text,
                          "drop %d (%.2f m) over: heads parked %.1f ms after release, %s the impact at %.1f ms; "
                          "%llu request(s) held, %llu released, %llu media access(es) while falling",
                          r.number, r.metres, *r.heads_parked_ms, r.parked_before_impact ? "before" : "after",
                          r.fall_ms, static_cast<unsigned long long>(r.held),
                          static_cast<unsigned long long>(r.released),
                          static_cast<unsigned long long>(r.media_io_while_falling));
        } else {
            std::snprintf(text, sizeof text,
                          "drop %d (%.2f m) over: heads not parked; %llu request(s) held, %llu released, "
                          "%llu media access(es) while falling",
                          r.number, r.metres, static_cast<unsigned long long>(r.held),
                          static_cast<unsigned long long>(r.released),
                          static_cast<unsigned long long>(r.media_io_while_falling));
        }
        lines.emplace_back(facts.now, text);
        ++rowsOverTold_;
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& line : lines) print_(line.first, line.second);
}

}  // namespace notebook
