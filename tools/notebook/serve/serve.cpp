#include "serve.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <hostkernel/io.h>
#include <hostkernel/registry.h>
#include <hostuser/kernel_gate.h>
#include <hostuser/win32_server.h>

#include "caption_files.h"
#include "control_client.h"
#include "actions.h"
#include "event_log.h"
#include "machine.h"
#include "machine_events.h"
#include "protection_monitor.h"
#include "request_ledger.h"
#include "script.h"
#include "socket_path.h"
#include "summary.h"
#include "world_control.h"

namespace notebook {

namespace {

constexpr const char* kRegistryFile = "registry.reg";
// The line monitor dates the sensor's edges exactly whatever its period;
// in real time a slower look costs less.
constexpr hk::Time100ns kLinePeriod = 2 * hk::kMillisecond;

struct ServeOptions {
    std::string socketPath;
    std::string stateDir;
    bool administrator = true;
    std::string driver;
    bool driverGiven = false;
    std::uint32_t locale = 1033;
    std::uint64_t seed = 1;
    std::string eventsPath;
    std::string tracePath;
    hk::ClockInterrupt clock = hk::ClockInterrupt::Windows;
    unsigned processors = 2;
};

const char* kUsage =
    "usage: notebook serve [--socket PATH] [--state DIR] [--user administrator|standard]\n"
    "                      [--driver PATH] [--locale N] [--seed N] [--events FILE] [--clock windows|exact]\n"
    "                      [--processors N] [--trace FILE]\n"
    "  --socket PATH   the user-mode socket (default $ZHP_NOTEBOOK_SOCKET, $XDG_RUNTIME_DIR/zhp-notebook.sock)\n"
    "  --state DIR     registry and drive C: (default $XDG_STATE_HOME/zhp-notebook)\n"
    "  --user WHO      the logged-on user: administrator (default) or standard\n"
    "  --driver PATH   the ZHP module to load (default: the build's)\n"
    "  --locale N      the user's locale id (default 1033)\n"
    "  --seed N        the kernel's scheduling seed (default 1)\n"
    "  --clock KIND    windows (default): timers end at Windows' clock interrupt; exact: at their due time\n"
    "  --processors N  logical processors, 1 to 8 (default 2)\n"
    "  --events FILE   the event log as JSON lines, written as things happen: every control\n"
    "                  request a program sends (\"ioctl\": request and reply words), world\n"
    "                  actions, the interrupt line, disk commands, heads, completed requests\n"
    "  --trace FILE    the driver's debug output, each message with the notebook's time\n"
    "  every drop is drawn as a timeline in STATE/plots/drop-NN.svg (STATE: the --state directory)\n"
    "runs the notebook in real time until SIGINT or SIGTERM; notebook ctl acts on it.\n";

int Usage(const std::string& problem) {
    std::cerr << "notebook serve: " << problem << "\n" << kUsage;
    return 2;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// mkdir -p, new directories private.
bool MakeDirectories(const std::string& path) {
    std::string partial;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        partial = path.substr(0, at);
        if (partial.empty() || Exists(partial)) continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::string DefaultStateDir() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/zhp-notebook";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "/tmp") + "/.local/state/zhp-notebook";
}

// The live log: one line per event, stamped with the notebook's time since boot.
class LivePrinter {
public:
    void Print(hk::Time100ns t, const std::string& text) {
        std::lock_guard<std::mutex> lk(mutex_);
        std::printf("[%9.3f s] %s\n", static_cast<double>(t) / hk::kSecond, text.c_str());
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;
};

// A log file written as things happen, or none when no path was given. False
// (the reason printed) when the file cannot be written.
using LogFile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
bool OpenLogFile(const std::string& path, LogFile* file) {
    if (path.empty()) return true;
    file->reset(std::fopen(path.c_str(), "w"));
    if (*file) return true;
    std::cerr << "notebook serve: cannot write " << path << ": " << std::strerror(errno) << "\n";
    return false;
}

bool ParseServeOptions(int argc, char** argv, ServeOptions* o, std::string* problem) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            *problem = "--help";
            return false;
        }
        if (i + 1 >= argc) {
            *problem = "expected a value after " + arg;
            return false;
        }
        std::string value = argv[++i];
        if (arg == "--socket") {
            o->socketPath = value;
        } else if (arg == "--state") {
            o->stateDir = value;
        } else if (arg == "--user") {
            if (value != "administrator" && value != "admin" && value != "standard") {
                *problem = "expected --user administrator or --user standard";
                return false;
            }
            o->administrator = value != "standard";
        } else if (arg == "--events") {
            o->eventsPath = value;
        } else if (arg == "--trace") {
            o->tracePath = value;
        } else if (arg == "--driver") {
            o->driver = value;
            o->driverGiven = true;
        } else if (arg == "--clock") {
            if (value != "windows" && value != "exact") {
                *problem = "expected --clock windows or --clock exact";
                return false;
            }
            o->clock = value == "exact" ? hk::ClockInterrupt::Exact : hk::ClockInterrupt::Windows;
        } else if (arg == "--processors") {
            char* end = nullptr;
            const unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > hk::kMaxProcessorCount) {
                *problem = "expected --processors N with N from 1 to " + std::to_string(hk::kMaxProcessorCount);
                return false;
            }
            o->processors = static_cast<unsigned>(n);
        } else if (arg == "--locale" || arg == "--seed") {
            char* end = nullptr;
            unsigned long long n = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || (arg == "--locale" && n > 0xFFFFFFFFull)) {
                *problem = "expected a number after " + arg;
                return false;
            }
            if (arg == "--locale") {
                o->locale = static_cast<std::uint32_t>(n);
            } else {
                o->seed = n;
            }
        } else {
            *problem = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

// Sends the shutdown request to every started disk and waits for each, as
// the system does before it turns off.
void ShutDownDisks(Machine& machine, hostuser::KernelGate& gate, LivePrinter& printer) {
    if (!machine.Booted()) return;
    gate.Run(
        [&] {
            for (hw::Disk* disk : machine.Storage().Disks()) {
                PDEVICE_OBJECT top = machine.Storage().Top(*disk);
                if (top == nullptr || !machine.Storage().Started(*disk)) continue;
                hk::RequestPtr r = hk::SendShutdown(top);
                bool done = hk::WaitRequest(*r, 5 * hk::kSecond);
                printer.Print(machine.Kernel().Now(),
                              "shutdown of " + disk->Name() + (done ? " done" : " did not complete in 5 s"));
            }
        },
        "shutdown");
}

}  // namespace

int ServeMain(int argc, char** argv, const std::string& sourceDir, const std::string& defaultDriver) {
    ServeOptions o;
    std::string problem;
    if (!ParseServeOptions(argc, argv, &o, &problem)) {
        if (problem != "--help") return Usage(problem);
        std::cout << kUsage;
        return 0;
    }
    if (o.stateDir.empty()) o.stateDir = DefaultStateDir();
    o.socketPath = hostuser::ResolveSocketPath(o.socketPath);
    if (!o.driverGiven) o.driver = defaultDriver;
    if (o.driver.empty() || !Exists(o.driver)) {
        if (o.driverGiven) return Usage("no ZHP driver at " + o.driver);
        std::cerr << "notebook serve: no ZHP driver" << (o.driver.empty() ? "" : " at " + o.driver)
                  << "; the notebook runs unprotected\n";
        o.driver.clear();
    }
    // A second notebook is refused before it boots anything.
    {
        std::string reply;
        if (hostuser::SendControlRequest(o.socketPath, "status", &reply) != hostuser::ControlOutcome::Unreachable) {
            std::cerr << "notebook serve: another notebook is already serving on " << o.socketPath << "\n";
            return 1;
        }
    }

    const std::string driveC = o.stateDir + "/drive_c";
    if (!MakeDirectories(o.stateDir) || !MakeDirectories(driveC + "/Users/Public")) {
        std::cerr << "notebook serve: cannot create the state directory " << o.stateDir << ": " << std::strerror(errno)
                  << "\n";
        return 2;
    }

    // SIGINT and SIGTERM are taken by the main thread alone (sigwait below):
    // every thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Opened before the machine exists, so that they outlive it: the driver
    // still prints while the machine is taken down.
    LogFile eventsFile(nullptr, &std::fclose);
    LogFile traceFile(nullptr, &std::fclose);
    if (!OpenLogFile(o.eventsPath, &eventsFile) || !OpenLogFile(o.tracePath, &traceFile)) return 2;

    LivePrinter printer;
    const std::string savedRegistry = o.stateDir + "/" + kRegistryFile;
    MachineOptions mo;
    mo.seed = o.seed;
    mo.clock = hk::ClockMode::Real;
    mo.clock_interrupt = o.clock;
    mo.processors = o.processors;
    mo.disks = {hw::DiskConfig{}};
    mo.driver_path = o.driver;
    mo.line_sample_period = kLinePeriod;
    const bool fromSaved = Exists(savedRegistry);
    mo.registry_files = fromSaved ? std::vector<std::string>{savedRegistry} : DefaultRegistryFiles(sourceDir);

    std::unique_ptr<Machine> machine;
    try {
        machine = std::make_unique<Machine>(mo);
    } catch (const std::exception& e) {
        std::cerr << "notebook serve: " << e.what() << "\n";
        return 2;
    }
    // The event log goes to its file line by line as events are added (each
    // line flushed, so a reader follows it live); without a file nothing is kept.
    EventLog events;
    if (eventsFile) {
        std::FILE* file = eventsFile.get();
        events.PassOn([file](const Event& e) {
            std::fputs((e.ToJson() + "\n").c_str(), file);
            std::fflush(file);
        });
        LogLineEdges(events, *machine);
    } else {
        events.PassOn([](const Event&) {});
    }
    // The driver's debug output goes to its file as printed, each message
    // stamped with the notebook's time (what a debugger attached to the
    // notebook would show).
    if (traceFile) {
        std::FILE* file = traceFile.get();
        hk::Kernel* tracedKernel = &machine->Kernel();
        machine->Kernel().SetDebugSink([file, tracedKernel](const std::string& text) {
            std::fprintf(file, "[%9.3f s] %s", static_cast<double>(tracedKernel->Now()) / hk::kSecond, text.c_str());
            if (text.empty() || text.back() != '\n') std::fputc('\n', file);
            std::fflush(file);
        });
    }
    RequestLedger ledger;
    BootReport boot;
    try {
        boot = machine->Boot();
    } catch (const std::exception& e) {
        std::cerr << "notebook serve: " << e.what() << "\n";
        return 2;
    }
    if (eventsFile) LogBoot(events, *machine, boot);
    hk::Kernel& kernel = machine->Kernel();
    if (kernel.Stopped()) {
        std::cerr << "notebook serve: VERIFIER STOP " << kernel.Stop().ToString() << "\n";
        return 1;
    }
    printer.Print(kernel.Now(), std::string("booted in real time: registry ") +
                                    (fromSaved ? "from " + savedRegistry : std::string("from the installer's files")) +
                                    (boot.zhp_loaded ? ", ZHP protects " : ", no ZHP, ") +
                                    (machine->ProtectedDisk() != nullptr ? machine->ProtectedDisk()->Name()
                                                                         : std::string("no disk")) +
                                    ", clock " + ClockName(o.clock) + ", " + std::to_string(o.processors) +
                                    (o.processors == 1 ? " processor" : " processors"));

    {
        std::string problem;
        const std::string captions = PlaceCaptionFiles(kernel.Reg(), sourceDir, driveC, &problem);
        printer.Print(kernel.Now(), captions.empty() ? "no caption files: " + problem
                                                     : "caption files placed in " + captions);
    }

    hostuser::KernelGate gate(kernel);
    auto print = [&printer](hk::Time100ns t, const std::string& text) { printer.Print(t, text); };
    ProtectionMonitor monitor(*machine, ledger, gate, print, eventsFile ? &events : nullptr);
    WorldControl world(*machine, gate, events, ledger, monitor, sourceDir, print);

    hostuser::Win32ServerOptions so;
    so.socketPath = o.socketPath;
    so.administrator = o.administrator;
    so.locale = o.locale;
    so.driveC = driveC;
    so.log = [&](const std::string& line) { printer.Print(kernel.Now(), line); };
    so.control = [&](const std::string& request, std::string* reply) { return world.Handle(request, reply); };
    if (eventsFile) {
        so.deviceControl = [&events](const hostuser::DeviceControlRecord& r) {
            JsonObject fields = ControlRequestFields(r.input, static_cast<hk::Time100ns>(r.sentAt), r.status,
                                                     r.bytesReturned, r.output);
            fields.Add("pid", static_cast<std::uint64_t>(r.processId)).Add("error", static_cast<std::uint64_t>(r.error));
            if (r.code != kControlCode) fields.Add("code", static_cast<std::uint64_t>(r.code));
            if (!r.sent) fields.Add("sent", false);
            if (r.abandoned) fields.Add("abandoned", true).Add("ended", r.ended);
            const hk::Time100ns t = static_cast<hk::Time100ns>(r.ended && r.sent ? r.completedAt : r.sentAt);
            events.Add(t, "ioctl", fields);
        };
    }
    hostuser::Win32Server server(gate, so);
    std::string error;
    if (!server.Start(&error)) {
        std::cerr << "notebook serve: " << error << "\n";
        return 1;
    }
    world.SetServer(&server);
    // A picture of every drop, in the state directory.
    const std::string plotsDir = o.stateDir + "/plots";
    if (MakeDirectories(plotsDir)) {
        monitor.PlotInto(plotsDir);
    } else {
        std::cerr << "notebook serve: cannot create " << plotsDir << "; drops are not drawn\n";
    }
    monitor.Start();
    printer.Print(kernel.Now(), "serving user mode on " + server.SocketPath() + " (user: " +
                                    (o.administrator ? "administrator" : "standard") + ", state: " + o.stateDir +
                                    "); Ctrl-C or SIGTERM stops");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    printer.Print(kernel.Now(), std::string("stopping (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ")");

    monitor.Stop();
    // Programs lose the notebook first: their pending requests are cancelled
    // and their handles closed while the machine still runs.
    server.Stop();
    world.SetServer(nullptr);
    int status = 0;
    if (!kernel.Stopped()) {
        ShutDownDisks(*machine, gate, printer);
        std::string saveError;
        if (kernel.Reg().SaveFileAtomic(savedRegistry, &saveError)) {
            printer.Print(kernel.Now(), "registry saved to " + savedRegistry);
        } else {
            std::cerr << "notebook serve: cannot save the registry: " << saveError << "\n";
            status = 1;
        }
    } else {
        std::cerr << "notebook serve: VERIFIER STOP " << kernel.Stop().ToString() << "\n";
        status = 1;
    }
    std::vector<DropRow> rows = DropRows(monitor.Facts());
    if (!rows.empty()) std::printf("%s", DropTable(rows).c_str());
    std::fflush(stdout);
    return status;
}

int CtlMain(int argc, char** argv) {
    std::string socketPath;
    std::string request;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--socket" && request.empty()) {
            if (i + 1 >= argc) {
                std::cerr << "notebook ctl: expected a path after --socket\n";
                return 2;
            }
            socketPath = argv[++i];
            continue;
        }
        request += (request.empty() ? "" : " ") + arg;
    }
    if (request.empty()) {
        std::cerr << "usage: notebook ctl [--socket PATH] ACTION ...   (notebook ctl help lists the actions)\n";
        return 2;
    }
    std::string reply;
    hostuser::ControlOutcome outcome =
        hostuser::SendControlRequest(hostuser::ResolveSocketPath(socketPath), request, &reply);
    switch (outcome) {
        case hostuser::ControlOutcome::Done:
            std::cout << reply << (reply.empty() || reply.back() == '\n' ? "" : "\n");
            return 0;
        case hostuser::ControlOutcome::Refused:
            std::cerr << "notebook ctl: " << reply << "\n";
            return 1;
        case hostuser::ControlOutcome::Unreachable:
            std::cerr << "notebook ctl: " << reply << "\n";
            return 2;
    }
    return 2;
}

}  // namespace notebook
