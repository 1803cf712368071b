// The caption file's format as a window reads it: sections, comment lines,
// entries by position, line ends, 127-character pieces and the 63-character
// fields. Each case is a whole file and the entries one section yields.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "captions.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// Reads every entry of the section from a file holding the text; nullopt-like
// "missing" when the section is not found.
bool ReadSection(const std::string& text, char digit, Entries* entries) {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    CaptionReader reader;
    EXPECT_TRUE(reader.Attach(file));
    if (!reader.FindSection(digit)) return false;
    CaptionEntry entry;
    while (reader.ReadCaptionEntry(&entry)) entries->emplace_back(entry.caption, entry.hint);
    return true;
}

struct Case {
    const char* name;
    std::string file;
    char section;
    Entries expected;
};

const std::string k63(63, 'c');
const std::string k70(70, 'c');
const std::string k126(126, 'c');

TEST(CaptionReader, ReadsEachSectionByTheRulesOfTheFormat) {
    const Case cases[] = {
        {"lines before the first section are ignored", "Title,Hint\n%1 Main window\nA,a\nB\n", '1',
         {{"A", "a"}, {"B", ""}}},
        {"a section ends at the next line beginning with a percent sign", "%1\nA\nB\n%2\nC\n", '1', {{"A", ""}, {"B", ""}}},
        {"the second section is found after the first", "%1\nA\n%2 alert\nC,c\n%3\nD\n", '2', {{"C", "c"}}},
        {"a percent line ends the section whatever follows it", "%1\nA\n%\nB\n", '1', {{"A", ""}}},
        {"brackets, blanks and empty lines are comments", "%1\n[Heading]\n\n  indented\n\tTab\nA,a\n", '1',
         {{"A", "a"}}},
        {"CR LF line ends are taken like LF", "%1\r\nA,a\r\n\r\nB,b\r\n", '1', {{"A", "a"}, {"B", "b"}}},
        {"the last line needs no line end", "%1\nA,a", '1', {{"A", "a"}}},
        {"the hint keeps every comma after the first", "%1\nCap,one, two,three\n", '1', {{"Cap", "one, two,three"}}},
        {"blanks inside caption and hint belong to them", "%1\n&Close window , the hint \n", '1',
         {{"&Close window ", " the hint "}}},
        {"an entry of only commas has an empty caption", "%1\n,,,\n", '1', {{"", ",,"}}},
        {"captions and hints are cut at 63 characters", "%1\n" + k70 + "\n," + k70 + "\n" + k63 + "," + k63 + "\n", '1',
         {{k63, ""}, {"", k63}, {k63, k63}}},
        {"a cut never splits a UTF-8 character", "%1\n" + std::string(62, 'u') + "\xC3\xA4\n", '1',
         {{std::string(62, 'u'), ""}}},
        {"a line of 126 characters and its line end is one piece", "%1\n" + k126 + "\nB\n", '1',
         {{k63, ""}, {"B", ""}}},
        {"a longer line is read as two entries", "%1\n" + k126 + "yz,h\nB\n", '1',
         {{k63, ""}, {"z", "h"}, {"B", ""}}},
        {"a continuation piece beginning with a percent sign ends the section",
         "%1\n" + std::string(127, 'c') + "%2\nB\n", '1', {{k63, ""}}},
        {"the text of an entry ends at a NUL", std::string("%1\nAB\0CD,x\n", 11) + "E\n", '1', {{"AB", ""}, {"E", ""}}},
        {"a section with no entries", "%1\n%2\nA\n", '1', {}},
        {"a lone CR stays in the text", "%1\nA\rB\n", '1', {{"A\rB", ""}}},
    };
    for (const Case& c : cases) {
        Entries entries;
        EXPECT_TRUE(ReadSection(c.file, c.section, &entries)) << c.name;
        EXPECT_EQ(entries, c.expected) << c.name;
    }
}

TEST(CaptionReader, AMissingSectionOrFileYieldsNoEntry) {
    Entries entries;
    EXPECT_FALSE(ReadSection("%1\nA\n%3\nC\n", '2', &entries));
    EXPECT_FALSE(ReadSection("no sections here\n", '1', &entries));
    EXPECT_FALSE(ReadSection("", '1', &entries));
    EXPECT_TRUE(entries.empty());

    CaptionReader reader;
    EXPECT_FALSE(reader.Open(""));
    EXPECT_FALSE(reader.Open("no-such-directory\\Captions.txt"));
    CaptionEntry entry{"kept", "kept"};
    EXPECT_FALSE(reader.FindSection('1'));
    EXPECT_FALSE(reader.ReadCaptionEntry(&entry));
    EXPECT_EQ(entry.caption, "kept");
}

TEST(CaptionReader, AnEntryPastTheEndOfItsSectionLeavesTheCallersText) {
    std::FILE* file = std::tmpfile();
    std::fputs("%2\nOnly one\n%3\nOther\n", file);
    std::rewind(file);
    CaptionReader reader;
    ASSERT_TRUE(reader.Attach(file));
    ASSERT_TRUE(reader.FindSection('2'));
    CaptionEntry entry;
    ASSERT_TRUE(reader.ReadCaptionEntry(&entry));
    EXPECT_EQ(entry.caption, "Only one");
    entry = {"built-in", "built-in hint"};
    EXPECT_FALSE(reader.ReadCaptionEntry(&entry));
    EXPECT_FALSE(reader.ReadCaptionEntry(&entry)) << "the section stays ended";
    EXPECT_EQ(entry.caption, "built-in");
    EXPECT_EQ(entry.hint, "built-in hint");
}

TEST(CaptionFileName, FourCharactersOfTheLocaleNumber) {
    EXPECT_EQ(LocalizedCaptionFileName(1033), "Captions_1033.txt");
    EXPECT_EQ(LocalizedCaptionFileName(9), "Captions_0009.txt");
    EXPECT_EQ(LocalizedCaptionFileName(11274), "Captions_1127.txt");
    EXPECT_EQ(LocalizedCaptionFileName(1031), "Captions_1031.txt");
}

}  // namespace
