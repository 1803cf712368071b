// The randomized campaign: many short runs of the notebook with ZHP, each on
// a fresh machine with a plan drawn from its run seed, each checked against
// the driver's invariants.
//
//   campaign [--runs N] [--seconds S] [--seed MASTER] [--jobs J]
//   campaign --replay RUNSEED [--trace FILE]
//
// Runs stop at N runs or S wall seconds, whichever comes first. The master
// seed gives the run seeds (printed at start); a failing run prints its run
// seed and the command that replays it with the driver's trace. With --jobs
// J, J worker processes share the runs (the kernel is one per process).
// Exit status: 0 all passed and every kind of action was taken, 1 otherwise.
#include "invariants.h"
#include "plan.h"
#include "run.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using campaign::ActionKind;
constexpr std::size_t kKinds = static_cast<std::size_t>(ActionKind::Count);

struct Options {
    std::uint64_t runs = 10000;
    double seconds = 180.0;
    std::uint64_t master = 0x2EB1A5EDull;
    unsigned jobs = 1;
    bool replay = false;
    std::uint64_t replaySeed = 0;
    std::string traceFile;
    campaign::CheckOptions check;
};

bool ParseNumber(const char* text, std::uint64_t* out) {
    char* end = nullptr;
    *out = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        std::uint64_t n = 0;
        if (a == "--runs" && next && ParseNumber(next, &o->runs)) {
            ++i;
        } else if (a == "--seconds" && next) {
            o->seconds = std::atof(next);
            ++i;
        } else if (a == "--seed" && next && ParseNumber(next, &o->master)) {
            ++i;
        } else if (a == "--jobs" && next && ParseNumber(next, &n) && n >= 1 && n <= 64) {
            o->jobs = static_cast<unsigned>(n);
            ++i;
        } else if (a == "--replay" && next && ParseNumber(next, &o->replaySeed)) {
            o->replay = true;
            ++i;
        } else if (a == "--trace" && next) {
            o->traceFile = next;
            ++i;
        } else if (a == "--allow-flush-drain-mid-fall") {
            o->check.allowFlushDrainMidFall = true;
        } else {
            std::fprintf(stderr, "campaign: unexpected argument \"%s\"\n", a.c_str());
            return false;
        }
    }
    return true;
}

campaign::RunOptions RunOptionsFor(bool keepTrace) {
    campaign::RunOptions r;
    r.driverPath = CAMPAIGN_ZHP_MODULE;
    r.sourceDir = CAMPAIGN_SOURCE_DIR;
    r.keepTrace = keepTrace;
    return r;
}

// Runs are counted by machine: processors (1 or 2) by clock.
constexpr std::size_t kMachineKinds = 4;

std::size_t MachineKindOf(const campaign::Plan& plan) {
    return (plan.processors == 1 ? 0 : 2) + (plan.clock == campaign::ClockKind::Exact ? 0 : 1);
}

const char* MachineKindName(std::size_t kind) {
    static const char* const names[kMachineKinds] = {"1 processor, exact clock", "1 processor, windows clock",
                                                     "2 processors, exact clock", "2 processors, windows clock"};
    return names[kind];
}

// One run; the failure text (empty when it passed).
std::string RunOne(std::uint64_t seed, const campaign::CheckOptions& check, bool keepTrace,
                   campaign::RunResult* result, std::size_t* machineKind = nullptr) {
    const campaign::Plan plan = campaign::Generate(seed);
    if (machineKind != nullptr) *machineKind = MachineKindOf(plan);
    if (auto invalid = campaign::Validate(plan)) return "generator fault: " + *invalid;
    *result = campaign::Execute(plan, RunOptionsFor(keepTrace));
    std::string failure;
    for (const std::string& s : result->notTaken) failure += "\n  generator fault: step not taken: " + s;
    for (const std::string& s : campaign::Check(result->facts, check)) failure += "\n  " + s;
    return failure;
}

