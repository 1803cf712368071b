#include "settings.h"

#include <cstring>

void SetSettingsHint(char (&field)[48], const std::string& text) {
    const std::size_t n = text.size() < sizeof field - 1 ? text.size() : sizeof field - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

void LoadSettingsDefaults(SettingsRecord& settings) {
    settings.OnTray = 1;
    SetSettingsHint(settings.OnHint, "DiskProtectionON");
    SetSettingsHint(settings.OffHint, "DiskProtectionOFF");
    settings.AutoRecover = 1;
    settings.RecoverWait = 5;
}
