// libFuzzer target: command blocks on a notebook that stays booted, as the
// control device sees them during a long session of the utility. The
// whole-machine target (control_fuzz.cpp) boots, settles, removes and unloads
// for every input; this one boots once for many inputs, so it tries many
// more command sequences in the same time.
//
// Input: operations, each an operation byte followed by its operands:
//   0..3  a command block (DecodeCommand, command_block.h), sent and waited for
//   4     the interrupt line forced up       5  given back to the sensor
//   6     run for 1..16 ms (operand byte; 64 ms in all at most)
//   7     open and close the control device
// After each input the line is given back, every command must have completed
// with a reply that keeps the protocol's rules, and the driver's registry
// values are put back as they were after boot. The driver's own state goes on
// from input to input. Every kInputsPerBoot inputs the disk is removed and the
// driver unloaded (a leak shows there) and the notebook boots afresh.
//
// A finding saves the inputs since the last boot as session-NNNN files in
// $ZHP_FUZZ_SESSION_DIR (when set): the replay program runs them in order in
// one process, which reproduces the session.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "command_block.h"
#include "driver_image.h"
#include "fuzz_notebook.h"
#include "hostkernel/registry.h"
#include "shared/zhp_command.h"

// The sanitizers' hook for their own findings; absent without them.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace zhpfuzz {
namespace {

using hk::kMillisecond;

constexpr std::size_t kInputsPerBoot = 256;
constexpr std::size_t kMaxSteps = 32;
constexpr hk::Time100ns kPendingLimit = 1000 * hk::kMillisecond;
constexpr hk::Time100ns kRunBudget = 64 * hk::kMillisecond;
constexpr std::uint64_t kSeed = 7;
constexpr unsigned kPreemptPercent = 20;
// The driver's configuration: values put back after every input.
const wchar_t* const kRestoredKeys[] = {
    L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT",
    L"\\Registry\\Machine\\SOFTWARE\\Halvorin",
};

struct KeySnapshot {
    std::wstring path;
    std::vector<hk::RegValue> values;
};

class Session {
public:
    explicit Session(DriverImage& image) : image_(image) {}

    void RunInput(const std::uint8_t* data, std::size_t size) {
        if (nb_ == nullptr || inputs_ == kInputsPerBoot) Reboot();
        ++inputs_;
        history_.emplace_back(data, data + size);
        // The whole input runs on one caller thread, as one program's calls
        // would: one thread per input, not one per operation.
        std::vector<Operation> operations;
        Reader in(data, size);
        hk::Time100ns budget = kRunBudget;
        for (std::size_t i = 0; i < kMaxSteps && !in.Empty(); ++i) operations.push_back(Decode(in, budget));
        std::vector<SentCommand> sent;
        bool openFailed = false;
        nb_->Do([&] { Perform(operations, sent, openFailed); }, "session caller");
        if (openFailed) nb_->Finding("opening the control device failed");
        EndInput(sent);
    }

    // Writes the inputs since boot for the replay program.
    void SaveHistory() const {
        const char* dir = std::getenv("ZHP_FUZZ_SESSION_DIR");
        if (dir == nullptr || *dir == '\0') {
            std::fprintf(stderr, "session: %zu input(s) since boot (set ZHP_FUZZ_SESSION_DIR to keep them)\n",
                         history_.size());
            return;
        }
        for (std::size_t i = 0; i < history_.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/session-%04zu", i);
            std::string path = std::string(dir) + name;
            if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(history_[i].data(), 1, history_[i].size(), f);
                std::fclose(f);
            }
        }
        std::fprintf(stderr, "session: the %zu input(s) since boot are in %s (replay them in order)\n",
                     history_.size(), dir);
    }

private:
    struct Operation {
        enum class Kind { kCommand, kPinOn, kPinOff, kRun, kOpenClose } kind = Kind::kCommand;
        CommandRequest command;
        hk::Time100ns duration = 0;
    };

    static Operation Decode(Reader& in, hk::Time100ns& budget) {
        Operation op;
        switch (in.Byte() % 8) {
        case 4:
            op.kind = Operation::Kind::kPinOn;
            break;
        case 5:
            op.kind = Operation::Kind::kPinOff;
            break;
        case 6:
            op.kind = Operation::Kind::kRun;
            // Machine time is what costs: an input runs for 64 ms at most
            // (the whole-machine target runs for seconds).
            op.duration = std::min<hk::Time100ns>((in.Byte() % 16 + 1) * kMillisecond, budget);
            budget -= op.duration;
            break;
        case 7:
            op.kind = Operation::Kind::kOpenClose;
            break;
        default:
            op.command = DecodeCommand(in);
            break;
        }
        return op;
    }

