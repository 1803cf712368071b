#include "machine_events.h"

#include "summary.h"

namespace notebook {

namespace {

std::string Hex8(std::uint8_t v) {
    static const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[v >> 4] + digits[v & 15];
}

const char* OutcomeName(hw::DiskOutcome outcome) {
    switch (outcome) {
    case hw::DiskOutcome::Ok: return "ok";
    case hw::DiskOutcome::MediaError: return "media_error";
    case hw::DiskOutcome::Aborted: return "aborted";
    case hw::DiskOutcome::TimedOut: return "timed_out";
    case hw::DiskOutcome::WriteProtected: return "write_protected";
    }
    return "?";
}

const char* HeadEventName(hw::HeadEventKind kind) {
    switch (kind) {
    case hw::HeadEventKind::Loaded: return "loaded";
    case hw::HeadEventKind::Unloaded: return "unloaded";
    case hw::HeadEventKind::SpunUp: return "spun_up";
    case hw::HeadEventKind::SpunDown: return "spun_down";
    }
    return "?";
}

std::int64_t Us(hk::Time100ns t) { return static_cast<std::int64_t>(t / hk::kMicrosecond); }

}  // namespace

void LogBoot(EventLog& log, Machine& machine, const BootReport& report) {
    const hk::Time100ns now = machine.Kernel().Now();
    std::vector<hw::Disk*> disks = machine.Storage().Disks();
    for (std::size_t i = 0; i < disks.size(); ++i) {
        const hw::DiskConfig& c = disks[i]->Config();
        log.Add(now, "disk",
                JsonObject()
                    .Add("disk", c.name)
                    .Add("driver", c.bus_driver)
                    .Add("removable", c.removable)
                    .Add("readonly", c.read_only)
                    .Add("floppy", c.floppy)
                    .Add("status", HexStatus(i < report.disk_statuses.size() ? report.disk_statuses[i] : 0))
                    .Add("protected", disks[i] == machine.ProtectedDisk()));
    }
    log.Add(now, "boot", JsonObject().Add("zhp", report.zhp_loaded).Add("disks", disks.size()));
}

void LogLineEdges(EventLog& log, Machine& machine) {
    machine.Line().OnEdge([&log](const LineEdge& e) {
        log.Add(e.t, "line", JsonObject().Add("level", e.high ? 1 : 0).Add("forced", e.forced));
    });
}

void LogAtaCommand(EventLog& log, const std::string& disk, const hw::AtaCommandRecord& c) {
    log.Add(c.received, "ata",
            JsonObject()
                .Add("disk", disk)
                .Add("command", Hex8(c.task.command))
                .Add("features", Hex8(c.task.features))
                .Add("park", IsParkCommand(c.task))
                .Add("outcome", OutcomeName(c.outcome))
                .Add("heads_were_loaded", c.heads_were_loaded)
                .Add("reply_us", Us(c.reply))
                .Add("done_us", Us(c.done)));
}

void LogHeadEvent(EventLog& log, const std::string& disk, const hw::HeadEvent& h) {
    log.Add(h.at, "heads", JsonObject().Add("disk", disk).Add("state", HeadEventName(h.kind)));
}

void LogFallingAccess(EventLog& log, const std::string& disk, const hw::MediaAccess& a) {
    if (!a.while_falling) return;
    log.Add(a.contact, "media_io_while_falling",
            JsonObject()
                .Add("disk", disk)
                .Add("op", a.write ? "write" : "read")
                .Add("offset", a.offset)
                .Add("received_us", Us(a.received))
                .Add("end_us", Us(a.end)));
}

std::string BlockWords(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < bytes.size(); at += 4) {
        std::uint32_t w = 0;
        for (std::size_t b = 0; b < 4 && at + b < bytes.size(); ++b) {
            w |= static_cast<std::uint32_t>(bytes[at + b]) << (8 * b);
        }
        words.push_back(std::to_string(w));
    }
    return JsonArray(words);
}

JsonObject ControlRequestFields(const std::vector<std::uint8_t>& request, hk::Time100ns sentAt, std::int32_t status,
                                std::uint64_t information, const std::vector<std::uint8_t>& reply) {
    std::uint32_t cmd = 0;
    for (std::size_t b = 0; b < 4 && b < request.size(); ++b) cmd |= static_cast<std::uint32_t>(request[b]) << (8 * b);
    return JsonObject()
        .Add("cmd", static_cast<std::uint64_t>(cmd))
        .Add("sent_us", Us(sentAt))
        .Add("status", HexStatus(status))
        .Add("information", information)
        .AddRaw("request", BlockWords(request))
        .AddRaw("words", BlockWords(reply));
}

}  // namespace notebook
