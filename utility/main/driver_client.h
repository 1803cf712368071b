// Sentrel's side of the conversation with ZHP: the control device
// "\\.\VELMORACC", the one control code 0x72020 and the one program-wide
// 80-byte command block that every command travels in.
//
// The block is zero at start and never cleared: a command carries whatever
// the previous reply left there plus the words set just before sending (the
// driver stores words 16..36 of whatever block comes with 111, 203 and 204).
// Everything here runs on the UI thread; commands are synchronous and never
// overlap.
//
// A call that fails (DeviceIoControl returns FALSE, also for a device that
// never opened) counts 0 bytes and is reported to the listener, which shows
// the fail picture, puts the protection selector on "Disable" and writes the
// fail report. A call that succeeds with 0 bytes (a 102 or 106 the driver
// refuses) also counts 0 but is no failure.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "settings.h"

class DriverClientListener {
public:
    // Called from SendCommand, on the UI thread, after the failed call.
    virtual void OnCommandFailed(DWORD command) = 0;

protected:
    ~DriverClientListener() = default;
};

// Byte offsets of the words the utility sets or reads.
namespace command_word {
constexpr std::size_t kCommand = 0;
constexpr std::size_t kHeldReads = 4;      // after 106
constexpr std::size_t kHeldWrites = 8;     // after 106; 16 before 101
constexpr std::size_t kReport2 = 12;
constexpr std::size_t kThresholdLow = 16;
constexpr std::size_t kThresholdHigh = 20;
constexpr std::size_t kDelayLow = 24;
constexpr std::size_t kDelayHigh = 28;
constexpr std::size_t kRecoverWait = 32;
constexpr std::size_t kProtection = 36;    // before 102: on/off; after 107: the state
constexpr std::size_t kSensorData = 40;    // after 101: X, Y, Z little-endian (bytes 40..45)
constexpr std::size_t kByteCount = 64;     // before 101: bytes wanted
}  // namespace command_word

class DriverClient {
public:
    static constexpr std::size_t kBlockSize = 80;
    static constexpr DWORD kControlCode = 0x00072020;

    explicit DriverClient(DriverClientListener* listener = nullptr);
    DriverClient(const DriverClient&) = delete;
    DriverClient& operator=(const DriverClient&) = delete;
    // The handle is not closed: it goes with the process.
    ~DriverClient() = default;

    void SetListener(DriverClientListener* listener) { listener_ = listener; }

    // CreateFileA("\\.\VELMORACC", GENERIC_READ | GENERIC_WRITE, share read and
    // write, OPEN_EXISTING); the result is kept unchecked.
    void Open();
    HANDLE DeviceHandle() const { return device_; }

    // Word 0 = number, then the exchange. The byte count, 0 on failure.
    DWORD SendCommand(DWORD number);

    // Command 101 with word 64 = 6 and word 8 = 16. False when 0 bytes came
    // back; words 4, 8 and 12 are then cleared.
    bool ReadSensor();

    // Command 102 switching protection on with threshold 50, delay 0 and
    // RecoverWait 1 (set in the record): words 16..36 and 64 as the driver
    // wants them. The byte count.
    DWORD SetParameters(SettingsRecord& settings);

    // Command 106 (release held I/O). When bytes came back, *logLine is
    // "N Read(s), M Write(s) blocked" for the settings dialog's event log;
    // otherwise it is left alone. The byte count.
    DWORD ReportBlockedIo(std::string* logLine);

    // Command 107; the wanted protection state is word 36 afterwards, whatever
    // the block holds (also after a failure). The caller runs SetProtection
    // with it and resets the track bars.
    bool RestoreProtectionState();

    // Command 111 twice; the results are not used.
    void SaveDriverSettings();

    // Direct access to the block's 32-bit words (byte offsets, little-endian),
    // e.g. word 36 = 0 before the 102 sent at exit.
    std::uint32_t Word(std::size_t offset) const;
    void SetWord(std::size_t offset, std::uint32_t value);
    const std::uint8_t* Block() const { return block_; }

private:
    DriverClientListener* listener_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::uint8_t block_[kBlockSize] = {};
};
