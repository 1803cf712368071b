// Writing the registry as a .reg file, and reading it back unchanged.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "hostkernel/registry.h"
#include "import_result.h"

namespace {

using hk::Registry;

const std::wstring kInit = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT";

std::vector<std::uint8_t> Utf16Units(std::initializer_list<std::uint16_t> units) {
    std::vector<std::uint8_t> bytes;
    for (std::uint16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

TEST(RegExport, WritesRegeditsFormat) {
    Registry registry;
    ASSERT_TRUE(registry.SetValue(kInit, L"OP_MODE", hk::kRegBinary, {0x01}, true));
    ASSERT_TRUE(registry.SetValue(kInit, L"", hk::kRegSz, hk::RegSzData(L"say \"hi\" C:\\"), true));
    ASSERT_TRUE(registry.SetValue(kInit, L"Count", hk::kRegDword, hk::RegDwordData(0x1f)));
    ASSERT_TRUE(registry.SetValue(kInit, L"Path", hk::kRegExpandSz, hk::RegSzData(L"%A%")));
    ASSERT_TRUE(registry.SetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"InstallDir", hk::kRegSz,
                                  hk::RegSzData(L"C:\\Program Files\\Halvorin\\"), true));
    ASSERT_TRUE(registry.CreateKey(L"\\Registry\\User\\CurrentUser\\Empty"));

    EXPECT_EQ(registry.ExportText(),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin]\n"
              "\"InstallDir\"=\"C:\\\\Program Files\\\\Halvorin\\\\\"\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT]\n"
              "@=\"say \\\"hi\\\" C:\\\\\"\n"
              "\"OP_MODE\"=hex:01\n"
              "\"Count\"=dword:0000001f\n"
              "\"Path\"=hex(2):25,00,41,00,25,00,00,00\n"
              "\n"
              "[HKEY_USERS\\CurrentUser\\Empty]\n"
              "\n");

    EXPECT_EQ(registry.ExportText(L"\\Registry\\Machine\\software"),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin]\n"
              "\"InstallDir\"=\"C:\\\\Program Files\\\\Halvorin\\\\\"\n"
              "\n");
    EXPECT_EQ(registry.ExportText(L"\\Registry\\Machine\\Missing"), "Windows Registry Editor Version 5.00\n\n");
    EXPECT_EQ(Registry().ExportText(), "Windows Registry Editor Version 5.00\n\n");
}

TEST(RegExport, WrapsLongHexListsLikeRegedit) {
    Registry registry;
    std::vector<std::uint8_t> thirty;
    for (int i = 0; i < 30; ++i) thirty.push_back(static_cast<std::uint8_t>(i));
    ASSERT_TRUE(registry.SetValue(L"\\Registry\\Machine\\A", L"BinaryValue", hk::kRegBinary, thirty, true));
    EXPECT_EQ(registry.ExportText(),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\A]\n"
              "\"BinaryValue\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\n"
              "  14,15,16,17,18,19,1a,1b,1c,1d\n"
              "\n");

    // Long lists: no line over 80 characters, every continued line ends
    // in ",\" and the next one starts with two spaces.
    ASSERT_TRUE(registry.SetValue(L"\\Registry\\Machine\\A", L"Multi", hk::kRegMultiSz,
                                  std::vector<std::uint8_t>(1000, 0x41)));
    std::istringstream lines(registry.ExportText());
    std::string line;
    bool continued = false;
    int lineCount = 0;
    while (std::getline(lines, line)) {
        ++lineCount;
        EXPECT_LE(line.size(), 80u) << line;
        if (continued) {
            EXPECT_EQ(line.rfind("  ", 0), 0u) << line;
        }
        continued = line.size() >= 2 && line.compare(line.size() - 2, 2, ",\\") == 0;
    }
    EXPECT_GT(lineCount, 40);
}

