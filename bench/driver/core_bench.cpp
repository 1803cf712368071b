// The cost of the filter on the read path, and of holding and releasing
// requests in its queue.
//
//   zhp_core_bench [reads per phase] [held requests] [phases per path]
//
// Reads through ZHP (the top of the disk's stack) against reads sent straight
// to the device below it, alternating in one run on a disk that answers
// almost at once, so that the cost of the stack is what is measured; on one
// processor, then on two (figures prefixed two_processors_). Then the
// disk is blocked, requests are held (no pool may be allocated for them) and
// released at once by command 106.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "driver_machine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 64;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of the whole program (every emulated thread is one of its
// threads): steadier than wall time on a busy machine.
double ProcessCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct PhaseTime {
    double wall;
    double cpu;
};

bool Healthy(zhptest::Machine& m) {
    if (!m.kernel.Stopped()) return true;
    std::fprintf(stderr, "machine stopped: %s\n", m.kernel.Stop().ToString().c_str());
    return false;
}

zhptest::MachineOptions FastDisk(unsigned processors = 1) {
    zhptest::MachineOptions options;
    options.processors = processors;
    hw::DiskTiming& timing = options.disks[0].timing;
    timing.transfer_min = 1;
    timing.transfer_max = 1;
    timing.command_overhead = 1;
    return options;
}

