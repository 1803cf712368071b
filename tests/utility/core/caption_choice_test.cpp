// Where Sentrel finds its caption file on the notebook: the registry's
// directory prefix and the locale's file, else Captions.txt beside it.
#include <gtest/gtest.h>

#include <string>

#include "captions.h"
#include "core_machine.h"

namespace {

using coretest::RemoveDriveCFile;
using coretest::WriteDriveCFile;

const char* const kAppData = "C:\\ProgramData\\Halvorin\\Sentrel\\";
const char* const kInstall = "C:\\Program Files\\Halvorin\\Sentrel\\";

class CaptionChoice : public ::testing::Test {
protected:
    void TearDown() override {
        coretest::RestoreHalvorinKey();
        for (const char* dir : {"ProgramData/Halvorin/Sentrel/", "Program Files/Halvorin/Sentrel/"}) {
            for (const char* name : {"Captions.txt", "Captions_1033.txt"}) RemoveDriveCFile(std::string(dir) + name);
        }
    }
    static std::string Choose() { return ChooseCaptionFile(ReadDataDirectory(), ReadLocaleNumber()); }
};

TEST_F(CaptionChoice, TheLocalesFileInTheDataDirectoryWinsOverCaptionsTxt) {
    EXPECT_EQ(ReadLocaleNumber(), 1033);
    EXPECT_EQ(ReadDataDirectory(), kAppData);
    WriteDriveCFile("ProgramData/Halvorin/Sentrel/Captions.txt", "%1\n");
    WriteDriveCFile("ProgramData/Halvorin/Sentrel/Captions_1033.txt", "%1\n");
    EXPECT_EQ(Choose(), std::string(kAppData) + "Captions_1033.txt");

    RemoveDriveCFile("ProgramData/Halvorin/Sentrel/Captions_1033.txt");
    EXPECT_EQ(Choose(), std::string(kAppData) + "Captions.txt");
    RemoveDriveCFile("ProgramData/Halvorin/Sentrel/Captions.txt");
    EXPECT_EQ(Choose(), std::string(kAppData) + "Captions.txt") << "the fallback's existence is not checked";
}

TEST_F(CaptionChoice, AppDataDirIsUsedWheneverItExistsEvenWithoutAFileThere) {
    WriteDriveCFile("Program Files/Halvorin/Sentrel/Captions_1033.txt", "%1\n");
    EXPECT_EQ(Choose(), std::string(kAppData) + "Captions.txt");

    coretest::SetHalvorinValue("AppDataDir", nullptr);
    EXPECT_EQ(ReadDataDirectory(), kInstall);
    EXPECT_EQ(Choose(), std::string(kInstall) + "Captions_1033.txt");

    coretest::SetHalvorinValue("AppDataDir", "");
    EXPECT_EQ(ReadDataDirectory(), "") << "an empty AppDataDir still exists";
}

TEST_F(CaptionChoice, WithoutTheKeyOrItsValuesFileNamesAreRelative) {
    coretest::SetHalvorinValue("AppDataDir", nullptr);
    coretest::SetHalvorinValue("InstallDir", nullptr);
    EXPECT_EQ(ReadDataDirectory(), "");
    coretest::RemoveHalvorinKey();
    EXPECT_EQ(ReadDataDirectory(), "");
    EXPECT_EQ(Choose(), "Captions.txt");
}

TEST_F(CaptionChoice, OverlongPrefixesAreCutOrLeaveNoCaptionFile) {
    const std::string longPrefix = "C:\\" + std::string(200, 'd') + "\\";
    coretest::SetHalvorinValue("AppDataDir", longPrefix.c_str());
    EXPECT_EQ(ReadDataDirectory(), longPrefix.substr(0, kDataDirectoryMax));
    EXPECT_EQ(Choose(), "") << "no 63-character path holds it";

    // 47 characters: the localized name no longer fits, Captions.txt does.
    const std::string prefix47 = "C:\\" + std::string(43, 'p') + "\\";
    ASSERT_EQ(prefix47.size(), 47u);
    WriteDriveCFile(std::string(43, 'p') + "/Captions_1033.txt", "%1\n");
    EXPECT_EQ(ChooseCaptionFile(prefix47, 1033), prefix47 + "Captions.txt");
    const std::string prefix46 = prefix47.substr(0, 45) + "\\";
    WriteDriveCFile(std::string(42, 'p') + "/Captions_1033.txt", "%1\n");
    EXPECT_EQ(ChooseCaptionFile(prefix46, 1033), prefix46 + "Captions_1033.txt");
    EXPECT_EQ(ChooseCaptionFile(prefix46, 1033).size(), kCaptionFilePathMax);
    const std::string prefix52 = "C:\\" + std::string(48, 'p') + "\\";
    EXPECT_EQ(ChooseCaptionFile(prefix52, 1033), "");
}

TEST_F(CaptionChoice, TheInstalledCaptionFilesRelabelInEnglishAndGerman) {
    // The files the installer (and notebook serve) put into the data directory.
    for (const char* name : {"Captions.txt", "Captions_1031.txt"}) {
        WriteDriveCFile(std::string("ProgramData/Halvorin/Sentrel/") + name,
                        e2e::ReadFile(std::string(SOURCE_DIR "/install/captions/") + name));
    }
    const std::string german = ChooseCaptionFile(ReadDataDirectory(), 1031);
    EXPECT_EQ(german, std::string(kAppData) + "Captions_1031.txt");
    const std::string english = ChooseCaptionFile(ReadDataDirectory(), 1033);
    EXPECT_EQ(english, std::string(kAppData) + "Captions.txt");

    struct Section {
        char digit;
        std::size_t entries;
    };
    for (const std::string& path : {english, german}) {
        for (Section s : {Section{'1', 15}, Section{'2', 4}, Section{'3', 21}}) {
            CaptionReader reader;
            ASSERT_TRUE(reader.Open(path)) << path;
            ASSERT_TRUE(reader.FindSection(s.digit)) << path << " %" << s.digit;
            CaptionEntry entry;
            std::size_t n = 0;
            while (reader.ReadCaptionEntry(&entry)) ++n;
            EXPECT_EQ(n, s.entries) << path << " %" << s.digit;
        }
    }
    CaptionReader reader;
    ASSERT_TRUE(reader.Open(german));
    ASSERT_TRUE(reader.FindSection('1'));
    CaptionEntry entry;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.ReadCaptionEntry(&entry));
    EXPECT_EQ(entry.caption, "Aktivieren") << "entry 3 labels the Enable choice";
    RemoveDriveCFile("ProgramData/Halvorin/Sentrel/Captions_1031.txt");
}

TEST(ServedCaptions, NotebookServePlacesTheCaptionFilesWhereTheRegistrySays) {
    const std::string dir = "C:\\ProgramData\\Halvorin\\Sentrel\\";
    for (const char* locale : {"1031", "1041"}) {
        e2e::Notebook notebook;
        ASSERT_TRUE(notebook.Start({"--locale", locale})) << notebook.Log();
        const std::string file = std::string(locale) == "1031" ? "Captions_1031.txt" : "Captions.txt";
        EXPECT_EQ(coretest::RunProbe(notebook.Socket(), {"captions"}).output,
                  "directory: " + dir + "\nlocale: " + locale + "\nfile: " + dir + file + "\n");
        for (const char* name : {"Captions.txt", "Captions_1031.txt"}) {
            EXPECT_EQ(e2e::ReadFile(notebook.StateDir() + "/drive_c/ProgramData/Halvorin/Sentrel/" + name),
                      e2e::ReadFile(std::string(SOURCE_DIR "/install/captions/") + name));
        }
    }
}

}  // namespace