int Replay(const Options& o, const char* program) {
    const campaign::Plan plan = campaign::Generate(o.replaySeed);
    std::printf("%s", plan.ToString().c_str());
    campaign::RunResult result;
    const std::string failure = RunOne(o.replaySeed, o.check, true, &result);
    if (!o.traceFile.empty()) {
        std::ofstream(o.traceFile) << plan.ToString() << result.trace;
        std::printf("trace: %s\n", o.traceFile.c_str());
    } else {
        std::printf("%s", result.trace.c_str());
    }
    if (failure.empty()) {
        std::printf("run 0x%016" PRIx64 " passed\n", o.replaySeed);
        return 0;
    }
    std::printf("run 0x%016" PRIx64 " failed:%s\n", o.replaySeed, failure.c_str());
    (void)program;
    return 1;
}

// What a worker reports through its pipe: runs done, actions taken, and
// the first failure.
struct Tally {
    std::uint64_t runs = 0;
    double virtualSeconds = 0.0;
    std::array<std::uint64_t, kKinds> taken{};
    std::array<std::uint64_t, kKinds> takenWhileBlocked{};
    // Runs and the wall time they took, by machine kind.
    std::array<std::uint64_t, kMachineKinds> runsByMachine{};
    std::array<double, kMachineKinds> secondsByMachine{};
    std::uint64_t failedSeed = 0;
    bool failed = false;
    char failure[2048] = {};
};

// The seed each worker runs now, in memory the workers share with the
// campaign: a worker that crashes (a sanitizer's report, a signal) sends no
// report, but its seed is still known.
std::uint64_t* gRunning = nullptr;

