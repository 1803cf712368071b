// sentrel_bench [ticks]: the settings dialog's live readout, tick by tick.
//
// Starts `notebook serve` in a temporary directory, brings Sentrel up in
// this process (offscreen), opens the settings dialog and times the readout
// handler: one command 101 through DeviceIoControl and the notebook's
// socket, the smoothing and angle arithmetic, and the text and bar updates.
// The bare 101 round trip is timed too, so the share of the window work
// shows. The tick has 50 ms; the aim is a p99 of at most 5 ms.
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config_dialog.h"
#include "gate_window.h"
#include "forms/main_form.h"
#include "main_window.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Figures {
    double p50 = 0, p99 = 0, max = 0;
};

Figures Percentiles(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    Figures f;
    if (us.empty()) return f;
    f.p50 = us[us.size() / 2];
    f.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    f.max = us.back();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    char pattern[] = "/tmp/sentrel-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string socket = dir + "/notebook.sock", log = dir + "/serve.log";
    setenv("ZHP_NOTEBOOK_SOCKET", socket.c_str(), 1);
    const pid_t serve = fork();
    if (serve == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        const std::string state = dir + "/state";
        execl(SENTREL_BENCH_NOTEBOOK, SENTREL_BENCH_NOTEBOOK, "serve", "--state", state.c_str(), "--socket",
              socket.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    auto stop = [&] {
        kill(serve, SIGTERM);
        waitpid(serve, nullptr, 0);
        const std::string rm = "rm -rf '" + dir + "'";
        (void)!std::system(rm.c_str());
    };
    for (int i = 0; i < 6000 && Slurp(log).find("serving user mode on") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    int result = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        TFormGate gate;
        TFormMain& main = *gate.mainWindow();
        main.form().bConfig->click();
        main.form().ReadXYZ->stop();  // ticks are driven here, back to back

        std::vector<double> tick, roundTrip;
        QElapsedTimer clock;
        for (int i = 0; i < ticks; ++i) {
            clock.start();
            main.ReadXYZTimer();
            tick.push_back(clock.nsecsElapsed() / 1000.0);
            clock.start();
            main.driver().ReadSensor();
            roundTrip.push_back(clock.nsecsElapsed() / 1000.0);
            QApplication::processEvents();
        }
        main.config()->close();
        const Figures t = Percentiles(tick), r = Percentiles(roundTrip);
        std::printf("readout_ticks %d\n", ticks);
        std::printf("readout_tick_us p50 %.1f p99 %.1f max %.1f\n", t.p50, t.p99, t.max);
        std::printf("command_101_round_trip_us p50 %.1f p99 %.1f max %.1f\n", r.p50, r.p99, r.max);
        std::printf("window_work_us p50 %.1f (tick minus round trip)\n", t.p50 - r.p50);
        std::printf("tick_period_share_p99 %.3f (of 50 ms)\n", t.p99 / 50000.0);
        result = t.p50 > 0 ? 0 : 1;
    }
    stop();
    return result;
}
