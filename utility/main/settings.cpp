#include "settings.h"

#include <cstring>

#include "text_cut.h"

void SetSettingsHint(char (&field)[48], const std::string& text) {
    const std::string cut = CutText(text, sizeof field - 1);
    const std::size_t n = cut.size();
    std::memcpy(field, cut.data(), n);
    field[n] = '\0';
}

void LoadSettingsDefaults(SettingsRecord& settings) {
    settings.OnTray = 1;
    SetSettingsHint(settings.OnHint, "DiskProtectionON");
    SetSettingsHint(settings.OffHint, "DiskProtectionOFF");
    settings.AutoRecover = 1;
    settings.RecoverWait = 5;
}
