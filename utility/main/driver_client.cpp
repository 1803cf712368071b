#include "driver_client.h"

#include <cstdio>

DriverClient::DriverClient(DriverClientListener* listener) : listener_(listener) {}

void DriverClient::Open() {
    device_ = CreateFileA("\\\\.\\VELMORACC", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
}

std::uint32_t DriverClient::Word(std::size_t offset) const {
    return static_cast<std::uint32_t>(block_[offset]) | static_cast<std::uint32_t>(block_[offset + 1]) << 8 |
           static_cast<std::uint32_t>(block_[offset + 2]) << 16 | static_cast<std::uint32_t>(block_[offset + 3]) << 24;
}

void DriverClient::SetWord(std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) block_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

DWORD DriverClient::SendCommand(DWORD number) {
    SetWord(command_word::kCommand, number);
    DWORD returned = 0;
    if (!DeviceIoControl(device_, kControlCode, block_, kBlockSize, block_, kBlockSize, &returned, nullptr)) {
        if (listener_ != nullptr) listener_->OnCommandFailed(number);
        return 0;
    }
    return returned;
}

bool DriverClient::ReadSensor() {
    SetWord(command_word::kByteCount, 6);
    SetWord(command_word::kHeldWrites, 16);
    if (SendCommand(101) == 0) {
        SetWord(command_word::kHeldReads, 0);
        SetWord(command_word::kHeldWrites, 0);
        SetWord(command_word::kReport2, 0);
        return false;
    }
    return true;
}

DWORD DriverClient::SetParameters(SettingsRecord& settings) {
    settings.RecoverWait = 1;
    SetWord(command_word::kThresholdLow, 50);
    SetWord(command_word::kThresholdHigh, 0);
    SetWord(command_word::kDelayLow, 0);
    SetWord(command_word::kDelayHigh, 0);
    SetWord(command_word::kRecoverWait, static_cast<std::uint32_t>(settings.RecoverWait * 10));
    SetWord(command_word::kProtection, 1);
    SetWord(command_word::kByteCount, 0);
    return SendCommand(102);
}

DWORD DriverClient::ReportBlockedIo(std::string* logLine) {
    const DWORD bytes = SendCommand(106);
    if (bytes != 0 && logLine != nullptr) {
        char line[64];
        std::snprintf(line, sizeof line, "%lu Read(s), %lu Write(s) blocked",
                      static_cast<unsigned long>(Word(command_word::kHeldReads)),
                      static_cast<unsigned long>(Word(command_word::kHeldWrites)));
        *logLine = line;
    }
    return bytes;
}

bool DriverClient::RestoreProtectionState() {
    SendCommand(107);
    return Word(command_word::kProtection) != 0;
}

void DriverClient::SaveDriverSettings() {
    SendCommand(111);
    SendCommand(111);
}
