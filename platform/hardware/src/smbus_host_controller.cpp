#include "hw/smbus.h"

#include <limits>

namespace hw {
namespace {

// Bit clocks of each transaction shape (start, 9 clocks per byte with its
// acknowledge, repeated start, stop).
constexpr int kAddressOnlyBits = 1 + 9 + 1;
constexpr int kByteDataWriteBits = 1 + 9 + 9 + 9 + 1;
constexpr int kByteDataReadBits = 1 + 9 + 9 + 1 + 9 + 9 + 1;
constexpr int kWordDataWriteBits = 1 + 9 + 9 + 9 + 9 + 1;
constexpr int kWordDataReadBits = 1 + 9 + 9 + 1 + 9 + 9 + 9 + 1;

constexpr std::uint8_t kWriteOneToClear = SmbusHostController::kStatusIntr | SmbusHostController::kStatusDeviceError |
                                          SmbusHostController::kStatusBusError | SmbusHostController::kStatusFailed;

}  // namespace

SmbusHostController::SmbusHostController(hk::TimeSource& clock, std::uint16_t base) : clock_(clock), base_(base) {}

void SmbusHostController::Attach(std::uint8_t address8, SmbusDevice& device) { slaves_[address8 & 0xFE] = &device; }

void SmbusHostController::Detach(std::uint8_t address8) { slaves_.erase(address8 & 0xFE); }

bool SmbusHostController::Decodes(unsigned port) const { return port >= base_ && port < unsigned{base_} + kPortCount; }

std::uint32_t SmbusHostController::ReadPort(std::uint16_t port, unsigned width) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width / 8; ++i) {
        const unsigned p = port + i;
        const std::uint8_t byte = Decodes(p) ? ReadRegister(static_cast<std::uint8_t>(p - base_)) : 0xFF;
        value |= static_cast<std::uint32_t>(byte) << (8 * i);
    }
    return value;
}

void SmbusHostController::WritePort(std::uint16_t port, std::uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width / 8; ++i) {
        const unsigned p = port + i;
        if (Decodes(p)) {
            WriteRegister(static_cast<std::uint8_t>(p - base_), static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
}

// The transaction's outcome becomes visible once its bus time has passed.
void SmbusHostController::CatchUp() {
    if (!busy_ || clock_.Now() < busy_until_) return;
    busy_ = false;
    status_ |= result_status_;
    if (result_has_data_) {
        data0_ = result_data0_;
        data1_ = result_data1_;
    }
}

std::uint8_t SmbusHostController::ReadRegister(std::uint8_t offset) {
    CatchUp();
    switch (offset) {
    case kHostStatus:
        return static_cast<std::uint8_t>(status_ | (busy_ ? kStatusHostBusy : 0));
    case kHostControl:
        return static_cast<std::uint8_t>(control_ & ~kControlStart);
    case kHostCommand:
        return command_;
    case kTransmitSlaveAddress:
        return slave_address_;
    case kHostData0:
        return data0_;
    case kHostData1:
        return data1_;
    default:
        return 0;  // block data, PEC and auxiliary registers are not modelled
    }
}

void SmbusHostController::WriteRegister(std::uint8_t offset, std::uint8_t value) {
    CatchUp();
    switch (offset) {
    case kHostStatus:
        status_ &= static_cast<std::uint8_t>(~(value & kWriteOneToClear));
        break;
    case kHostControl:
        control_ = static_cast<std::uint8_t>(value & ~kControlStart);
        if (value & kControlKill) {
            if (busy_) {
                busy_ = false;
                status_ |= kStatusFailed;
            }
        } else if (value & kControlStart) {
            Start();
        }
        break;
    case kHostCommand:
        command_ = value;
        break;
    case kTransmitSlaveAddress:
        slave_address_ = value;
        break;
    case kHostData0:
        data0_ = value;
        break;
    case kHostData1:
        data1_ = value;
        break;
    default:
        break;
    }
}

void SmbusHostController::Finish(hk::Time100ns after, std::uint8_t status_bits) {
    busy_ = true;
    busy_until_ = clock_.Now() + after;
    result_status_ = status_bits;
}

// The slave is accessed when the transaction starts; its outcome (status and
// read data) shows when the bus time is over.
void SmbusHostController::Start() {
    if (busy_) return;  // the transaction in flight keeps the bus
    ++transactions_started_;
    result_has_data_ = false;
    if (hung_) {
        busy_ = true;
        busy_until_ = std::numeric_limits<hk::Time100ns>::max();
        result_status_ = 0;
        return;
    }
    const bool read = slave_address_ & 0x01;
    auto slave = slaves_.find(slave_address_ & 0xFE);
    if (slave == slaves_.end() || !slave->second->Answering()) {
        Finish(kAddressOnlyBits * kBitTime, kStatusDeviceError);
        return;
    }
    SmbusDevice& device = *slave->second;
    switch (control_ & kControlProtocolMask) {
    case kProtocolQuick:
        Finish(kAddressOnlyBits * kBitTime, kStatusIntr);
        break;
    case kProtocolByteData:
        if (read) {
            result_has_data_ = true;
            result_data0_ = device.ReadRegister(command_);
            result_data1_ = data1_;
            Finish(kByteDataReadBits * kBitTime, kStatusIntr);
        } else {
            device.WriteRegister(command_, data0_);
            Finish(kByteDataWriteBits * kBitTime, kStatusIntr);
        }
        break;
    case kProtocolWordData:
        if (read) {
            result_has_data_ = true;
            result_data0_ = device.ReadRegister(command_);
            result_data1_ = device.ReadRegister(static_cast<std::uint8_t>(command_ + 1));
            Finish(kWordDataReadBits * kBitTime, kStatusIntr);
        } else {
            device.WriteRegister(command_, data0_);
            device.WriteRegister(static_cast<std::uint8_t>(command_ + 1), data1_);
            Finish(kWordDataWriteBits * kBitTime, kStatusIntr);
        }
        break;
    default:
        // Byte, process call and block protocols are not modelled: the
        // controller reports the transaction as failed at once.
        Finish(0, kStatusFailed);
        break;
    }
}

}  // namespace hw
