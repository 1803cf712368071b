// Running scenario scripts given as text, and reading the event log back.
#pragma once

#include "scenario.h"
#include "script.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace nbtest {

inline notebook::ParseResult Parse(const std::string& text) {
    return notebook::ParseScript({text, "test.nb", NOTEBOOK_SOURCE_DIR, NOTEBOOK_SOURCE_DIR});
}

inline notebook::Script MustParse(const std::string& text) {
    notebook::ParseResult r = Parse(text);
    EXPECT_FALSE(r.error.has_value()) << (r.error ? r.error->ToString() : "");
    return r.script ? *r.script : notebook::Script{};
}

inline notebook::ScenarioResult RunText(const std::string& text, const std::string& driver = "") {
    notebook::ScenarioOptions options;
    options.driver_path = driver;
    return notebook::RunScenario(MustParse(text), options);
}

// The event log's lines with the given event name.
inline std::vector<std::string> Events(const notebook::ScenarioResult& r, const std::string& name) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < r.events.size()) {
        std::size_t end = r.events.find('\n', start);
        if (end == std::string::npos) end = r.events.size();
        std::string line = r.events.substr(start, end - start);
        if (line.find("\"event\":\"" + name + "\"") != std::string::npos) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// A number or a quoted string field of one event line.
inline std::optional<long long> Number(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) return std::nullopt;
    return std::stoll(line.substr(at + tag.size()));
}

inline std::string Text(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":\"";
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) return "";
    const std::size_t from = at + tag.size();
    return line.substr(from, line.find('"', from) - from);
}

}  // namespace nbtest