// Values whose bytes are not plain text must still come back exactly.
TEST(RegExport, EveryTypeAndAwkwardDataRoundTripsExactly) {
    Registry original;
    const std::wstring key = L"\\Registry\\Machine\\SOFTWARE\\Odd [key] name \u00e9 ";
    std::vector<std::uint8_t> large;
    for (int i = 0; i < 300; ++i) large.push_back(static_cast<std::uint8_t>(i * 7));
    const std::vector<hk::RegValue> values = {
        {L"", hk::kRegSz, hk::RegSzData(L"default")},
        {L"sz", hk::kRegSz, hk::RegSzData(L"a \"quoted\" \\path\\ \u00fc \U0001F600 =@;[x]")},
        {L"sz empty", hk::kRegSz, hk::RegSzData(L"")},
        {L"sz no data", hk::kRegSz, {}},
        {L"sz unterminated", hk::kRegSz, Utf16Units({'a', 'b'})},
        {L"sz line break", hk::kRegSz, hk::RegSzData(L"a\r\nb")},
        {L"sz inner nul", hk::kRegSz, Utf16Units({'a', 0, 'b', 0})},
        {L"sz odd length", hk::kRegSz, {0x41, 0x00, 0x00}},
        {L"sz lone surrogate", hk::kRegSz, Utf16Units({0xD800, 0})},
        {L"expand", hk::kRegExpandSz, hk::RegSzData(L"%SystemRoot%\\x")},
        {L"multi", hk::kRegMultiSz, Utf16Units({'a', 0, 'b', 'c', 0, 0})},
        {L"binary", hk::kRegBinary, large},
        {L"binary empty", hk::kRegBinary, {}},
        {L"dword", hk::kRegDword, hk::RegDwordData(0xDEADBEEF)},
        {L"dword short", hk::kRegDword, {1, 2, 3}},
        {L"qword", hk::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
        {L"none", hk::kRegNone, {9}},
        {L"big type", 0xFFFFFFFF, {1}},
        {L"name \"with\" \\ = @", hk::kRegDword, hk::RegDwordData(1)},
        {L"@", hk::kRegDword, hk::RegDwordData(2)},
        {std::wstring(300, L'n'), hk::kRegBinary, large},
    };
    for (const auto& value : values) {
        ASSERT_TRUE(original.SetValue(key, value.name, value.type, value.data, true));
    }
    ASSERT_TRUE(original.SetValue(L"\\Registry\\Machine", L"OnHiveRoot", hk::kRegDword, hk::RegDwordData(3)));
    ASSERT_TRUE(original.CreateKey(L"\\Registry\\User\\CurrentUser\\a]b\\leaf"));

    const std::string text = original.ExportText();
    Registry copy;
    ASSERT_TRUE(Imported(copy, text));
    for (const auto& value : values) {
        const auto read = copy.GetValue(key, value.name);
        ASSERT_TRUE(read) << text;
        EXPECT_EQ(read->name, value.name);
        EXPECT_EQ(read->type, value.type) << read->name.size();
        EXPECT_EQ(read->data, value.data) << read->name.size();
    }
    EXPECT_EQ(copy.Values(key).size(), values.size());
    EXPECT_EQ(copy.GetValue(L"\\Registry\\Machine", L"OnHiveRoot")->data, hk::RegDwordData(3));
    EXPECT_TRUE(copy.KeyExists(L"\\Registry\\User\\CurrentUser\\a]b\\leaf"));
    EXPECT_EQ(copy.ExportText(), text);
}

class RegSave : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "hk_registry_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& name : Files()) ::unlink((dir_ + "/" + name).c_str());
        ::rmdir(dir_.c_str());
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(dir_.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            ::closedir(dir);
        }
        return names;
    }
    std::string dir_;
};

TEST_F(RegSave, WritesFileAtomicallyAndItReimports) {
    Registry registry;
    ASSERT_TRUE(registry.SetValue(kInit, L"P_THRESHOLD", hk::kRegBinary, {0x10, 0x02}, true));
    const std::string path = dir_ + "/registry.reg";
    std::string error;
    ASSERT_TRUE(registry.SaveFileAtomic(path, &error)) << error;
    EXPECT_EQ(Files(), std::vector<std::string>{"registry.reg"});

    ASSERT_TRUE(registry.SetValue(kInit, L"P_DL_TIME", hk::kRegBinary, {0x05, 0x00}));
    ASSERT_TRUE(registry.SaveFileAtomic(path, &error)) << error;
    EXPECT_EQ(Files(), std::vector<std::string>{"registry.reg"});

    Registry reloaded;
    const auto importError = reloaded.ImportFile(path);
    ASSERT_FALSE(importError) << importError->ToString();
    EXPECT_EQ(reloaded.ExportText(), registry.ExportText());
    EXPECT_EQ(reloaded.GetValue(kInit, L"P_DL_TIME")->data, (std::vector<std::uint8_t>{0x05, 0x00}));
}

TEST_F(RegSave, FailureLeavesNothingBehind) {
    Registry registry;
    std::string error;
    EXPECT_FALSE(registry.SaveFileAtomic(dir_ + "/missing/registry.reg", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(Files().empty());

    // A directory in the target's place: the rename fails, the temp file goes.
    ASSERT_EQ(::mkdir((dir_ + "/taken").c_str(), 0755), 0);
    EXPECT_FALSE(registry.SaveFileAtomic(dir_ + "/taken", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Files(), std::vector<std::string>{"taken"});
    ::rmdir((dir_ + "/taken").c_str());
}

}  // namespace
