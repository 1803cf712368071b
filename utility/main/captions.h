// The caption file: where Sentrel looks for it and how a window reads its
// section.
//
// Directory prefix: HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin, value "AppDataDir",
// else "InstallDir" (read only, never created), used verbatim before the file
// name. File: "Captions_" + the first four characters of the locale number
// written with at least four digits + ".txt" when that file opens, else
// "Captions.txt" in the same directory.
//
// Format: text read line by line (CR LF or LF), in pieces of at most 127
// characters; lines before the first section are ignored; a section begins
// with a line starting with "%" and its digit and ends at the next line
// starting with "%" or at the end of the file; inside it, lines starting with
// "[" or a blank, and empty lines, are comments; every other line is one
// entry: the caption up to the first comma, the hint after it (commas
// included). Captions and hints keep at most 63 characters (bytes); longer
// ones are cut there, or just before a UTF-8 character the cut would split
// (the installed caption files are UTF-8). Entries are taken by position.
//
// Everything here is read once and written nowhere. A file, section or entry
// that is missing simply yields nothing: the window keeps its built-in text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

constexpr std::size_t kDataDirectoryMax = 127;   // DataDirectory
constexpr std::size_t kCaptionFilePathMax = 63;  // CaptionFilePath
constexpr std::size_t kCaptionTextMax = 63;      // a caption or a hint
constexpr std::size_t kCaptionPieceMax = 127;    // characters of one read, line end included

// The registry's directory prefix, cut at 127 characters; empty when the key
// or both values are missing (file names are then relative to the current
// directory).
std::string ReadDataDirectory();

// The UI thread's locale number (GetThreadLocale).
std::int32_t ReadLocaleNumber();

// "Captions_" + four characters of the locale number + ".txt":
// 1033 -> "Captions_1033.txt", 9 -> "Captions_0009.txt", 11274 -> "Captions_1127.txt".
std::string LocalizedCaptionFileName(std::int32_t localeNumber);

// CaptionFilePath: the localized file in dataDirectory when it can be opened
// for reading, else dataDirectory + "Captions.txt" (not checked). A candidate
// longer than 63 characters is never used: a prefix that leaves no room for
// the localized name goes straight to "Captions.txt", and one that leaves no
// room for that either gives an empty path, which no window can open (every
// window keeps its built-in texts). A path is never cut: a cut path would name
// a different file.
std::string ChooseCaptionFile(const std::string& dataDirectory, std::int32_t localeNumber);

struct CaptionEntry {
    std::string caption;  // at most 63 characters
    std::string hint;     // at most 63 characters; empty when the line has no comma
};

// Reads the sections of one caption file. Each window opens the file, finds
// its section and reads its entries in table order, then closes it.
class CaptionReader {
public:
    CaptionReader() = default;
    ~CaptionReader();  // Close()
    CaptionReader(const CaptionReader&) = delete;
    CaptionReader& operator=(const CaptionReader&) = delete;

    // Opens the file by its Windows path (mode "r"). False when it cannot be
    // opened or the path is empty.
    bool Open(const std::string& captionFilePath);
    // Reads from a stream the caller opened; the reader closes it.
    bool Attach(std::FILE* stream);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // Reads lines until one whose first two characters are "%" and the digit.
    // False at the end of the file (the section is missing).
    bool FindSection(char digit);

    // Reads the next entry of the current section. False when the section has
    // ended (the "%" line is consumed) or the file has, and from then on until
    // the next FindSection: a window with more items than its section has
    // entries never takes texts from the following section. *entry is
    // untouched then.
    bool ReadCaptionEntry(CaptionEntry* entry);

private:
    // One piece of at most 127 characters, as fgets(buf, 128) gives it; false at the end.
    bool ReadPiece(std::string* piece);

    std::FILE* file_ = nullptr;
    bool sectionEnded_ = false;
};