Tally Work(const Options& o, unsigned job, std::chrono::steady_clock::time_point deadline) {
    Tally tally;
    for (std::uint64_t i = job; i < o.runs; i += o.jobs) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        const std::uint64_t seed = campaign::RunSeedOf(o.master, i);
        if (gRunning != nullptr) gRunning[job] = seed;
        campaign::RunResult result;
        std::size_t kind = 0;
        const auto begun = std::chrono::steady_clock::now();
        const std::string failure = RunOne(seed, o.check, false, &result, &kind);
        tally.runsByMachine[kind]++;
        tally.secondsByMachine[kind] +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        ++tally.runs;
        tally.virtualSeconds += static_cast<double>(result.virtualTime) / hk::kSecond;
        for (std::size_t k = 0; k < kKinds; ++k) {
            tally.taken[k] += result.taken[k];
            tally.takenWhileBlocked[k] += result.takenWhileBlocked[k];
        }
        if (!failure.empty()) {
            tally.failed = true;
            tally.failedSeed = seed;
            std::snprintf(tally.failure, sizeof tally.failure, "%s", failure.c_str());
            break;
        }
    }
    return tally;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) return 2;
    if (o.replay) return Replay(o, argv[0]);

    std::printf("campaign: master seed 0x%016" PRIx64 ", up to %" PRIu64 " runs in %.0f s, %u job(s)\n", o.master,
                o.runs, o.seconds, o.jobs);
    std::printf("campaign: run i has seed RunSeedOf(master, i); first: %s\n",
                campaign::RunSeeds::From(campaign::RunSeedOf(o.master, 0)).ToString().c_str());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<std::int64_t>(o.seconds * 1000.0));

    std::vector<Tally> tallies;
    if (o.jobs == 1) {
        tallies.push_back(Work(o, 0, deadline));
    } else {
        void* shared = mmap(nullptr, sizeof(std::uint64_t) * o.jobs, PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared != MAP_FAILED) gRunning = static_cast<std::uint64_t*>(shared);
        std::vector<std::pair<pid_t, int>> workers;
        for (unsigned job = 0; job < o.jobs; ++job) {
            int fds[2];
            if (pipe(fds) != 0) return 2;
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                const Tally t = Work(o, job, deadline);
                const ssize_t written = write(fds[1], &t, sizeof t);
                _exit(written == static_cast<ssize_t>(sizeof t) ? 0 : 3);
            }
            close(fds[1]);
            workers.emplace_back(pid, fds[0]);
        }
        for (std::size_t job = 0; job < workers.size(); ++job) {
            const auto& w = workers[job];
            Tally t;
            std::size_t got = 0;
            while (got < sizeof t) {
                const ssize_t n = read(w.second, reinterpret_cast<char*>(&t) + got, sizeof t - got);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            close(w.second);
            int status = 0;
            waitpid(w.first, &status, 0);
            if (got != sizeof t) {
                t = Tally();
                t.failed = true;
                t.failedSeed = gRunning != nullptr ? gRunning[job] : 0;
                std::snprintf(t.failure, sizeof t.failure,
                              "\n  the worker running it ended without its report (%s %d): see its output above",
                              WIFSIGNALED(status) ? "signal" : "exit status",
                              WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
            }
            tallies.push_back(t);
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Tally all;
    for (const Tally& t : tallies) {
        all.runs += t.runs;
        all.virtualSeconds += t.virtualSeconds;
        for (std::size_t c = 0; c < kMachineKinds; ++c) {
            all.runsByMachine[c] += t.runsByMachine[c];
            all.secondsByMachine[c] += t.secondsByMachine[c];
        }
        for (std::size_t k = 0; k < kKinds; ++k) {
            all.taken[k] += t.taken[k];
            all.takenWhileBlocked[k] += t.takenWhileBlocked[k];
        }
    }
    std::printf("campaign: %" PRIu64 " runs in %.1f s: %.1f runs/s, %.0f simulated seconds\n", all.runs, wall,
                all.runs / wall, all.virtualSeconds);
    // Per machine kind: runs per second of one job, as the jobs share the
    // machine; then per processor count, both clocks together.
    for (std::size_t c = 0; c < kMachineKinds; ++c) {
        std::printf("campaign: %s: %" PRIu64 " runs, %.1f runs/s per job\n", MachineKindName(c),
                    all.runsByMachine[c],
                    all.secondsByMachine[c] > 0 ? all.runsByMachine[c] / all.secondsByMachine[c] : 0.0);
    }
    for (std::size_t p = 0; p < 2; ++p) {
        const std::uint64_t runs = all.runsByMachine[2 * p] + all.runsByMachine[2 * p + 1];
        const double seconds = all.secondsByMachine[2 * p] + all.secondsByMachine[2 * p + 1];
        std::printf("campaign: %zu processor(s): %" PRIu64 " runs, %.1f runs/s per job\n", p + 1, runs,
                    seconds > 0 ? runs / seconds : 0.0);
    }
    std::printf("campaign: actions taken:");
    bool covered = true;
    for (std::size_t k = 0; k < kKinds; ++k) {
        std::printf(" %s %" PRIu64, campaign::ActionName(static_cast<ActionKind>(k)), all.taken[k]);
        covered = covered && all.taken[k] > 0;
    }
    std::printf("\ncampaign: while the disk was blocked:");
    for (std::size_t k = 0; k < kKinds; ++k) {
        std::printf(" %s %" PRIu64, campaign::ActionName(static_cast<ActionKind>(k)), all.takenWhileBlocked[k]);
    }
    std::printf("\n");
    // The actions whose point is to come during a fall did so.
    for (ActionKind kind : {ActionKind::Release106, ActionKind::SwitchOff102, ActionKind::Flush, ActionKind::Cancel,
                            ActionKind::Shutdown, ActionKind::Remove}) {
        covered = covered && all.takenWhileBlocked[static_cast<std::size_t>(kind)] > 0;
    }
    int exitCode = 0;
    for (const Tally& t : tallies) {
        if (!t.failed) continue;
        std::printf("campaign: run 0x%016" PRIx64 " FAILED:%s\n", t.failedSeed, t.failure);
        std::printf("campaign: replay with: %s --replay 0x%016" PRIx64 " --trace run-%016" PRIx64 ".trace%s\n",
                    argv[0], t.failedSeed, t.failedSeed,
                    o.check.allowFlushDrainMidFall ? " --allow-flush-drain-mid-fall" : "");
        exitCode = 1;
    }
    if (!covered) {
        std::printf("campaign: FAILED: some kind of action was never taken (or never while the disk was blocked)\n");
        exitCode = 1;
    }
    return exitCode;
}