// Sends `count` sector reads to `device`, kBatch at a time, and waits for
// each batch. Returns the time taken.
PhaseTime ReadPhase(zhptest::Machine& m, PDEVICE_OBJECT device, std::size_t count) {
    const Clock::time_point start = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    m.kernel.Call([&] {
        std::vector<hk::RequestPtr> batch;
        batch.reserve(kBatch);
        for (std::size_t sent = 0; sent < count; sent += kBatch) {
            batch.clear();
            for (std::size_t i = 0; i < kBatch; ++i) {
                batch.push_back(hk::SendRead(device, ((sent + i) % 4096) * hw::kSectorSize, hw::kSectorSize));
            }
            for (const auto& r : batch) hk::WaitRequest(*r);
        }
    });
    return PhaseTime{SecondsSince(start), ProcessCpuSeconds() - cpuStart};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool ReadThroughput(std::size_t readsPerPhase, int rounds, unsigned processors) {
    zhptest::Machine m(FastDisk(processors));
    const char* p = processors == 1 ? "" : "two_processors_";
    if (!Healthy(m) || m.Filter() == nullptr) return false;
    PDEVICE_OBJECT throughZhp = m.DiskTop();
    PDEVICE_OBJECT bare = m.FilterExt()->LowerDeviceObject;

    ReadPhase(m, throughZhp, readsPerPhase);  // warm up both paths
    ReadPhase(m, bare, readsPerPhase);
    // Short phases in the order ZHP, bare, bare, ZHP, ...: the occasional
    // costly moment of the machine (its records growing) falls on both paths
    // alike, and the medians leave it out.
    std::vector<double> zhpRates;
    std::vector<double> bareRates;
    std::vector<double> zhpCpuRates;
    std::vector<double> bareCpuRates;
    const double reads = static_cast<double>(readsPerPhase);
    for (int round = 0; round < rounds; ++round) {
        const bool zhpFirst = round % 2 == 0;
        for (int leg = 0; leg < 2; ++leg) {
            const bool zhp = (leg == 0) == zhpFirst;
            const PhaseTime time = ReadPhase(m, zhp ? throughZhp : bare, readsPerPhase);
            (zhp ? zhpRates : bareRates).push_back(reads / time.wall);
            (zhp ? zhpCpuRates : bareCpuRates).push_back(reads / time.cpu);
        }
    }
    if (!Healthy(m)) return false;

    const double zhpRate = Median(zhpRates);
    const double bareRate = Median(bareRates);
    if (processors == 1) {
        std::printf("reads_per_phase: %zu\n", readsPerPhase);
        std::printf("phases_per_path: %d\n", rounds);
    }
    std::printf("%szhp_reads_per_wall_second: %.0f\n", p, zhpRate);
    std::printf("%sbare_reads_per_wall_second: %.0f\n", p, bareRate);
    std::printf("%szhp_to_bare_throughput_ratio: %.3f\n", p, zhpRate / bareRate);
    std::printf("%szhp_reads_per_cpu_second: %.0f\n", p, Median(zhpCpuRates));
    std::printf("%sbare_reads_per_cpu_second: %.0f\n", p, Median(bareCpuRates));
    std::printf("%szhp_to_bare_cpu_throughput_ratio: %.3f\n", p, Median(zhpCpuRates) / Median(bareCpuRates));
    std::printf("%szhp_outstanding_io_after: %ld\n", p, static_cast<long>(m.FilterExt()->OutstandingIo));
    return true;
}

bool HoldAndRelease(std::size_t count) {
    zhptest::Machine m(FastDisk());
    if (!Healthy(m) || m.Filter() == nullptr) return false;
    zhptest::Reply on = m.Command(ZHP_CMD_SWITCH_PROTECTION, {{36, 1}});
    m.Pin(true);
    m.kernel.RunFor(hk::kSecond);  // parked and blocked
    if (on.status != STATUS_SUCCESS || !(m.Flag() & ZHP_FLAG_IO_BLOCKED) || !Healthy(m)) {
        std::fprintf(stderr, "the disk did not block\n");
        return false;
    }

    std::vector<hk::RequestPtr> held;
    held.reserve(count);
    const hk::PoolStatistics poolBefore = m.kernel.Pool();
    const Clock::time_point holdStart = Clock::now();
    m.kernel.Call([&] {
        for (std::size_t i = 0; i < count; ++i) {
            held.push_back(hk::SendRead(m.DiskTop(), (i % 4096) * hw::kSectorSize, hw::kSectorSize));
        }
    });
    const double holdSeconds = SecondsSince(holdStart);
    const hk::PoolStatistics poolAfter = m.kernel.Pool();
    std::size_t pending = 0;
    for (const auto& r : held) pending += !r->completed;

    const ULONG forwardedBefore = m.FilterExt()->DispatchForwardCount;
    const Clock::time_point releaseStart = Clock::now();
    hk::RequestPtr release = m.SendCommand(ZHP_CMD_RELEASE_DISK);
    const double releaseSeconds = SecondsSince(releaseStart);
    const ULONG released = m.FilterExt()->DispatchForwardCount - forwardedBefore;

    m.Pin(false);
    const Clock::time_point drainStart = Clock::now();
    std::size_t completed = 0;
    for (int i = 0; i < 600 && completed < count && !m.kernel.Stopped(); ++i) {
        m.kernel.RunFor(100 * hk::kMillisecond);
        completed = 0;
        for (const auto& r : held) completed += r->completed;
    }
    const double drainSeconds = SecondsSince(drainStart);
    if (!Healthy(m)) return false;

    std::printf("held_requests: %zu\n", count);
    std::printf("held_pending_before_release: %zu\n", pending);
    std::printf("pool_allocations_while_holding: %llu\n",
                static_cast<unsigned long long>(poolAfter.allocations - poolBefore.allocations));
    std::printf("hold_wall_ns_per_request: %.0f\n", holdSeconds * 1e9 / static_cast<double>(count));
    std::printf("release_command_completed: %d\n", release->completed ? 1 : 0);
    std::printf("released_by_the_release: %lu\n", static_cast<unsigned long>(released));
    std::printf("release_wall_ns_per_request: %.0f\n", releaseSeconds * 1e9 / static_cast<double>(count));
    std::printf("released_requests_completed: %zu\n", completed);
    std::printf("disk_completion_wall_seconds: %.3f\n", drainSeconds);
    return completed == count;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t readsPerPhase = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
    const std::size_t heldRequests = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 21;
    if (!ReadThroughput(readsPerPhase, rounds, 1)) return 1;
    if (!ReadThroughput(readsPerPhase, rounds, 2)) return 1;
    if (!HoldAndRelease(heldRequests)) return 1;
    return 0;
}
