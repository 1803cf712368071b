// The chipset's SMBus host controller (Intel ICH/PCH I/O register block) and
// the slave devices on its bus.
#pragma once

#include <hostkernel/io_space.h>

#include <cstdint>
#include <map>

namespace hw {

// A slave on the SMBus, addressed by register number (byte-data protocol).
class SmbusDevice {
public:
    virtual ~SmbusDevice() = default;
    virtual std::uint8_t ReadRegister(std::uint8_t reg) = 0;
    virtual void WriteRegister(std::uint8_t reg, std::uint8_t value) = 0;

    // Fault injection: a slave that stops answering does not acknowledge its
    // address, so the host controller reports a device error.
    void SetAnswering(bool answering) { answering_ = answering; }
    bool Answering() const { return answering_; }

private:
    bool answering_ = true;
};

class SmbusHostController : public hk::PortHandler {
public:
    static constexpr std::uint16_t kDefaultBase = 0xF040;
    static constexpr std::uint16_t kPortCount = 32;

    // Register offsets from the base.
    static constexpr std::uint8_t kHostStatus = 0;
    static constexpr std::uint8_t kHostControl = 2;
    static constexpr std::uint8_t kHostCommand = 3;
    static constexpr std::uint8_t kTransmitSlaveAddress = 4;
    static constexpr std::uint8_t kHostData0 = 5;
    static constexpr std::uint8_t kHostData1 = 6;

    // Host status bits; bits 1..4 are cleared by writing 1.
    static constexpr std::uint8_t kStatusHostBusy = 0x01;
    static constexpr std::uint8_t kStatusIntr = 0x02;  // transaction completed
    static constexpr std::uint8_t kStatusDeviceError = 0x04;
    static constexpr std::uint8_t kStatusBusError = 0x08;
    static constexpr std::uint8_t kStatusFailed = 0x10;

    // Host control bits.
    static constexpr std::uint8_t kControlKill = 0x02;
    static constexpr std::uint8_t kControlProtocolMask = 0x1C;
    static constexpr std::uint8_t kProtocolQuick = 0x00;
    static constexpr std::uint8_t kProtocolByteData = 0x08;
    static constexpr std::uint8_t kProtocolWordData = 0x0C;
    static constexpr std::uint8_t kControlStart = 0x40;  // write-only, reads 0

    // Bus time at 100 kHz: 10 us a bit clock. A byte-data read is start,
    // address, command, repeated start, address, data, stop: 39 clocks.
    static constexpr hk::Time100ns kBitTime = 10 * hk::kMicrosecond;

    SmbusHostController(hk::TimeSource& clock, std::uint16_t base = kDefaultBase);

    std::uint16_t Base() const { return base_; }

    // address8 is the 7-bit address shifted left (bit 0 clear).
    void Attach(std::uint8_t address8, SmbusDevice& device);
    void Detach(std::uint8_t address8);

    // Fault injection: a hung controller starts transactions but stays busy
    // and never shows them done (kill clears it).
    void SetHung(bool hung) { hung_ = hung; }

    std::uint64_t TransactionsStarted() const { return transactions_started_; }

    // Ports are absolute; accesses wider than 8 bits cover consecutive registers.
    std::uint32_t ReadPort(std::uint16_t port, unsigned width) override;
    void WritePort(std::uint16_t port, std::uint32_t value, unsigned width) override;

private:
    bool Decodes(unsigned port) const;
    std::uint8_t ReadRegister(std::uint8_t offset);
    void WriteRegister(std::uint8_t offset, std::uint8_t value);
    void Start();
    void Finish(hk::Time100ns after, std::uint8_t status_bits);
    void CatchUp();

    hk::TimeSource& clock_;
    std::uint16_t base_;
    std::map<std::uint8_t, SmbusDevice*> slaves_;
    bool hung_ = false;

    std::uint8_t status_ = 0;
    std::uint8_t control_ = 0;
    std::uint8_t command_ = 0;
    std::uint8_t slave_address_ = 0;
    std::uint8_t data0_ = 0;
    std::uint8_t data1_ = 0;

    // The transaction in flight: it ends at busy_until_ with these results.
    bool busy_ = false;
    hk::Time100ns busy_until_ = 0;
    std::uint8_t result_status_ = 0;
    bool result_has_data_ = false;
    std::uint8_t result_data0_ = 0;
    std::uint8_t result_data1_ = 0;

    std::uint64_t transactions_started_ = 0;
};

}  // namespace hw
