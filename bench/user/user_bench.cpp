// Figures of the live notebook, in real time:
//  - the sensor status thread's share of a processor over 10 s of idle time
//    (its OS thread's CPU clock), and the period of its ticks (p50, p99);
//    the whole notebook process's share beside it;
//  - one Kernel::Call carrying command 107 (what the server pays per
//    request, socket aside), and the round trip of command 107 from a
//    separate process through DeviceIoControl and the user-mode socket
//    (p50, p90, p99, max).
//
// Usage: user_bench [idle-seconds] [round-trips]
// Prints "name: value" lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <hostkernel/io.h>
#include <hostkernel/kernel.h>
#include <hostkernel/registry.h>
#include <hostuser/kernel_gate.h>
#include <hostuser/win32_server.h>

#include "hw/chipset.h"
#include "hw/storage.h"
#include "roundtrip_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// Stands in front of the GPIO level register: the sensor thread reads the
// interrupt line once per tick, so the reads date the ticks (and tell which
// OS thread the sensor thread is).
class TickRecorder : public hk::PortHandler {
public:
    explicit TickRecorder(hk::PortHandler& gpio) : gpio_(gpio) { ticks_.reserve(1 << 20); }
    std::uint32_t ReadPort(std::uint16_t port, unsigned width) override {
        if (recording_ && ticks_.size() < ticks_.capacity()) ticks_.push_back(Clock::now());
        if (!threadKnown_) {
            sensorThread_ = pthread_self();
            threadKnown_ = true;
        }
        return gpio_.ReadPort(port, width);
    }
    void WritePort(std::uint16_t port, std::uint32_t value, unsigned width) override {
        gpio_.WritePort(port, value, width);
    }
    // The following are used inside Kernel::Call, holding the processor.
    void Record(bool on) { recording_ = on; }
    std::vector<Clock::time_point> Ticks() const { return ticks_; }
    bool ThreadKnown() const { return threadKnown_; }
    pthread_t SensorThread() const { return sensorThread_; }

private:
    hk::PortHandler& gpio_;
    bool recording_ = false;
    std::vector<Clock::time_point> ticks_;
    bool threadKnown_ = false;
    pthread_t sensorThread_{};
};

double CpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p / 100.0 * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

std::vector<std::uint8_t> Command(std::uint32_t number, std::initializer_list<std::pair<int, std::uint32_t>> words) {
    std::vector<std::uint8_t> block(80, 0);
    auto put = [&](int offset, std::uint32_t v) {
        for (int b = 0; b < 4; ++b) block[offset + b] = static_cast<std::uint8_t>(v >> (8 * b));
    };
    put(0, number);
    for (auto& w : words) put(w.first, w.second);
    return block;
}

