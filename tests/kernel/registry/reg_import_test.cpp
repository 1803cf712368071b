// Reading regedit's .reg files into the registry.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "hostkernel/registry.h"
#include "import_result.h"

namespace {

using hk::Registry;

const std::wstring kInit = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT";

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

// UTF-16LE with its byte order mark, the way regedit writes files.
std::string Utf16LeFile(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

TEST(RegImport, ReadsEveryValueForm) {
    Registry registry;
    const std::string text =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "; the installer's values\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT]\n"
        "@=\"default\"\n"
        "\"Path\"=\"C:\\\\Program Files\\\\\\\"Q\\\"\"\n"
        "\"Mode\"=dword:0000001F\n"
        "\"PCI_SMBUS_ADDR\"=hex:00,f0\n"
        "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
        "\"Quad\"=hex(b):01,00,00,00,00,00,00,80\n"
        "\"None\"=hex(0):\n"
        "\"Empty\"=hex:\n"
        "\"Odd\"=HEX(12345678):ff\n";
    ASSERT_TRUE(Imported(registry, text, "init.reg"));

    EXPECT_EQ(registry.GetValue(kInit, L"")->data, hk::RegSzData(L"default"));
    const auto path = registry.GetValue(kInit, L"Path");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->type, hk::kRegSz);
    EXPECT_EQ(path->data, hk::RegSzData(L"C:\\Program Files\\\"Q\""));
    EXPECT_EQ(registry.GetValue(kInit, L"Mode")->type, hk::kRegDword);
    EXPECT_EQ(registry.GetValue(kInit, L"Mode")->data, Bytes({0x1f, 0, 0, 0}));
    EXPECT_EQ(registry.GetValue(kInit, L"PCI_SMBUS_ADDR")->type, hk::kRegBinary);
    EXPECT_EQ(registry.GetValue(kInit, L"PCI_SMBUS_ADDR")->data, Bytes({0x00, 0xf0}));
    EXPECT_EQ(registry.GetValue(kInit, L"Expand")->type, hk::kRegExpandSz);
    EXPECT_EQ(registry.GetValue(kInit, L"Expand")->data, hk::RegSzData(L"%A%"));
    EXPECT_EQ(registry.GetValue(kInit, L"Multi")->type, hk::kRegMultiSz);
    EXPECT_EQ(registry.GetValue(kInit, L"Multi")->data.size(), 10u);
    EXPECT_EQ(registry.GetValue(kInit, L"Quad")->type, hk::kRegQword);
    EXPECT_EQ(registry.GetValue(kInit, L"Quad")->data, Bytes({1, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(registry.GetValue(kInit, L"None")->type, hk::kRegNone);
    EXPECT_TRUE(registry.GetValue(kInit, L"None")->data.empty());
    EXPECT_TRUE(registry.GetValue(kInit, L"Empty")->data.empty());
    EXPECT_EQ(registry.GetValue(kInit, L"Odd")->type, 0x12345678u);
}

TEST(RegImport, HexListsContinueAfterTrailingBackslash) {
    Registry registry;
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKLM\\SOFTWARE\\Halvorin]\r\n"
        "\"FUNC_W_0\"=hex:01,02,\\\r\n"
        "  03,04 , 05,\\   \r\n"
        "\t06\r\n"
        "\"After\"=dword:00000002\r\n";
    ASSERT_TRUE(Imported(registry, text, "crlf.reg"));
    EXPECT_EQ(registry.GetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"FUNC_W_0")->data,
              Bytes({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(registry.GetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"After")->data, hk::RegDwordData(2));
}

TEST(RegImport, DeletionLinesRemoveKeysAndValues) {
    Registry registry;
    ASSERT_TRUE(registry.SetValue(kInit, L"OP_MODE", hk::kRegBinary, {1}, true));
    ASSERT_TRUE(registry.SetValue(kInit, L"ERR_CODE", hk::kRegBinary, {0}, true));
    ASSERT_TRUE(registry.SetValue(kInit, L"", hk::kRegSz, hk::RegSzData(L"x"), true));
    ASSERT_TRUE(registry.CreateKey(L"\\Registry\\Machine\\SOFTWARE\\Old\\Deep"));

    const std::string text =
        "Windows Registry Editor Version 5.00\n"
        "[-HKEY_LOCAL_MACHINE\\software\\OLD]\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverExisted]\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZHP\\INIT]\n"
        "\"op_mode\"=-\n"
        "@=-\n"
        "\"Missing\"=-\n";
    ASSERT_TRUE(Imported(registry, text, "delete.reg"));
    EXPECT_FALSE(registry.KeyExists(L"\\Registry\\Machine\\SOFTWARE\\Old"));
    EXPECT_TRUE(registry.KeyExists(L"\\Registry\\Machine\\SOFTWARE"));
    const auto values = registry.Values(kInit);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, L"ERR_CODE");
}

TEST(RegImport, ReadsUtf16LeAndUtf8WithByteOrderMark) {
    const std::u16string body =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Gr\u00fc\u00dfe]\r\n"
        u"\"Text\"=\"\u00e4\U0001F600\"\r\n";
    Registry fromUtf16;
    ASSERT_TRUE(Imported(fromUtf16, Utf16LeFile(body), "utf16.reg"));
    const std::wstring key = L"\\Registry\\User\\CurrentUser\\Software\\Gr\u00fc\u00dfe";
    const auto value = fromUtf16.GetValue(key, L"text");
    ASSERT_TRUE(value);
    // U+1F600 is a surrogate pair in the stored UTF-16LE.
    EXPECT_EQ(value->data, Bytes({0xe4, 0, 0x3d, 0xd8, 0x00, 0xde, 0, 0}));

    const std::string utf8 =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
        "[HKEY_USERS\\CurrentUser\\Software\\Gr\xC3\xBC\xC3\x9F" "e]\n"
        "\"Text\"=\"\xC3\xA4\xF0\x9F\x98\x80\"\n";
    Registry fromUtf8;
    ASSERT_TRUE(Imported(fromUtf8, utf8, "utf8.reg"));
    EXPECT_EQ(fromUtf8.GetValue(key, L"Text")->data, value->data);
}

TEST(RegImport, Regedit4StringDataIsWidenedToUtf16) {
    Registry registry;
    const std::string text =
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin]\n"
        "\"AppDataDir\"=hex(2):43,3a,5c,00\n"
        "\"InstallDir\"=\"C:\\\\\"\n";
    ASSERT_TRUE(Imported(registry, text, "old.reg"));
    EXPECT_EQ(registry.GetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"AppDataDir")->data,
              hk::RegSzData(L"C:\\"));
    EXPECT_EQ(registry.GetValue(L"\\Registry\\Machine\\SOFTWARE\\Halvorin", L"InstallDir")->data,
              hk::RegSzData(L"C:\\"));
}

