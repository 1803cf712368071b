// The caption reader: only the C runtime, so the fuzz target can take it alone.
#include "captions.h"

#include <cstring>

namespace {

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

CaptionReader::~CaptionReader() { Close(); }

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