int Client(int argc, char** argv) {
    if (argc < 3) return 2;
    setenv("ZHP_NOTEBOOK_SOCKET", argv[2], 1);
    return RunRoundTrips(argc >= 4 ? std::atoi(argv[3]) : 2000);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "client") return Client(argc, argv);
    const int idleSeconds = argc >= 2 ? std::atoi(argv[1]) : 10;
    const int roundTrips = argc >= 3 ? std::atoi(argv[2]) : 5000;

    hk::KernelOptions options;
    options.clock = hk::ClockMode::Real;
    hk::Kernel kernel(options);
    for (const char* file : {"/install/ZHP.reg", "/install/Halvorin.reg"}) {
        if (auto error = kernel.Reg().ImportFile(std::string(USER_BENCH_SOURCE_DIR) + file)) {
            std::fprintf(stderr, "user_bench: %s\n", error->ToString().c_str());
            return 1;
        }
    }
    hw::Chipset chipset(kernel.Clock());
    TickRecorder recorder(chipset.Gpio());
    // The recorder is mapped first: the first mapping of a port answers.
    kernel.MapPorts(static_cast<std::uint16_t>(chipset.Gpio().Address()), hw::GpioLevelRegister::kSize, &recorder);
    for (const hw::PortRange& r : chipset.PortRanges()) kernel.MapPorts(r.first, r.count, r.handler);
    auto storage = std::make_unique<hw::StorageSubsystem>(kernel);
    PDRIVER_OBJECT zhp = kernel.LoadDriverModule(L"ZHP", USER_BENCH_ZHP_MODULE);
    if (zhp == nullptr) {
        std::fprintf(stderr, "user_bench: ZHP did not load\n");
        return 1;
    }
    hw::Disk& disk = storage->AddDisk(hw::DiskConfig{});
    storage->StartDisk(disk, {zhp});

    // Protection on, as the utility switches it on (the first command runs
    // the sensor start-up).
    kernel.Call([&] {
        PDEVICE_OBJECT control = hk::FindDevice(L"\\DosDevices\\VELMORACC");
        for (const auto& block : {Command(107, {}), Command(102, {{16, 50}, {32, 10}, {36, 1}}), Command(203, {}),
                                  Command(111, {{16, 50}, {36, 1}})}) {
            hk::RequestPtr r = hk::SendDeviceControl(control, 0x00072020, block, 80, UserMode);
            hk::WaitRequest(*r);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the start-up settle

    // ---------------------------------------------------------- idle sensor thread
    bool known = false;
    pthread_t sensor{};
    kernel.Call([&] {
        known = recorder.ThreadKnown();
        sensor = recorder.SensorThread();
        recorder.Record(true);
    });
    if (!known) {
        std::fprintf(stderr, "user_bench: the sensor thread never read the interrupt line\n");
        return 1;
    }
    clockid_t sensorClock;
    if (pthread_getcpuclockid(sensor, &sensorClock) != 0) {
        std::fprintf(stderr, "user_bench: no CPU clock for the sensor thread\n");
        return 1;
    }
    const double sensorStart = CpuSeconds(sensorClock);
    const double processStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wallStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double sensorCpu = CpuSeconds(sensorClock) - sensorStart;
    const double processCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    std::vector<Clock::time_point> ticks;
    kernel.Call([&] {
        recorder.Record(false);
        ticks = recorder.Ticks();
    });
    std::vector<double> periods;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        periods.push_back(std::chrono::duration<double, std::micro>(ticks[i] - ticks[i - 1]).count());
    }
    std::printf("idle_seconds: %.2f\n", wall);
    std::printf("sensor_thread_cpu_percent_of_core: %.3f\n", 100.0 * sensorCpu / wall);
    std::printf("notebook_process_cpu_percent_of_core: %.3f\n", 100.0 * processCpu / wall);
    std::printf("sensor_ticks: %zu\n", ticks.size());
    std::printf("sensor_tick_period_p50_us: %.1f\n", Percentile(periods, 50));
    std::printf("sensor_tick_period_p99_us: %.1f\n", Percentile(periods, 99));
    std::printf("sensor_tick_period_max_us: %.1f\n", Percentile(periods, 100));
    std::fflush(stdout);

    // ---------------------------------------------------------- one entry into the kernel
    // What the server pays per request before any socket: Kernel::Call of a
    // command 107 sent straight to the control device.
    std::vector<double> callUs;
    for (int i = 0; i < roundTrips; ++i) {
        auto start = Clock::now();
        kernel.Call([&] {
            hk::RequestPtr r =
                hk::SendDeviceControl(hk::FindDevice(L"\\DosDevices\\VELMORACC"), 0x00072020, Command(107, {}), 80, UserMode);
            hk::WaitRequest(*r);
        });
        callUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("kernel_call_107_p50_us: %.1f\n", Percentile(callUs, 50));
    std::printf("kernel_call_107_p99_us: %.1f\n", Percentile(callUs, 99));
    std::fflush(stdout);

    // ---------------------------------------------------------- command 107 round trip
    char dir[] = "/tmp/zhp-user-bench-XXXXXX";
    std::string directory = mkdtemp(dir);
    hostuser::KernelGate gate(kernel);
    hostuser::Win32ServerOptions serverOptions;
    serverOptions.socketPath = directory + "/notebook.sock";
    hostuser::Win32Server server(gate, serverOptions);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "user_bench: %s\n", error.c_str());
        return 1;
    }
    std::string output = directory + "/roundtrips.txt";
    std::string command = std::string("'") + argv[0] + "' client '" + serverOptions.socketPath + "' " +
                          std::to_string(roundTrips) + " > '" + output + "'";
    int status = std::system(command.c_str());
    server.Stop();
    std::vector<double> us;
    if (FILE* f = std::fopen(output.c_str(), "r")) {
        long long ns;
        while (std::fscanf(f, "%lld", &ns) == 1) us.push_back(ns / 1000.0);
        std::fclose(f);
    }
    std::string cleanup = "rm -rf '" + directory + "'";
    (void)!std::system(cleanup.c_str());
    if (status != 0 || us.empty()) {
        std::fprintf(stderr, "user_bench: the round-trip client failed\n");
        return 1;
    }
    // The first calls connect and warm up; the figures are of the rest.
    std::vector<double> steady(us.begin() + std::min<std::size_t>(us.size() / 10, 100), us.end());
    std::printf("roundtrip_107_count: %zu\n", steady.size());
    std::printf("roundtrip_107_p50_us: %.1f\n", Percentile(steady, 50));
    std::printf("roundtrip_107_p90_us: %.1f\n", Percentile(steady, 90));
    std::printf("roundtrip_107_p99_us: %.1f\n", Percentile(steady, 99));
    std::printf("roundtrip_107_max_us: %.1f\n", Percentile(steady, 100));
    std::printf("roundtrip_107_first_us: %.1f\n", us.front());
    return 0;
}
