#include "control_program.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command_block.h"
#include "fuzz_notebook.h"
#include "shared/zhp_command.h"

namespace zhpfuzz {
namespace {

using hk::kMillisecond;
using hk::kSecond;

constexpr std::size_t kMaxOperations = 64;
constexpr std::size_t kMaxRequests = 48;

class Program {
public:
    Program(DriverImage& image, Reader& in)
        : in_(in), seed_(1 + in.Byte()), preemptPercent_(in.Byte() % 60), nb_(image, seed_, preemptPercent_) {}

    void Run() {
        for (std::size_t i = 0; i < kMaxOperations && !in_.Empty(); ++i) Step(in_.Byte() % kOperationCount);
        Settle();
    }

private:
    void Step(std::uint8_t op) {
        switch (op) {
        case kOpCommand:
        case kOpCommandAsync:
            Command(op == kOpCommandAsync);
            break;
        case kOpRun: {
            std::uint8_t b = in_.Byte();
            nb_.Run((b & 0x80) ? (b & 0x3F) * 100 * kMillisecond : (b + 1) * kMillisecond);
            break;
        }
        case kOpPinOn:
            nb_.chipset.Gpio().ForcePin(true);
            break;
        case kOpPinOff:
            nb_.chipset.Gpio().ForcePin(false);
            break;
        case kOpCancel:
            Cancel(in_.Byte());
            break;
        case kOpPower:
            Power(in_.Byte());
            break;
        case kOpRemove:
            Remove();
            break;
        case kOpDiskIo:
            DiskIo(in_.Byte(), in_.Byte());
            break;
        case kOpPaging:
            Paging(in_.Byte() & 1);
            break;
        case kOpFault:
            Fault(in_.Byte());
            break;
        case kOpOpenClose:
            OpenClose();
            break;
        default:
            break;
        }
    }

    void Command(bool async) {
        CommandRequest what = DecodeCommand(in_);
        what.toFilter = what.toFilter && !nb_.Removed();
        if (requests_.size() >= kMaxRequests) return;
        auto sent = std::make_shared<SentCommand>();
        sent->what = what;
        sents_.push_back(sent);
        // The filter device can go away: only the control device, which
        // stays, is sent to from a caller left running.
        PDEVICE_OBJECT device = what.toFilter ? nb_.Filter() : nb_.Control();
        auto send = [this, sent, device] {
            sent->request = hk::SendDeviceControl(device, sent->what.code, sent->what.input, sent->what.outLength,
                                                  UserMode);
            requests_.push_back(sent->request);
        };
        if (async && !what.toFilter) {
            nb_.Spawn(send, "caller");
        } else {
            nb_.Do(send, "command");
        }
    }

    void Cancel(std::uint8_t which) {
        std::vector<hk::RequestPtr> pending;
        for (auto& r : requests_) {
            if (!r->completed) pending.push_back(r);
        }
        if (pending.empty()) return;
        hk::RequestPtr victim = pending[which % pending.size()];
        nb_.Do([victim] { hk::CancelRequest(*victim); }, "cancel");
    }

    void Power(std::uint8_t state) {
        if (nb_.Removed()) return;
        static const DEVICE_POWER_STATE states[] = {PowerDeviceD0,          PowerDeviceD1, PowerDeviceD2,
                                                    PowerDeviceD3,          PowerDeviceD0, PowerDeviceD3,
                                                    PowerDeviceUnspecified, PowerDeviceMaximum};
        DEVICE_POWER_STATE s = states[state % 8];
        PDEVICE_OBJECT pdo = nb_.Pdo();
        nb_.Do([pdo, s] { hk::PoSetDevicePower(pdo, s); }, "set power");
    }

    void Remove() {
        if (nb_.Removed()) return;
        NTSTATUS status = nb_.storage.RemoveDisk(nb_.Disk());
        nb_.CheckNotStopped("removal");
        if (status != STATUS_SUCCESS) nb_.Finding("the removal failed");
        if (nb_.Filter() != nullptr) nb_.Finding("the filter device outlived the removal");
    }

