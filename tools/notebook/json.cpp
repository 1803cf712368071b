#include "json.h"

#include <cmath>
#include <cstdio>

namespace notebook {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void JsonObject::Key(const std::string& key) {
    if (!members_.empty()) members_ += ",";
    members_ += JsonString(key) + ":";
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
    Key(key);
    members_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, std::int64_t value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, std::uint64_t value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, double value) {
    Key(key);
    if (!std::isfinite(value)) {
        members_ += "null";
        return *this;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    members_ += buf;
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
    Key(key);
    members_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddNull(const std::string& key) {
    Key(key);
    members_ += "null";
    return *this;
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
    Key(key);
    members_ += json;
    return *this;
}

std::string JsonArray(const std::vector<std::string>& json_items) {
    std::string out = "[";
    for (std::size_t i = 0; i < json_items.size(); ++i) out += (i ? "," : "") + json_items[i];
    return out + "]";
}

std::string HexStatus(std::int32_t status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

}  // namespace notebook
