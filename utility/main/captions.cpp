#include "captions.h"

#include <windows.h>

#include <cstring>
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

// At most limit characters. A cut never splits a UTF-8 sequence (the caption
// files are UTF-8): it moves back to the start of the character it would split.
std::string Cut(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    // A UTF-8 character has at most three continuation bytes.
    while (end > 0 && end + 3 > limit && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

bool IsCommentStart(char c) { return c == '[' || c == ' ' || c == '\t'; }

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
    return Cut(directory, kDataDirectoryMax);
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

CaptionReader::~CaptionReader() { Close(); }

bool CaptionReader::Open(const std::string& captionFilePath) {
    Close();
    if (captionFilePath.empty()) return false;
    std::string path;
    if (!MapDrivePath(captionFilePath, &path)) return false;
    // Binary: CR LF is folded to LF below, alike on every platform.
    return Attach(std::fopen(path.c_str(), "rb"));
}

bool CaptionReader::Attach(std::FILE* stream) {
    Close();
    file_ = stream;
    sectionEnded_ = false;
    return file_ != nullptr;
}

void CaptionReader::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool CaptionReader::ReadPiece(std::string* piece) {
    piece->clear();
    if (file_ == nullptr) return false;
    // As text-mode fgets into 128 bytes: at most 127 characters, the line end
    // (CR LF counting as one LF) included.
    while (piece->size() < kCaptionPieceMax) {
        int c = std::fgetc(file_);
        if (c == EOF) break;
        if (c == '\r') {
            int next = std::fgetc(file_);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file_);
            }
        }
        piece->push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !piece->empty();
}

bool CaptionReader::FindSection(char digit) {
    std::string piece;
    while (ReadPiece(&piece)) {
        if (piece.size() >= 2 && piece[0] == '%' && piece[1] == digit) {
            sectionEnded_ = false;
            return true;
        }
    }
    sectionEnded_ = true;
    return false;
}

bool CaptionReader::ReadCaptionEntry(CaptionEntry* entry) {
    if (sectionEnded_) return false;
    std::string piece;
    for (;;) {
        if (!ReadPiece(&piece) || piece[0] == '%') {
            sectionEnded_ = true;
            return false;
        }
        if (!piece.empty() && piece.back() == '\n') piece.pop_back();
        // The text ends at a NUL, as it would in the C string the line is read into.
        piece.resize(std::strlen(piece.c_str()));
        if (piece.empty() || IsCommentStart(piece[0])) continue;
        break;
    }
    const std::size_t comma = piece.find(',');
    if (comma == std::string::npos) {
        entry->caption = Cut(piece, kCaptionTextMax);
        entry->hint.clear();
    } else {
        entry->caption = Cut(piece.substr(0, comma), kCaptionTextMax);
        entry->hint = Cut(piece.substr(comma + 1), kCaptionTextMax);
    }
    return true;
}
