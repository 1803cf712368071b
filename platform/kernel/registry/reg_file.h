// Regedit's .reg text format: reading a file into a list of edits, and
// writing keys and values the way regedit exports them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostkernel/registry.h"
#include "key_path.h"

namespace hk::registry_detail {

constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRegFileHeader4 = "REGEDIT4";

// One edit a .reg file asks for, in file order.
struct RegFileEdit {
    enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
    Kind kind = Kind::kCreateKey;
    KeyComponents key;
    std::wstring valueName;  // kSetValue, kDeleteValue
    std::uint32_t type = 0;  // kSetValue
    std::vector<std::uint8_t> data;
};

// Reads the whole file; on success *edits holds every edit (none is lost to
// a later error, since the caller applies them only when this succeeds).
std::optional<RegError> ParseRegFile(std::string_view bytes, const std::string& fileName,
                                     std::vector<RegFileEdit>* edits);

// "[HKEY_LOCAL_MACHINE\...]\n" for a key inside a hive.
std::string FormatKeyLine(const KeyComponents& key);
// One value in regedit's form, ending in "\n"; long hex lists continue on
// further lines.
std::string FormatValue(const RegValue& value);

}  // namespace hk::registry_detail
