// sentrel_probe: Sentrel's system side without its windows, for a console.
//
//   sentrel_probe admin       the Administrators test ("administrator: yes|no")
//   sentrel_probe captions    the directory prefix, locale and caption file chosen
//   sentrel_probe query       command 107: bytes returned and the protection word
//   sentrel_probe watch N     the wait thread's first N wakes (fall, cleared)
//   sentrel_probe quit        sets Global\ApEvent01
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>

#include "administrator.h"
#include "captions.h"
#include "driver_client.h"
#include "wait_thread.h"

namespace {

class PrintingListener : public DriverClientListener {
public:
    void OnCommandFailed(DWORD command) override {
        std::printf("command %lu failed [%lu]\n", static_cast<unsigned long>(command),
                    static_cast<unsigned long>(GetLastError()));
    }
};

class CountingSink : public WaitThreadSink {
public:
    explicit CountingSink(int wanted) : wanted_(wanted) {}
    void PostFallDetected() override { Note("fall"); }
    void PostFallWakeUpdates() override {}
    void PostFallCleared() override { Note("cleared"); }
    void WaitForAll() {
        std::unique_lock<std::mutex> lk(mutex_);
        done_.wait(lk, [this] { return seen_ >= wanted_; });
    }

private:
    void Note(const char* what) {
        std::lock_guard<std::mutex> lk(mutex_);
        std::printf("%s\n", what);
        std::fflush(stdout);
        ++seen_;
        done_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable done_;
    int wanted_;
    int seen_ = 0;
};

int Usage() {
    std::fprintf(stderr, "usage: sentrel_probe admin | captions | query | watch N | quit\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const char* command = argv[1];
    if (std::strcmp(command, "admin") == 0) {
        const bool administrator = IsAdministrator();
        std::printf("administrator: %s\n", administrator ? "yes" : "no");
        return 0;
    }
    if (std::strcmp(command, "captions") == 0) {
        const std::string directory = ReadDataDirectory();
        const std::int32_t locale = ReadLocaleNumber();
        std::printf("directory: %s\nlocale: %d\nfile: %s\n", directory.c_str(), static_cast<int>(locale),
                    ChooseCaptionFile(directory, locale).c_str());
        return 0;
    }
    if (std::strcmp(command, "query") == 0) {
        PrintingListener listener;
        DriverClient client(&listener);
        client.Open();
        const DWORD bytes = client.SendCommand(107);
        std::printf("bytes: %lu\nprotection: %lu\n", static_cast<unsigned long>(bytes),
                    static_cast<unsigned long>(client.Word(command_word::kProtection)));
        return bytes != 0 ? 0 : 1;
    }
    if (std::strcmp(command, "watch") == 0 && argc >= 3) {
        CountingSink sink(std::atoi(argv[2]));
        TWaitThread thread(sink);
        sink.WaitForAll();
        return 0;
    }
    if (std::strcmp(command, "quit") == 0) return TWaitThread::SetQuitEvent() ? 0 : 1;
    return Usage();
}
