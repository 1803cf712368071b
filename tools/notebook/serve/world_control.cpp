#include "world_control.h"

#include <sstream>

namespace notebook {

namespace {

// Window message parameters of the notifications (winuser.h values).
constexpr std::uint32_t kPbtApmSuspend = 0x4;
constexpr std::uint32_t kPbtApmResumeSuspend = 0x7;
constexpr std::uint32_t kPbtApmResumeAutomatic = 0x12;
constexpr std::uint32_t kWtsConsoleConnect = 0x1;
constexpr std::uint32_t kWtsConsoleDisconnect = 0x2;
constexpr std::uint32_t kWtsSessionLock = 0x7;
constexpr std::uint32_t kWtsSessionUnlock = 0x8;
constexpr std::uint32_t kUserSession = 1;

const char* kHelp =
    "world actions (as in scenario scripts):\n"
    "  pin on|off|low, drop METRES, rest, carry, typing, tilt PITCH ROLL,\n"
    "  reads N every TIME, writes N every TIME, flush, ioctl CMD [OFFSET=VALUE ...],\n"
    "  power D0|D1|D2|D3, suspend, resume, remove DISK, fault DISK ..., shutdown\n"
    "the user's session: lock, unlock, connect, disconnect\n"
    "questions: report (a table of the drops), status, help\n";

std::string Trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    std::size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

}  // namespace

std::optional<Action> ParseWorldAction(const std::string& text, const std::vector<hw::DiskConfig>& disks,
                                       const std::string& sourceDir, std::string* error) {
    // The script parser knows the action words: the action becomes the one
    // timed line of a script with the machine's disks.
    std::string script;
    for (const hw::DiskConfig& d : disks) script += "disk " + d.name + " driver=" + d.bus_driver + "\n";
    script += "at 0s " + text + "\n";
    ScriptSource source{script, "ctl", ".", sourceDir};
    ParseResult parsed = ParseScript(source);
    if (parsed.error) {
        *error = parsed.error->message;
        return std::nullopt;
    }
    for (auto it = parsed.script->statements.rbegin(); it != parsed.script->statements.rend(); ++it) {
        if (it->kind == StatementKind::At) return it->action;
    }
    *error = "expected an action";
    return std::nullopt;
}

WorldControl::WorldControl(Machine& machine, hostuser::KernelGate& gate, EventLog& log, RequestLedger& ledger,
                           ProtectionMonitor& monitor, std::string sourceDir,
                           std::function<void(hk::Time100ns, const std::string&)> print)
    : machine_(machine),
      gate_(gate),
      ledger_(ledger),
      runner_(machine, log, ledger),
      monitor_(monitor),
      sourceDir_(std::move(sourceDir)),
      print_(std::move(print)) {}

WorldControl::~WorldControl() = default;

std::size_t WorldControl::Broadcast(std::uint32_t message, std::uint64_t wParam, std::uint64_t lParam) {
    return server_ != nullptr ? server_->Broadcast(message, wParam, lParam) : 0;
}

bool WorldControl::TakeAction(const Action& action, std::string* reply) {
    bool running = false;
    // The runner enters the kernel itself; the gate keeps it apart from the
    // user-mode server's entries.
    gate_.Exclusive([&](hk::Kernel& k) { running = runner_.Take(action, k.Now()); });
    if (!running) {
        *reply = "the machine has stopped";
        return false;
    }
    *reply = "done: " + action.text;
    return true;
}

bool WorldControl::Handle(const std::string& request, std::string* reply) {
    std::lock_guard<std::mutex> lk(mutex_);
    const std::string text = Trim(request);
    hk::Time100ns now = machine_.Kernel().Now();
    if (text.empty()) {
        *reply = "expected an action (try help)";
        return false;
    }
    if (text == "help") {
        *reply = kHelp;
        return true;
    }
    if (text == "report") {
        *reply = DropTable(monitor_.Rows());
        return true;
    }
    if (text == "status") {
        MachineFacts facts = monitor_.Facts();
        std::uint64_t held = 0, pending = 0;
        for (const auto& r : facts.requests) {
            held += r.queued ? 1 : 0;
            pending += r.done ? 0 : 1;
        }
        std::ostringstream out;
        out << "up " << static_cast<double>(facts.now) / hk::kSecond << " s, " << facts.drops.size() << " drop(s), "
            << facts.parks.size() << " park command(s), " << ledger_.Issued() << " request(s) sent, " << pending
            << " pending, " << held << " held by ZHP";
        if (server_ != nullptr) {
            hostuser::Win32ServerStatistics s = server_->Statistics();
            out << "; " << s.processes << " user-mode process(es), " << s.openConnections << " connection(s)";
        }
        *reply = out.str();
        return true;
    }
    struct SessionWord {
        const char* word;
        std::uint32_t code;
        const char* what;
    };
    static const SessionWord kSession[] = {{"lock", kWtsSessionLock, "session locked"},
                                           {"unlock", kWtsSessionUnlock, "session unlocked"},
                                           {"connect", kWtsConsoleConnect, "console connected"},
                                           {"disconnect", kWtsConsoleDisconnect, "console disconnected"}};
    for (const SessionWord& s : kSession) {
        if (text != s.word) continue;
        std::size_t told = Broadcast(hostuser::kSessionChangeMessage, s.code, kUserSession);
        *reply = std::string(s.what) + ": told " + std::to_string(told) + " program(s)";
        print_(now, *reply);
        return true;
    }

    std::string error;
    std::optional<Action> action = ParseWorldAction(text, machine_.Options().disks, sourceDir_, &error);
    if (!action) {
        *reply = error;
        return false;
    }
    print_(now, "ctl: " + action->text);
    if (action->kind == ActionKind::Suspend) {
        std::size_t told = Broadcast(hostuser::kPowerBroadcastMessage, kPbtApmSuspend, 0);
        bool ok = TakeAction(*action, reply);
        *reply += "; power broadcast to " + std::to_string(told) + " program(s)";
        return ok;
    }
    bool ok = TakeAction(*action, reply);
    if (ok && action->kind == ActionKind::Resume) {
        std::size_t told = Broadcast(hostuser::kPowerBroadcastMessage, kPbtApmResumeAutomatic, 0);
        Broadcast(hostuser::kPowerBroadcastMessage, kPbtApmResumeSuspend, 0);
        *reply += "; power broadcast to " + std::to_string(told) + " program(s)";
    }
    return ok;
}

}  // namespace notebook