    void DiskIo(std::uint8_t kind, std::uint8_t sector) {
        if (nb_.Removed() || requests_.size() >= kMaxRequests) return;
        PDEVICE_OBJECT top = nb_.DiskTop();
        ULONGLONG offset = static_cast<ULONGLONG>(sector) * 512;
        nb_.Do(
            [this, top, kind, offset] {
                hk::RequestPtr r;
                switch (kind % 3) {
                case 0:
                    r = hk::SendRead(top, offset, 512);
                    break;
                case 1:
                    r = hk::SendWrite(top, offset, std::vector<std::uint8_t>(512, kind));
                    break;
                default:
                    r = hk::SendFlush(top);
                    break;
                }
                requests_.push_back(r);
                diskRequests_.push_back(r);
            },
            "disk i/o");
    }

    void Paging(bool added) {
        if (nb_.Removed()) return;
        PDEVICE_OBJECT pdo = nb_.Pdo();
        nb_.Do([pdo, added] { hk::PnpDeviceUsageNotification(pdo, DeviceUsageTypePaging, added); }, "paging");
    }

    void Fault(std::uint8_t which) {
        switch (which % 4) {
        case 0:
            busHung_ = !busHung_;
            nb_.chipset.Smbus().SetHung(busHung_);
            break;
        case 1:
            sensorSilent_ = !sensorSilent_;
            nb_.chipset.Sensor().SetAnswering(!sensorSilent_);
            break;
        case 2:
            registryFails_ = !registryFails_;
            nb_.kernel.FailRegistryWrites(registryFails_);
            break;
        default:
            nb_.Disk().Faults().fail_park = !nb_.Disk().Faults().fail_park;
            break;
        }
    }

    void OpenClose() {
        PDEVICE_OBJECT control = nb_.Control();
        nb_.Do(
            [this, control] { openFailed_ = !OpenAndClose(control); },
            "open and close");
        if (openFailed_) nb_.Finding("opening the control device failed");
    }

    static bool AnyPending(const std::vector<hk::RequestPtr>& requests) {
        for (const auto& r : requests) {
            if (!r->completed) return true;
        }
        return false;
    }

    // Lets everything finish, removes the disk and checks what is left.
    void Settle() {
        nb_.chipset.Gpio().ForcePin(false);
        nb_.chipset.Smbus().SetHung(false);
        nb_.chipset.Sensor().SetAnswering(true);
        nb_.kernel.FailRegistryWrites(false);
        nb_.Disk().Faults().fail_park = false;
        nb_.JoinAll(60 * kSecond);
        // Held disk I/O is released 3 s after the fall at the latest; a disk
        // in D3 then needs 1.5 s to spin up.
        if (!nb_.Removed() && AnyPending(diskRequests_)) {
            nb_.Run(6 * kSecond);
            if (AnyPending(diskRequests_)) nb_.Finding("disk I/O still held 6 s after the fall");
        }
        Remove();
        nb_.Run(100 * kMillisecond);

        for (auto& r : requests_) {
            if (!r->completed) nb_.Finding("a request was never completed");
            if (r->completions != 1) nb_.Finding("a request completed more than once");
        }
        for (auto& sent : sents_) {
            if (!sent->request) continue;
            std::string fault = ReplyFault(*sent);
            if (!fault.empty()) nb_.Finding(fault);
        }

        // The control device outlives the disk and turns commands away.
        hk::RequestPtr late;
        PDEVICE_OBJECT control = nb_.Control();
        std::vector<std::uint8_t> block(ZHP_COMMAND_BLOCK_SIZE, 0);
        block[0] = ZHP_CMD_QUERY;
        nb_.Do([&late, control, block] { late = hk::SendDeviceControl(control, ZHP_IOCTL_COMMAND, block, 80, UserMode); },
               "command after removal");
        if (!late->completed || late->status != STATUS_NO_SUCH_DEVICE || late->information != 0) {
            nb_.Finding("a command after the removal was not refused");
        }

        nb_.kernel.UnloadDriver(nb_.zhp);
        nb_.CheckNotStopped("unload");
    }

    Reader& in_;
    std::uint64_t seed_;
    unsigned preemptPercent_;
    Notebook nb_;
    std::vector<hk::RequestPtr> requests_;
    std::vector<hk::RequestPtr> diskRequests_;
    std::vector<std::shared_ptr<SentCommand>> sents_;
    bool busHung_ = false;
    bool sensorSilent_ = false;
    bool registryFails_ = false;
    bool openFailed_ = false;
};

}  // namespace

void RunControlProgram(DriverImage& image, const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Program program(image, in);
    program.Run();
}

}  // namespace zhpfuzz
