#include "reg_file.h"

#include <cstdio>

#include "text_codec.h"

namespace hk::registry_detail {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view TrimLeft(std::wstring_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::wstring_view TrimRight(std::wstring_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && NamesEqual(text.substr(0, prefix.size()), prefix);
}

// Thrown inside the parser only; ParseRegFile turns it into a RegError.
struct ParseFailure {
    int line;
    std::string message;
};

[[noreturn]] void Fail(int line, std::string message) {
    throw ParseFailure{line, std::move(message)};
}

class RegFileParser {
public:
    explicit RegFileParser(std::wstring_view text) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = text.find(L'\n', start);
            std::wstring_view line = text.substr(start, end == std::wstring_view::npos ? end : end - start);
            if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
            lines_.push_back(line);
            if (end == std::wstring_view::npos) break;
            start = end + 1;
        }
    }

    std::vector<RegFileEdit> Parse() {
        std::size_t index = ParseHeader();
        for (; index < lines_.size(); ++index) {
            const std::wstring_view line = TrimLeft(lines_[index]);
            const int number = static_cast<int>(index) + 1;
            if (line.empty() || line.front() == L';') continue;
            if (line.front() == L'[') {
                ParseKeyLine(line, number);
            } else if (line.front() == L'"' || line.front() == L'@') {
                ParseValueLine(line, &index);
            } else {
                Fail(number, "expected a [key] line, a \"name\"= or @= value line, or a ; comment");
            }
        }
        return std::move(edits_);
    }

private:
    // Returns the index of the line after the header.
    std::size_t ParseHeader() {
        for (std::size_t index = 0; index < lines_.size(); ++index) {
            const std::wstring_view line = TrimRight(TrimLeft(lines_[index]));
            if (line.empty()) continue;
            const std::string header = WideToUtf8(line);
            if (header == kRegFileHeader) {
                regedit4_ = false;
            } else if (header == kRegFileHeader4) {
                regedit4_ = true;
            } else {
                Fail(static_cast<int>(index) + 1,
                     "expected the header line \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
            }
            return index + 1;
        }
        Fail(static_cast<int>(lines_.size()),
             "expected the header line \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    }

    void ParseKeyLine(std::wstring_view line, int number) {
        line = TrimRight(line);
        if (line.size() < 2 || line.back() != L']') {
            Fail(number, "expected ']' at the end of the key line");
        }
        std::wstring_view path = line.substr(1, line.size() - 2);
        const bool remove = !path.empty() && path.front() == L'-';
        if (remove) path.remove_prefix(1);
        if (path.empty()) {
            Fail(number, "expected a key path such as HKEY_LOCAL_MACHINE\\SOFTWARE between '[' and ']'");
        }
        RegPathProblem problem = RegPathProblem::kNone;
        std::optional<KeyComponents> key = ParseRegPath(path, &problem);
        switch (problem) {
        case RegPathProblem::kNone:
            break;
        case RegPathProblem::kUnknownHive:
            Fail(number,
                 "expected HKEY_LOCAL_MACHINE, HKEY_USERS or HKEY_CURRENT_USER (or HKLM, HKU, HKCU) at the "
                 "start of the key path, found \"" +
                     WideToUtf8(path.substr(0, path.find(L'\\'))) + "\"");
        case RegPathProblem::kEmptyName:
            Fail(number, "expected a key name between backslashes in the key path");
        case RegPathProblem::kBadName:
            Fail(number, "expected key names of 1 to 255 characters without NUL characters");
        case RegPathProblem::kTooDeep:
            Fail(number, "expected at most 512 levels of keys");
        }
        RegFileEdit edit;
        edit.key = std::move(*key);
        if (remove) {
            if (edit.key.size() < 2) Fail(number, "expected a key below the hive root: a hive cannot be deleted");
            edit.kind = RegFileEdit::Kind::kDeleteKey;
            currentKey_.reset();
            afterKeyDeletion_ = true;
        } else {
            edit.kind = RegFileEdit::Kind::kCreateKey;
            currentKey_ = edit.key;
        }
        edits_.push_back(std::move(edit));
    }

    void ParseValueLine(std::wstring_view line, std::size_t* index) {
        const int number = static_cast<int>(*index) + 1;
        if (!currentKey_) {
            Fail(number, afterKeyDeletion_
                             ? "expected a [key] line before this value (values cannot follow a [-key] line)"
                             : "expected a [key] line before the first value");
        }
        std::size_t pos = 0;
        std::wstring name;
        if (line.front() == L'@') {
            pos = 1;
        } else {
            name = ParseQuoted(line, &pos, number, "value name");
            if (!IsValidValueName(name)) {
                Fail(number, "expected a value name of at most 16383 characters without NUL characters");
            }
        }
        SkipBlanks(line, &pos);
        if (pos >= line.size() || line[pos] != L'=') Fail(number, "expected '=' after the value name");
        ++pos;
        SkipBlanks(line, &pos);

        RegFileEdit edit;
        edit.kind = RegFileEdit::Kind::kSetValue;
        edit.key = *currentKey_;
        edit.valueName = std::move(name);
        const std::wstring_view data = line.substr(pos);
        if (!data.empty() && data.front() == L'"') {
            const std::wstring text = ParseQuoted(line, &pos, number, "string");
            ExpectLineEnd(line, pos, number, "the closing quote");
            edit.type = kRegSz;
            edit.data = RegSzData(text);
        } else if (!data.empty() && data.front() == L'-') {
            ExpectLineEnd(line, pos + 1, number, "'-'");
            edit.kind = RegFileEdit::Kind::kDeleteValue;
        } else if (StartsWithIgnoringCase(data, L"dword:")) {
            pos += 6;
            std::uint32_t value = 0;
            for (int digit = 0; digit < 8; ++digit, ++pos) {
                const int v = pos < line.size() ? HexDigitValue(line[pos]) : -1;
                if (v < 0) Fail(number, "expected 8 hex digits after dword:");
                value = (value << 4) | static_cast<std::uint32_t>(v);
            }
            ExpectLineEnd(line, pos, number, "the 8 hex digits of dword:");
            edit.type = kRegDword;
            edit.data = RegDwordData(value);
        } else if (StartsWithIgnoringCase(data, L"hex")) {
            pos += 3;
            edit.type = ParseHexType(line, &pos, number);
            edit.data = ParseHexList(line.substr(pos), index);
            if (regedit4_ && (edit.type == kRegSz || edit.type == kRegExpandSz || edit.type == kRegMultiSz)) {
                edit.data = WidenAnsiBytes(edit.data);
            }
        } else {
            Fail(number, "expected \"text\", dword:, hex:, hex(N): or - after '='");
        }
        edits_.push_back(std::move(edit));
    }

    // "hex:" is REG_BINARY, "hex(N):" is type N (hex digits).
    static std::uint32_t ParseHexType(std::wstring_view line, std::size_t* pos, int number) {
        std::uint32_t type = kRegBinary;
        if (*pos < line.size() && line[*pos] == L'(') {
            ++*pos;
            int digits = 0;
            type = 0;
            for (; *pos < line.size() && HexDigitValue(line[*pos]) >= 0; ++*pos, ++digits) {
                type = (type << 4) | static_cast<std::uint32_t>(HexDigitValue(line[*pos]));
            }
            if (digits == 0 || digits > 8 || *pos >= line.size() || line[*pos] != L')') {
                Fail(number, "expected a type of 1 to 8 hex digits and ')' after hex(");
            }
            ++*pos;
        }
        if (*pos >= line.size() || line[*pos] != L':') Fail(number, "expected ':' after hex or hex(N)");
        ++*pos;
        return type;
    }

    // Comma-separated bytes of two hex digits; a trailing backslash continues
    // the list on the next line, whose leading blanks are skipped.
    std::vector<std::uint8_t> ParseHexList(std::wstring_view firstPart, std::size_t* index) {
        struct Piece {
            std::size_t offset;
            int line;
        };
        std::wstring joined;
        std::vector<Piece> pieces;
        std::wstring_view part = TrimRight(firstPart);
        for (;;) {
            const int number = static_cast<int>(*index) + 1;
            pieces.push_back({joined.size(), number});
            const bool continues = !part.empty() && part.back() == L'\\';
            if (continues) part.remove_suffix(1);
            joined += part;
            if (!continues) break;
            if (*index + 1 >= lines_.size()) Fail(number, "expected a continuation line after the trailing '\\'");
            ++*index;
            part = TrimRight(TrimLeft(lines_[*index]));
        }
        auto lineAt = [&pieces](std::size_t offset) {
            int line = pieces.front().line;
            for (const Piece& piece : pieces) {
                if (piece.offset <= offset) line = piece.line;
            }
            return line;
        };

        std::vector<std::uint8_t> bytes;
        std::size_t pos = 0;
        SkipBlanks(joined, &pos);
        if (pos == joined.size()) return bytes;
        for (;;) {
            SkipBlanks(joined, &pos);
            const int high = pos < joined.size() ? HexDigitValue(joined[pos]) : -1;
            const int low = pos + 1 < joined.size() ? HexDigitValue(joined[pos + 1]) : -1;
            if (high < 0 || low < 0) Fail(lineAt(pos), "expected two hex digits for each byte of the hex list");
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
            pos += 2;
            SkipBlanks(joined, &pos);
            if (pos == joined.size()) return bytes;
            if (joined[pos] != L',') Fail(lineAt(pos), "expected ',' between the bytes of the hex list");
            ++pos;
        }
    }

    // A quoted string starting at *pos; \\ and \" are the only escapes.
    static std::wstring ParseQuoted(std::wstring_view line, std::size_t* pos, int number, const std::string& what) {
        std::wstring text;
        ++*pos;  // opening quote
        for (;;) {
            if (*pos >= line.size()) Fail(number, "expected a closing quote at the end of the " + what);
            const wchar_t c = line[*pos];
            if (c == L'"') {
                ++*pos;
                return text;
            }
            if (c == L'\\') {
                if (*pos + 1 < line.size() && (line[*pos + 1] == L'\\' || line[*pos + 1] == L'"')) {
                    text.push_back(line[*pos + 1]);
                    *pos += 2;
                    continue;
                }
                Fail(number, "expected \\\\ or \\\" after a backslash in the " + what);
            }
            text.push_back(c);
            ++*pos;
        }
    }

    static void SkipBlanks(std::wstring_view text, std::size_t* pos) {
        while (*pos < text.size() && IsBlank(text[*pos])) ++*pos;
    }

    static void ExpectLineEnd(std::wstring_view line, std::size_t pos, int number, const std::string& after) {
        SkipBlanks(line, &pos);
        if (pos < line.size()) Fail(number, "expected the end of the line after " + after);
    }

    // REGEDIT4 files hold string data as single-byte characters.
    static std::vector<std::uint8_t> WidenAnsiBytes(const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> wide;
        wide.reserve(bytes.size() * 2);
        for (std::uint8_t b : bytes) {
            wide.push_back(b);
            wide.push_back(0);
        }
        return wide;
    }

    std::vector<std::wstring_view> lines_;
    std::vector<RegFileEdit> edits_;
    std::optional<KeyComponents> currentKey_;
    bool afterKeyDeletion_ = false;
    bool regedit4_ = false;
};

std::wstring EscapeQuoted(std::wstring_view text) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"') escaped.push_back(L'\\');
        escaped.push_back(c);
    }
    return escaped;
}

// The text of REG_SZ data that a "..." string reproduces byte for byte:
// well-formed UTF-16LE, one terminating NUL and nothing that breaks a line.
std::optional<std::wstring> QuotableText(const std::vector<std::uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 2] != 0 || data.back() != 0) {
        return std::nullopt;
    }
    std::optional<std::wstring> text = Utf16LeToWide(data.data(), data.size() - 2, nullptr);
    if (!text || text->find_first_of(std::wstring_view(L"\0\r\n", 3)) != std::wstring::npos) {
        return std::nullopt;
    }
    return text;
}

}  // namespace

