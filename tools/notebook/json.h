// A JSON object written member by member, in the order given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace notebook {

std::string JsonString(const std::string& text);

class JsonObject {
public:
    JsonObject& Add(const std::string& key, const std::string& value);
    JsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
    JsonObject& Add(const std::string& key, std::int64_t value);
    JsonObject& Add(const std::string& key, std::uint64_t value);
    JsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
    JsonObject& Add(const std::string& key, unsigned value) { return Add(key, static_cast<std::uint64_t>(value)); }
    JsonObject& Add(const std::string& key, double value);
    JsonObject& Add(const std::string& key, bool value);
    JsonObject& AddNull(const std::string& key);
    // value is JSON text already (an object, an array).
    JsonObject& AddRaw(const std::string& key, const std::string& json);

    std::string Members() const { return members_; }  // without the braces
    std::string ToString() const { return "{" + members_ + "}"; }

private:
    void Key(const std::string& key);
    std::string members_;
};

std::string JsonArray(const std::vector<std::string>& json_items);
// 0xC0000185 style.
std::string HexStatus(std::int32_t status);

}  // namespace notebook
