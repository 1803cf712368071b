// The installer's INF fills the driver's INIT key with exactly the values of
// the registry file the notebook boots with.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver_machine.h"

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    const auto last = s.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

// "HKLM, System\...\ZHP\INIT, NAME, 0x00000001, aa,bb" lines: binary values.
std::map<std::string, std::vector<std::uint8_t>> InfInitValues(const std::string& path) {
    std::map<std::string, std::vector<std::uint8_t>> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("HKLM,", 0) != 0 || line.find("\\ZHP\\INIT,") == std::string::npos) continue;
        std::vector<std::string> fields;
        std::stringstream fieldStream(line);
        std::string field;
        while (std::getline(fieldStream, field, ',')) fields.push_back(Trim(field));
        EXPECT_GE(fields.size(), 5u) << line;
        EXPECT_EQ(fields[3], "0x00000001") << "not a binary value: " << line;
        std::vector<std::uint8_t> data;
        for (std::size_t i = 4; i < fields.size(); ++i) data.push_back(std::stoul(fields[i], nullptr, 16));
        values[fields[2]] = data;
    }
    return values;
}

TEST(Installer, InfFillsTheSameInitValuesAsTheRegistryFile) {
    hk::Registry reg;
    auto error = reg.ImportFile(std::string(ZHP_SOURCE_DIR) + "/install/ZHP.reg");
    ASSERT_FALSE(error) << error->ToString();
    auto inf = InfInitValues(std::string(ZHP_SOURCE_DIR) + "/install/ZHP.inf");
    const auto values = reg.Values(zhptest::kInitKey);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(inf.size(), values.size());
    for (const auto& value : values) {
        const std::string name(value.name.begin(), value.name.end());
        ASSERT_TRUE(inf.count(name)) << name << " is missing from the INF";
        EXPECT_EQ(inf[name], value.data) << name;
    }
}

}  // namespace
