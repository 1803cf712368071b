#include "summary.h"

#include "json.h"

namespace notebook {
namespace {

std::int64_t Micros(hk::Time100ns t) { return t / hk::kMicrosecond; }

}  // namespace

const char* ClockName(hk::ClockInterrupt clock) { return clock == hk::ClockInterrupt::Exact ? "exact" : "windows"; }

bool IsParkCommand(const hw::AtaTaskFile& task) {
    return task.IsUnload() || task.command == hw::ata::kStandbyImmediate;
}

Summary Summarize(Machine& machine, const RequestLedger& ledger) {
    Summary s;
    hk::Kernel& k = machine.Kernel();
    s.protected_by_zhp = machine.Zhp() != nullptr;
    s.seed = machine.Options().seed;
    s.clock = ClockName(machine.Options().clock_interrupt);
    s.processors = machine.Options().processors;
    s.timer_resolution = k.TimerResolution();
    s.end = k.Now();
    s.verifier_stops = k.Stopped() ? 1 : 0;
    s.falls = machine.Line().Rises();
    std::vector<hw::Disk*> disks = machine.Booted() ? machine.Storage().Disks() : std::vector<hw::Disk*>();
    for (hw::Disk* disk : disks) {
        for (const hw::AtaCommandRecord& c : disk->AtaCommands()) s.parks += IsParkCommand(c.task);
        s.media_io_while_falling += disk->MediaIoWhileFalling();
    }
    s.requests = ledger.Tally(machine.Booted() ? &machine.Storage() : nullptr);

    const std::vector<LineEdge>& edges = machine.Line().Edges();
    for (const hw::DropFacts& drop : machine.Chipset().Motion().Drops()) {
        DropReport r;
        r.at = drop.fall_start;
        r.impact = drop.impact;
        r.metres = drop.height_m;
        r.fall_ms = static_cast<double>(drop.impact - drop.fall_start) / hk::kMillisecond;
        for (const LineEdge& e : edges) {
            if (e.high && e.t >= drop.fall_start && e.t < drop.settled) {
                r.line_rise = e.t;
                break;
            }
        }
        hw::Disk* judged = machine.ProtectedDisk() != nullptr ? machine.ProtectedDisk() : machine.FirstDisk();
        if (r.line_rise) {
            std::optional<hk::Time100ns> park;
            for (hw::Disk* disk : disks) {
                for (const hw::AtaCommandRecord& c : disk->AtaCommands()) {
                    if (!IsParkCommand(c.task) || c.received < *r.line_rise) continue;
                    if (!park || c.received < *park) {
                        park = c.received;
                        judged = disk;
                    }
                }
            }
            if (park) r.park_after_pin = *park - *r.line_rise;
        }
        if (judged != nullptr) {
            r.disk = judged->Name();
            r.parked_before_impact = judged->HeadsUnloadedAt(drop.impact);
        }
        for (hw::Disk* disk : disks) {
            for (const hw::MediaAccess& a : disk->MediaAccesses()) {
                if (a.while_falling && a.contact < drop.settled && a.end >= drop.fall_start) ++r.media_io_while_falling;
            }
        }
        s.drops.push_back(r);
    }
    return s;
}

std::string Summary::ToJson() const {
    std::vector<std::string> dropItems;
    for (const DropReport& d : drops) {
        JsonObject o;
        o.Add("at_us", Micros(d.at)).Add("metres", d.metres).Add("fall_ms", d.fall_ms).Add("impact_us", Micros(d.impact));
        if (d.line_rise) {
            o.Add("line_rise_us", Micros(*d.line_rise));
        } else {
            o.AddNull("line_rise_us");
        }
        if (d.park_after_pin) {
            o.Add("park_after_pin_us", Micros(*d.park_after_pin));
        } else {
            o.AddNull("park_after_pin_us");
        }
        o.Add("parked_before_impact", d.parked_before_impact)
            .Add("disk", d.disk)
            .Add("media_io_while_falling", d.media_io_while_falling);
        dropItems.push_back(o.ToString());
    }
    JsonObject o;
    o.Add("protected", protected_by_zhp)
        .Add("seed", seed)
        .Add("clock", clock)
        .Add("processors", static_cast<std::uint64_t>(processors))
        .Add("timer_resolution_us", static_cast<std::uint64_t>(timer_resolution / hk::kMicrosecond))
        .Add("end_us", Micros(end))
        .Add("falls", falls)
        .Add("parks", parks)
        .Add("media_io_while_falling", media_io_while_falling)
        .Add("requests_issued", requests.issued)
        .Add("requests_completed", requests.completed)
        .Add("requests_failed", requests.failed)
        .Add("requests_cancelled", requests.cancelled)
        .Add("requests_held_at_exit", requests.held)
        .Add("requests_lost", requests.lost)
        .Add("verifier_stops", verifier_stops)
        .AddRaw("drops", JsonArray(dropItems));
    return o.ToString();
}

}  // namespace notebook