std::optional<RegError> ParseRegFile(std::string_view bytes, const std::string& fileName,
                                     std::vector<RegFileEdit>* edits) {
    const DecodedFile decoded = DecodeRegFileBytes(bytes);
    if (!decoded.text) return RegError{fileName, decoded.errorLine, decoded.errorMessage};
    try {
        *edits = RegFileParser(*decoded.text).Parse();
    } catch (const ParseFailure& failure) {
        edits->clear();
        return RegError{fileName, failure.line, failure.message};
    }
    return std::nullopt;
}

std::string FormatKeyLine(const KeyComponents& key) {
    return "[" + WideToUtf8(RegPathFromComponents(key)) + "]\n";
}

std::string FormatValue(const RegValue& value) {
    std::string out;
    std::size_t lineLength;  // in characters, for wrapping hex lists
    if (value.name.empty()) {
        out = "@=";
        lineLength = 2;
    } else {
        const std::wstring name = EscapeQuoted(value.name);
        out = "\"" + WideToUtf8(name) + "\"=";
        lineLength = name.size() + 3;
    }

    if (value.type == kRegSz) {
        if (std::optional<std::wstring> text = QuotableText(value.data)) {
            return out + "\"" + WideToUtf8(EscapeQuoted(*text)) + "\"\n";
        }
    }
    char buffer[32];
    if (value.type == kRegDword && value.data.size() == 4) {
        const std::uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                (static_cast<std::uint32_t>(value.data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08x\n", static_cast<unsigned>(v));
        return out + buffer;
    }

    // Regedit's wrapping: after each "xx," that brings the line to 77
    // characters or more, the list continues on a new line indented by two.
    if (value.type == kRegBinary) {
        std::snprintf(buffer, sizeof buffer, "hex:");
    } else {
        std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(value.type));
    }
    out += buffer;
    lineLength += std::char_traits<char>::length(buffer);
    constexpr std::size_t kWrapAt = 77;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", value.data[i]);
        out += buffer;
        if (i + 1 == value.data.size()) break;
        out += ',';
        lineLength += 3;
        if (lineLength >= kWrapAt) {
            out += "\\\n  ";
            lineLength = 2;
        }
    }
    out += '\n';
    return out;
}

}  // namespace hk::registry_detail
