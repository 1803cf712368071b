// Sentrel's settings record: what the tray icon, the alert window and the
// settings dialog work with. It lives in memory from LoadDefaults at start-up
// to program exit and is never stored anywhere; a console connect loads the
// defaults again (throwing away tray tips edited in the settings dialog).
#pragma once

#include <cstdint>
#include <string>

struct SettingsRecord {
    std::int32_t OnTray = 0;       // the tray icon is added only when non-zero
    char OnHint[48] = {};          // tray tip while protection is on (at most 47 characters)
    char OffHint[48] = {};         // tray tip while protection is off
    std::uint8_t AutoRecover = 0;  // the alert window's recovery timer ends the fall indication
    std::int32_t RecoverWait = 0;  // 5 by default; SetParameters makes it 1 (word 32 = RecoverWait * 10)
};

// Raw sensor counts per g that LoadDefaults gives the readout.
constexpr std::int32_t kDefaultCountsPerG = 1024;

// The settings part of LoadDefaults: OnTray 1, OnHint "DiskProtectionON",
// OffHint "DiskProtectionOFF", AutoRecover 1, RecoverWait 5. (The caller sets
// CountsPerG to kDefaultCountsPerG and then restores the protection state
// from the driver.)
void LoadSettingsDefaults(SettingsRecord& settings);

// Puts a tip text into OnHint or OffHint, cut at 47 characters.
void SetSettingsHint(char (&field)[48], const std::string& text);
