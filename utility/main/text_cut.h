// Cutting text to a field's limit. The utility's texts are UTF-8 (caption
// files, tray tips): a cut never splits a character; it moves back to the
// start of the character it would split.
#ifndef SENTREL_MAIN_TEXT_CUT_H
#define SENTREL_MAIN_TEXT_CUT_H

#include <string>

inline std::string CutText(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    // A UTF-8 character has at most three continuation bytes.
    while (end > 0 && end + 3 > limit && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

#endif
