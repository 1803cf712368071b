#include "scenario.h"

#include "actions.h"
#include "drop_plot.h"
#include "event_log.h"
#include "machine.h"
#include "machine_events.h"
#include "request_ledger.h"

#include <hostkernel/registry.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace notebook {
namespace {

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

class Run {
public:
    Run(const Script& script, const ScenarioOptions& options) : script_(script), options_(options) {}

    ScenarioResult Go() {
        MachineOptions mo;
        mo.seed = script_.seed;
        mo.clock_interrupt = script_.clock;
        mo.processors = script_.processors;
        mo.registry_files = script_.registry_files;
        mo.disks = script_.disks;
        if (script_.gpio_address) mo.gpio_address = *script_.gpio_address;
        mo.driver_path = options_.driver_path;
        mo.line_sample_period = options_.line_sample_period;
        try {
            machine_ = std::make_unique<Machine>(mo);
        } catch (const std::exception& e) {
            result_.exit_code = 2;
            result_.notes.push_back(e.what());
            return result_;
        }
        LogLineEdges(log_, *machine_);
        runner_ = std::make_unique<ActionRunner>(*machine_, log_, ledger_);
        for (const Statement& s : script_.statements) {
            if (Stopped() || result_.exit_code != 0) break;
            switch (s.kind) {
            case StatementKind::RegEdit: Edit(s); break;
            case StatementKind::Boot: Boot(); break;
            case StatementKind::At: Schedule(s); break;
            case StatementKind::Run: RunUntil(s.time); break;
            }
        }
        if (!pending_.empty() && !Stopped() && result_.exit_code == 0) RunUntil(pending_.back().time);
        Finish();
        return result_;
    }

private:
    bool Stopped() const { return machine_->Kernel().Stopped(); }
    hk::Time100ns Now() const { return machine_->Kernel().Now(); }

    void Edit(const Statement& s) {
        hk::Registry& reg = machine_->Kernel().Reg();
        const RegEdit& e = s.edit;
        bool ok;
        if (!e.remove) {
            ok = reg.SetValue(e.key, e.name, e.type, e.data, true);
        } else if (e.whole_key) {
            ok = reg.DeleteKey(e.key);
        } else {
            ok = reg.DeleteValue(e.key, e.name);
        }
        log_.Add(Now(), "reg",
                 JsonObject()
                     .Add("line", s.line)
                     .Add("op", e.remove ? "delete" : "set")
                     .Add("key", Narrow(e.key))
                     .Add("name", Narrow(e.name))
                     .Add("done", ok));
    }

    void Boot() {
        BootReport report;
        try {
            report = machine_->Boot();
        } catch (const std::exception& e) {
            if (Stopped()) return;
            result_.exit_code = 2;
            result_.notes.push_back(e.what());
            return;
        }
        if (Stopped()) return;
        LogBoot(log_, *machine_, report);
    }

    void Schedule(const Statement& s) {
        auto at = std::upper_bound(pending_.begin(), pending_.end(), s.time,
                                   [](hk::Time100ns t, const Statement& p) { return t < p.time; });
        pending_.insert(at, s);
    }

    void RunUntil(hk::Time100ns t) {
        hk::Kernel& k = machine_->Kernel();
        while (!pending_.empty() && pending_.front().time <= t) {
            const Statement next = pending_.front();
            pending_.erase(pending_.begin());
            if (next.time > Now() && !k.RunUntil(next.time)) return;
            if (!runner_->Take(next.action, next.time)) return;
        }
        if (t > Now()) k.RunUntil(t);
    }

    void Harvest() {
        ledger_.LogCompletions(log_);
        if (!machine_->Booted()) return;
        for (hw::Disk* disk : machine_->Storage().Disks()) {
            for (const hw::AtaCommandRecord& c : disk->AtaCommands()) LogAtaCommand(log_, disk->Name(), c);
            for (const hw::HeadEvent& h : disk->HeadEvents()) LogHeadEvent(log_, disk->Name(), h);
            for (const hw::MediaAccess& a : disk->MediaAccesses()) LogFallingAccess(log_, disk->Name(), a);
        }
    }

    void Plot() {
        const std::vector<hw::DropFacts>& drops = machine_->Chipset().Motion().Drops();
        std::vector<hk::Time100ns> parks, headsOff, headsOn, mediaWhileFalling;
        if (machine_->Booted()) {
            for (hw::Disk* disk : machine_->Storage().Disks()) {
                for (const hw::AtaCommandRecord& c : disk->AtaCommands()) {
                    if (IsParkCommand(c.task)) parks.push_back(c.received);
                }
                for (const hw::HeadEvent& h : disk->HeadEvents()) {
                    if (h.kind == hw::HeadEventKind::Unloaded) headsOff.push_back(h.at);
                    if (h.kind == hw::HeadEventKind::Loaded) headsOn.push_back(h.at);
                }
                for (const hw::MediaAccess& a : disk->MediaAccesses()) {
                    if (a.while_falling) mediaWhileFalling.push_back(a.contact);
                }
            }
        }
        std::vector<std::pair<hk::Time100ns, hk::Time100ns>> requests;
        for (const IssuedRequest& issued : ledger_.Requests()) {
            const hk::HostRequest& r = *issued.request;
            requests.emplace_back(r.sentAt, r.completed ? r.completedAt : DropTimeline::kPending);
        }
        for (std::size_t i = 0; i < drops.size(); ++i) {
            const hk::Time100ns limit = i + 1 < drops.size() ? drops[i + 1].fall_start : Now();
            auto [from, to] = DropSpan(drops[i], requests, limit);
            DropTimeline timeline = CutTimeline(static_cast<int>(i + 1), drops[i], from, to, machine_->Line().Edges(),
                                                parks, headsOff, headsOn, mediaWhileFalling, requests);
            SampleMagnitude(machine_->Chipset().Motion(), timeline);
            result_.plots.push_back({DropPlotName(timeline.number), DropTimelineSvg(timeline)});
        }
    }

    void Finish() {
        hk::Kernel& k = machine_->Kernel();
        if (k.Stopped()) {
            result_.exit_code = 1;
            result_.stop_report = k.Stop().ToString();
            log_.Add(Now(), "verifier_stop",
                     JsonObject().Add("rule", k.Stop().rule).Add("description", k.Stop().description).Add("thread",
                                                                                                         k.Stop().thread));
        }
        Harvest();
        if (options_.plots) Plot();
        result_.summary = Summarize(*machine_, ledger_);
        result_.summary_json = result_.summary.ToJson();
        result_.events = log_.Text();
        for (const std::string& line : k.DebugOutput()) result_.trace += line;
        result_.registry = k.Reg().ExportText();
        // Threads go before the machine they run on.
        runner_.reset();
        machine_.reset();
    }

    const Script& script_;
    const ScenarioOptions& options_;
    ScenarioResult result_;
    EventLog log_;
    RequestLedger ledger_;
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<ActionRunner> runner_;
    std::vector<Statement> pending_;
};

}  // namespace

ScenarioResult RunScenario(const Script& script, const ScenarioOptions& options) { return Run(script, options).Go(); }

}  // namespace notebook
