#include "test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace hwtest {

hk::PortHandler* PortBus::Find(std::uint16_t port) const {
    for (const hw::PortRange& r : ranges_) {
        if (port >= r.first && port < r.first + r.count) return r.handler;
    }
    return nullptr;
}

std::uint32_t PortBus::Read(std::uint16_t port, unsigned width) {
    hk::PortHandler* h = Find(port);
    return h ? h->ReadPort(port, width) : 0xFFFFFFFFu >> (32 - width);
}

void PortBus::Write(std::uint16_t port, std::uint32_t value, unsigned width) {
    if (hk::PortHandler* h = Find(port)) h->WritePort(port, value, width);
}

bool DriverLikeHost::WaitDone() {
    for (int i = 0; i < 22; ++i) {
        if (bus_.Read(base_, 8) & 0x02) return true;
        clock_.Advance(hk::kMillisecond);
    }
    return false;
}

// Like the driver's verified register write: a millisecond's sleep first.
void DriverLikeHost::Put(std::uint8_t offset, std::uint8_t value) {
    clock_.Advance(hk::kMillisecond);
    bus_.Write(base_ + offset, value, 8);
}

int DriverLikeHost::ReadRegister(std::uint8_t reg) {
    Put(0, 0xFF);
    Put(3, reg);
    Put(4, slave_ | 1u);
    Put(2, 0x48);
    const bool done = WaitDone();
    const int value = done ? static_cast<int>(bus_.Read(base_ + 5, 8)) : -1;
    bus_.Write(base_ + 0, 0xFF, 8);
    return value;
}

bool DriverLikeHost::WriteRegister(std::uint8_t reg, std::uint8_t value) {
    Put(0, 0xFF);
    Put(4, slave_);
    Put(3, reg);
    Put(5, value);
    Put(6, 0x00);
    Put(2, 0x48);
    return WaitDone();
}

std::map<std::string, std::vector<std::uint8_t>> ReadShippedZhpValues() {
    const std::string path = std::string(ZHP_SOURCE_DIR) + "/install/ZHP.reg";
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot open " + path);
    std::map<std::string, std::vector<std::uint8_t>> values;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto equals = line.find("\"=hex:");
        if (line.empty() || line[0] != '"' || equals == std::string::npos) continue;
        std::vector<std::uint8_t>& bytes = values[line.substr(1, equals - 1)];
        std::istringstream hex(line.substr(equals + 6));
        std::string byte;
        while (std::getline(hex, byte, ',')) bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return values;
}

void ApplyPreset(DriverLikeHost& host, const std::vector<std::uint8_t>& pairs) {
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        if (pairs[i] == 0xFF && pairs[i + 1] == 0xFF) return;
        host.WriteRegister(pairs[i], pairs[i + 1]);
    }
}

void ApplyShippedStartup(DriverLikeHost& host) {
    auto values = ReadShippedZhpValues();
    const std::uint8_t th_l = values.at("P_THRESHOLD").at(0);
    const std::uint8_t dt_l = values.at("P_DL_TIME").at(0);
    ApplyPreset(host, values.at("FUNC_W_0"));
    ApplyPreset(host, values.at("FUNC_W_1"));
    host.WriteRegister(0x52, dt_l);
    host.WriteRegister(0x56, th_l);
    host.WriteRegister(0x72, dt_l);
    host.WriteRegister(0x76, th_l);
    ApplyPreset(host, values.at("FUNC_W_2"));
    ApplyPreset(host, values.at("OP_MODE").at(0) != 0 ? values.at("FUNC_W_3") : values.at("FUNC_W_4"));
}

}  // namespace hwtest
