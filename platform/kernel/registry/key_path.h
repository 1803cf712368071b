// Names and paths of registry keys: case folding, the limits a name must
// respect, kernel paths (\Registry\Machine\...) and .reg paths
// (HKEY_LOCAL_MACHINE\...), both reduced to the list of key names below
// \Registry.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hk::registry_detail {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr std::size_t kMaxKeyDepth = 512;  // levels below \Registry

// Names compare by their ASCII upper case, as the object manager does for
// OBJ_CASE_INSENSITIVE lookups (other letters compare as they are).
std::wstring FoldName(std::wstring_view name);
bool NamesEqual(std::wstring_view a, std::wstring_view b);

bool IsValidKeyName(std::wstring_view name);
bool IsValidValueName(std::wstring_view name);

// Key names below \Registry, e.g. {"Machine", "SOFTWARE", "Halvorin"}.
using KeyComponents = std::vector<std::wstring>;

// "\Registry" or "\Registry\..." with valid names; nullopt otherwise. Whether
// the first name is a hive is the tree's concern.
std::optional<KeyComponents> ParseKernelPath(std::wstring_view path);
std::wstring KernelPathFromComponents(const KeyComponents& components);

enum class RegPathProblem { kNone, kUnknownHive, kEmptyName, kBadName, kTooDeep };
// "HKEY_LOCAL_MACHINE\SOFTWARE" -> {"Machine", "SOFTWARE"}.
std::optional<KeyComponents> ParseRegPath(std::wstring_view path, RegPathProblem* problem);
// The reverse for components inside \Registry\Machine or \Registry\User;
// empty for anything else.
std::wstring RegPathFromComponents(const KeyComponents& components);

// The permanent hive roots below \Registry.
constexpr std::wstring_view kMachineHive = L"Machine";
constexpr std::wstring_view kUserHive = L"User";
bool IsHiveName(std::wstring_view name);

}  // namespace hk::registry_detail