TEST(RegImport, MissingFileIsReportedWithItsName) {
    Registry registry;
    const auto error = registry.ImportFile("/nonexistent/dir/zhp.reg");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->file, "/nonexistent/dir/zhp.reg");
    EXPECT_EQ(error->line, 0);
    EXPECT_EQ(error->ToString().rfind("/nonexistent/dir/zhp.reg: expected", 0), 0u) << error->ToString();
}

struct BadFile {
    const char* what;
    std::string text;
    int line;
    const char* message;  // the start of the expected message
};

void PrintTo(const BadFile& bad, std::ostream* os) { *os << bad.what; }

class RegImportError : public ::testing::TestWithParam<BadFile> {};

// Lines 1-5 make changes of every kind, so that a later error shows whether
// anything was applied.
const std::string kChanges =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Existing]\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n"
    "\"v\"=dword:00000001\n";

TEST_P(RegImportError, NamesFileAndLineAndAppliesNothing) {
    Registry registry;
    ASSERT_TRUE(registry.SetValue(L"\\Registry\\Machine\\SOFTWARE\\Existing", L"keep", hk::kRegDword,
                                  hk::RegDwordData(7), true));
    const std::string before = registry.ExportText();

    const BadFile& bad = GetParam();
    const auto error = registry.ImportText(bad.text, "install/zhp.reg");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->file, "install/zhp.reg");
    EXPECT_EQ(error->line, bad.line) << error->ToString();
    EXPECT_EQ(error->message.rfind(bad.message, 0), 0u) << error->ToString();
    EXPECT_EQ(error->ToString(), "install/zhp.reg:" + std::to_string(bad.line) + ": " + error->message);

    EXPECT_EQ(registry.ExportText(), before);
    EXPECT_FALSE(registry.KeyExists(L"\\Registry\\Machine\\SOFTWARE\\New"));
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, RegImportError,
    ::testing::Values(
        BadFile{"no header", "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n", 2, "expected the header line"},
        BadFile{"empty file", "", 1, "expected the header line"},
        BadFile{"value before any key", "Windows Registry Editor Version 5.00\n\n\"v\"=\"x\"\n", 3,
                "expected a [key] line before the first value"},
        BadFile{"value after key deletion", kChanges + "[-HKLM\\SOFTWARE\\New]\n\"w\"=dword:00000001\n", 7,
                "expected a [key] line before this value"},
        BadFile{"unknown hive", kChanges + "[HKEY_CLASSES_ROOT\\.reg]\n", 6, "expected HKEY_LOCAL_MACHINE"},
        BadFile{"hive deletion", kChanges + "[-HKEY_USERS]\n", 6, "expected a key below the hive root"},
        BadFile{"empty key name", kChanges + "[HKLM\\SOFTWARE\\\\X]\n", 6, "expected a key name between"},
        BadFile{"unclosed key line", kChanges + "[HKLM\\SOFTWARE\\X\n", 6, "expected ']'"},
        BadFile{"malformed hex byte", kChanges + "\"h\"=hex:01,0g\n", 6, "expected two hex digits"},
        BadFile{"one-digit hex byte", kChanges + "\"h\"=hex:1,02\n", 6, "expected two hex digits"},
        BadFile{"missing comma", kChanges + "\"h\"=hex:01 02\n", 6, "expected ','"},
        BadFile{"bad byte on continuation line", kChanges + "\"h\"=hex:01,\\\n  02,\\\n  zz\n", 8,
                "expected two hex digits"},
        BadFile{"continuation at end of file", kChanges + "\"h\"=hex:01,\\", 6, "expected a continuation line"},
        BadFile{"bad hex type", kChanges + "\"h\"=hex(q):01\n", 6, "expected a type of 1 to 8 hex digits"},
        BadFile{"missing =", kChanges + "\"s\" \"text\"\n", 6, "expected '=' after the value name"},
        BadFile{"unterminated string", kChanges + "\"s\"=\"text\n", 6, "expected a closing quote"},
        BadFile{"unterminated name", kChanges + "\"s=\"text\"\n", 6, "expected '=' after the value name"},
        BadFile{"unknown escape", kChanges + "\"s\"=\"C:\\Temp\"\n", 6, "expected \\\\ or \\\""},
        BadFile{"short dword", kChanges + "\"d\"=dword:1f\n", 6, "expected 8 hex digits after dword:"},
        BadFile{"long dword", kChanges + "\"d\"=dword:000000001\n", 6, "expected the end of the line"},
        BadFile{"non-hex dword", kChanges + "\"d\"=dword:0000001x\n", 6, "expected 8 hex digits after dword:"},
        BadFile{"unknown data form", kChanges + "\"d\"=qword:1\n", 6, "expected \"text\", dword:, hex:"},
        BadFile{"stray text", kChanges + "Name=1\n", 6, "expected a [key] line, a \"name\"="},
        BadFile{"invalid UTF-8", kChanges + "\"s\"=\"\xC3\x28\"\n", 6, "expected UTF-8 text"}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST(RegImport, BrokenUtf16IsReportedOnItsLine) {
    std::string bytes = Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A]\r\n\"x\"=\"");
    bytes += std::string("\x00\xD8", 2);  // a high surrogate without its low half
    bytes += Utf16LeFile(u"\"\r\n").substr(2);
    Registry registry;
    const auto error = registry.ImportText(bytes, "u16.reg");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->line, 4);
    EXPECT_EQ(error->message.rfind("expected UTF-16LE text", 0), 0u);
    EXPECT_FALSE(registry.KeyExists(L"\\Registry\\Machine\\A"));
}

}  // namespace