    // On the caller thread.
    void Perform(const std::vector<Operation>& operations, std::vector<SentCommand>& sent, bool& openFailed) {
        PDEVICE_OBJECT control = hk::FindDevice(ZHP_CONTROL_DEVICE_KERNEL_NAME);
        PDEVICE_OBJECT filter = nb_->Filter();
        for (const Operation& op : operations) {
            switch (op.kind) {
            case Operation::Kind::kCommand: {
                const CommandRequest& what = op.command;
                sent.push_back(SentCommand{what, hk::SendDeviceControl(what.toFilter ? filter : control, what.code,
                                                                       what.input, what.outLength, UserMode)});
                break;
            }
            case Operation::Kind::kPinOn:
            case Operation::Kind::kPinOff:
                nb_->chipset.Gpio().ForcePin(op.kind == Operation::Kind::kPinOn);
                break;
            case Operation::Kind::kRun: {
                LARGE_INTEGER interval;
                interval.QuadPart = -op.duration;
                KeDelayExecutionThread(KernelMode, FALSE, &interval);
                break;
            }
            case Operation::Kind::kOpenClose:
                if (!OpenAndClose(control)) {
                    openFailed = true;
                    return;
                }
                break;
            }
        }
    }

    void EndInput(const std::vector<SentCommand>& sent) {
        nb_->chipset.Gpio().ForcePin(false);
        bool pending = false;
        for (const SentCommand& s : sent) pending = pending || !s.request->completed;
        // A transfer completes when the bus is done with it: wait for each,
        // a second of machine time in all at most.
        if (pending) {
            nb_->Do(
                [&] {
                    const hk::Time100ns until = static_cast<hk::Time100ns>(KeQueryInterruptTime()) + kPendingLimit;
                    for (const SentCommand& s : sent) {
                        const auto now = static_cast<hk::Time100ns>(KeQueryInterruptTime());
                        if (!s.request->completed && now < until) hk::WaitRequest(*s.request, until - now);
                    }
                },
                "waiting for transfers");
        }
        for (const SentCommand& s : sent) {
            std::string fault = ReplyFault(s);
            if (!fault.empty()) nb_->Finding(fault);
        }
        RestoreRegistry();
    }

    void SnapshotRegistry() {
        snapshot_.clear();
        for (const wchar_t* path : kRestoredKeys) snapshot_.push_back({path, nb_->kernel.Reg().Values(path)});
    }

    // Values back as after boot: changed ones rewritten, new ones deleted.
    void RestoreRegistry() {
        hk::Registry& reg = nb_->kernel.Reg();
        for (const KeySnapshot& key : snapshot_) {
            for (const hk::RegValue& now : reg.Values(key.path)) {
                bool known = false;
                for (const hk::RegValue& then : key.values) known = known || then.name == now.name;
                if (!known) reg.DeleteValue(key.path, now.name);
            }
            for (const hk::RegValue& then : key.values) {
                std::optional<hk::RegValue> now = reg.GetValue(key.path, then.name);
                if (!now || now->type != then.type || now->data != then.data) {
                    reg.SetValue(key.path, then.name, then.type, then.data, true);
                }
            }
        }
    }

    // Ends the notebook as the whole-machine target does (the removal and the
    // unload must leave nothing behind) and boots a new one.
    void Reboot() {
        if (nb_ != nullptr) {
            NTSTATUS status = nb_->storage.RemoveDisk(nb_->Disk());
            nb_->CheckNotStopped("removal");
            if (status != STATUS_SUCCESS) nb_->Finding("the removal failed");
            nb_->Run(100 * kMillisecond);
            nb_->kernel.UnloadDriver(nb_->zhp);
            nb_->CheckNotStopped("unload");
            nb_.reset();
        }
        history_.clear();
        inputs_ = 0;
        nb_ = std::make_unique<Notebook>(image_, kSeed, kPreemptPercent);
        SnapshotRegistry();
    }

    DriverImage& image_;
    std::unique_ptr<Notebook> nb_;
    std::size_t inputs_ = 0;
    std::vector<std::vector<std::uint8_t>> history_;
    std::vector<KeySnapshot> snapshot_;
};

Session& TheSession() {
    static DriverImage image(ZHP_MODULE_PATH);
    static Session session(image);
    return session;
}

}  // namespace
}  // namespace zhpfuzz

// libFuzzer checks for leaks after every input that allocated more than it
// freed; a session keeps what it allocates until its reboot (the inputs, the
// machine's state), so that check would run the leak sanitizer almost every
// input. Leaks still show: the driver's pool at each reboot's unload, the
// process's memory at exit. An explicit -detect_leaks on the command line wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    bool given = false;
    for (int i = 0; i < *argc; ++i) {
        args.push_back((*argv)[i]);
        given = given || std::string((*argv)[i]).rfind("-detect_leaks=", 0) == 0;
    }
    static char noLeakCheck[] = "-detect_leaks=0";
    if (!given) args.push_back(noLeakCheck);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool hooked = [] {
        zhpfuzz::Notebook::BeforeAbort([] { zhpfuzz::TheSession().SaveHistory(); });
        if (__sanitizer_set_death_callback != nullptr) {
            __sanitizer_set_death_callback([] { zhpfuzz::TheSession().SaveHistory(); });
        }
        return true;
    }();
    (void)hooked;
    zhpfuzz::TheSession().RunInput(data, size);
    return 0;
}
