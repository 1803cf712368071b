#include "control_program.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_notebook.h"
#include "shared/zhp_command.h"

namespace zhpfuzz {
namespace {

using hk::kMillisecond;
using hk::kSecond;

// Every command, and unlisted numbers around them.
const std::uint32_t kCommands[] = {
    100, 101, 102, 106, 107, 110, 111, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212,
    213, 214, 215, 0,   99,  103, 104, 105, 108, 109, 112, 199, 216, 255, 0xFFFFFFFF,
};
constexpr std::size_t kMaxOperations = 64;
constexpr std::size_t kMaxRequests = 48;

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t Word() {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return w;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A command request and what its reply may be.
struct Sent {
    hk::RequestPtr request;
    bool command = false;  // our control code
    std::uint32_t number = 0;
    ULONG inLength = 0;
    ULONG outLength = 0;
};

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
        std::uint8_t selector = in_.Byte();
        std::uint32_t command =
            selector < 0x80 ? kCommands[selector % (sizeof(kCommands) / sizeof(kCommands[0]))] : in_.Word();
        std::vector<std::pair<unsigned, std::uint32_t>> words;
        unsigned count = in_.Byte() % 8;
        for (unsigned i = 0; i < count; ++i) {
            unsigned offset = (in_.Byte() % 20) * 4;
            std::uint8_t size = in_.Byte();
            words.emplace_back(offset, (size & 0x80) ? in_.Word() : size);
        }
        std::uint8_t shape = in_.Byte();
        ULONG inLength = ZHP_COMMAND_BLOCK_SIZE, outLength = ZHP_COMMAND_BLOCK_SIZE;
        switch (shape & 3) {
        case 1:
            inLength = ZHP_COMMAND_BLOCK_SIZE - 1;
            break;
        case 2:
            outLength = ZHP_COMMAND_BLOCK_SIZE - 1;
            break;
        case 3:
            // At least one byte in: the host I/O manager cannot build a
            // buffered request from an empty input with an output buffer.
            inLength = 1 + in_.Byte() % 130;
            outLength = in_.Byte() % 130;
            break;
        }
        ULONG code = (shape & 4) ? CTL_CODE(FILE_DEVICE_DISK, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS)
                                 : ZHP_IOCTL_COMMAND;
        bool toFilter = (shape & 8) != 0 && !nb_.Removed();
        if (requests_.size() >= kMaxRequests) return;

        std::vector<std::uint8_t> block(inLength, 0);
        auto put = [&](unsigned offset, std::uint32_t value) {
            for (unsigned i = 0; i < 4 && offset + i < block.size(); ++i) block[offset + i] = (value >> (8 * i)) & 0xFF;
        };
        put(0, command);
        for (const auto& w : words) put(w.first, w.second);

        auto sent = std::make_shared<Sent>();
        sent->command = code == ZHP_IOCTL_COMMAND;

        sent->inLength = inLength;
        // The number the driver reads: a word at offset 0 replaces it.
        for (unsigned i = 0; i < 4 && i < block.size(); ++i) {
            sent->number = (sent->number & ~(0xFFu << (8 * i))) | (static_cast<std::uint32_t>(block[i]) << (8 * i));
        }
        sent->outLength = outLength;
        sents_.push_back(sent);
        // The filter device can go away: only the control device, which
        // stays, is sent to from a caller left running.
        PDEVICE_OBJECT device = toFilter ? nb_.Filter() : nb_.Control();
        auto send = [this, sent, device, code, block, outLength] {
            sent->request = hk::SendDeviceControl(device, code, block, outLength, UserMode);
            requests_.push_back(sent->request);
        };
        if (async && !toFilter) {
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
            [this, control] {
                NTSTATUS status = STATUS_PENDING;
                PFILE_OBJECT file = hk::OpenDevice(control, &status);
                if (status != STATUS_SUCCESS || file == nullptr) {
                    openFailed_ = true;
                    return;
                }
                hk::CloseDevice(file);
            },
            "open and close");
        if (openFailed_) nb_.Finding("opening the control device failed");
    }

    static bool AnyPending(const std::vector<hk::RequestPtr>& requests) {
        for (const auto& r : requests) {
            if (!r->completed) return true;
        }
        return false;
    }

    // The rules every reply to a command block keeps.
    void CheckReply(const Sent& sent) {
        const hk::HostRequest& r = *sent.request;
        if (r.completions != 1) nb_.Finding("a request completed more than once");
        if (r.information > sent.outLength) nb_.Finding("more bytes returned than the output buffer holds");
        if (!sent.command) return;
        bool small = sent.inLength < ZHP_COMMAND_BLOCK_SIZE || sent.outLength < ZHP_COMMAND_BLOCK_SIZE;
        if (small && (r.status != STATUS_BUFFER_TOO_SMALL || r.information != 0)) {
            nb_.Finding("a short command buffer was not refused with no bytes");
        }
        if (small) return;
        if (r.information != 0 && r.information != ZHP_COMMAND_BLOCK_SIZE && r.information != sent.outLength) {
            nb_.Finding("a command returned neither 0, 80 nor the output length");
        }
        // Success, missing-value bits, a refused or cancelled request, or a
        // registry write's failure.
        bool expected = r.status == STATUS_SUCCESS || (r.status >= 1 && r.status <= 7) ||
                        r.status == STATUS_NOT_IMPLEMENTED || r.status == STATUS_NO_SUCH_DEVICE ||
                        r.status == STATUS_CANCELLED || r.status == static_cast<NTSTATUS>(0xC0000022);
        if (!expected) {
            char text[96];
            std::snprintf(text, sizeof text, "command %u completed with status 0x%08X", sent.number,
                          static_cast<unsigned>(r.status));
            nb_.Finding(text);
        }
        bool listed = (sent.number >= 100 && sent.number <= 102) || sent.number == 106 || sent.number == 107 ||
                      sent.number == 110 || sent.number == 111 || (sent.number >= 200 && sent.number <= 215);
        if (listed && r.status == STATUS_NOT_IMPLEMENTED) {
            nb_.Finding("command " + std::to_string(sent.number) + " was not implemented (" +
                        std::to_string(r.information) + " bytes)");
        }
        if ((r.status == STATUS_NO_SUCH_DEVICE || r.status == STATUS_CANCELLED) && r.information != 0) {
            nb_.Finding("a refused or cancelled command returned bytes");
        }
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
            if (sent->request) CheckReply(*sent);
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
    std::vector<std::shared_ptr<Sent>> sents_;
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
