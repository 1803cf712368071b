// Helpers shared by the hardware model tests: a clock that moves only when
// told, port routing over the chipset's ranges, an SMBus host that drives
// the controller with the same register sequences as the driver, and a
// reader for the hex values of the shipped ZHP.reg.
#pragma once

#include "hw/chipset.h"

#include <hostkernel/io_space.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hwtest {

class FakeClock : public hk::TimeSource {
public:
    hk::Time100ns Now() const override { return now_; }
    void Advance(hk::Time100ns d) { now_ += d; }
    void Set(hk::Time100ns t) { now_ = t; }

private:
    hk::Time100ns now_ = 0;
};

// Routes port accesses to the handler whose range holds the port, as the
// kernel does; unclaimed ports read all ones.
class PortBus {
public:
    explicit PortBus(std::vector<hw::PortRange> ranges) : ranges_(std::move(ranges)) {}
    std::uint32_t Read(std::uint16_t port, unsigned width);
    void Write(std::uint16_t port, std::uint32_t value, unsigned width);

private:
    hk::PortHandler* Find(std::uint16_t port) const;
    std::vector<hw::PortRange> ranges_;
};

// Byte-data transactions in the driver's register order, polling the host
// status once a millisecond (the clock moves on by 1 ms per poll).
class DriverLikeHost {
public:
    DriverLikeHost(PortBus& bus, FakeClock& clock, std::uint16_t smbus_base, std::uint8_t slave = 0x3A)
        : bus_(bus), clock_(clock), base_(smbus_base), slave_(slave) {}

    // Byte read, or -1 when the transaction never shows done.
    int ReadRegister(std::uint8_t reg);
    // True when the transaction showed done.
    bool WriteRegister(std::uint8_t reg, std::uint8_t value);

private:
    void Put(std::uint8_t offset, std::uint8_t value);
    bool WaitDone();
    PortBus& bus_;
    FakeClock& clock_;
    std::uint16_t base_;
    std::uint8_t slave_;
};

// name -> bytes of every "NAME"=hex:.. line of install/ZHP.reg.
std::map<std::string, std::vector<std::uint8_t>> ReadShippedZhpValues();

// The driver's sensor start-up with the shipped values: FUNC_W_0, FUNC_W_1,
// DT_L -> 0x52, TH_L -> 0x56, DT_L -> 0x72, TH_L -> 0x76, FUNC_W_2, then
// FUNC_W_3 when OP_MODE is non-zero, else FUNC_W_4.
void ApplyShippedStartup(DriverLikeHost& host);
// Register writes of one preset up to its ff,ff end mark.
void ApplyPreset(DriverLikeHost& host, const std::vector<std::uint8_t>& pairs);

}  // namespace hwtest
