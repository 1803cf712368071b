#include "captions.h"

#include <windows.h>

#include <vector>

#include "drive_path.h"

namespace {

// The text of a string value, up to its first NUL; nullopt-like false when
// the value does not exist.
bool QueryStringValue(HKEY key, const char* name, std::string* text) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    text->clear();
    if (type != REG_SZ && type != REG_EXPAND_SZ) return true;
    std::vector<char> data(static_cast<std::size_t>(size) + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &got) != ERROR_SUCCESS) {
        return true;
    }
    data[got < size ? got : size] = '\0';
    *text = data.data();
    return true;
}

bool CanOpenForReading(const std::string& windowsPath) {
    std::string path;
    if (!MapDrivePath(windowsPath, &path)) return false;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

}  // namespace

std::string ReadDataDirectory() {
    std::string directory;
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software) != ERROR_SUCCESS) return directory;
    HKEY halvorin = nullptr;
    if (RegOpenKeyExA(software, "Halvorin", 0, KEY_READ, &halvorin) == ERROR_SUCCESS) {
        if (!QueryStringValue(halvorin, "AppDataDir", &directory)) {
            if (!QueryStringValue(halvorin, "InstallDir", &directory)) directory.clear();
        }
        RegCloseKey(halvorin);
    }
    RegCloseKey(software);
    if (directory.size() > kDataDirectoryMax) directory.resize(kDataDirectoryMax);
    return directory;
}

std::int32_t ReadLocaleNumber() { return static_cast<std::int32_t>(GetThreadLocale()); }

std::string LocalizedCaptionFileName(std::int32_t localeNumber) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", static_cast<int>(localeNumber));
    return std::string("Captions_") + std::string(digits, 4) + ".txt";
}

std::string ChooseCaptionFile(const std::string& dataDirectory, std::int32_t localeNumber) {
    const std::string localized = dataDirectory + LocalizedCaptionFileName(localeNumber);
    if (localized.size() <= kCaptionFilePathMax && CanOpenForReading(localized)) return localized;
    const std::string fallback = dataDirectory + "Captions.txt";
    if (fallback.size() <= kCaptionFilePathMax) return fallback;
    return std::string();
}

bool CaptionReader::Open(const std::string& captionFilePath) {
    Close();
    if (captionFilePath.empty()) return false;
    std::string path;
    if (!MapDrivePath(captionFilePath, &path)) return false;
    // Binary: the reader folds CR LF to LF itself, alike on every platform.
    return Attach(std::fopen(path.c_str(), "rb"));
}
