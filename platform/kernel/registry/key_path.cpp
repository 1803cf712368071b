#include "key_path.h"

#include "hostkernel/registry.h"
#include "text_codec.h"

namespace hk::registry_detail {

namespace {

wchar_t FoldChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// A .reg file is line based and UTF-8, so names carry no line breaks, no NUL
// and nothing UTF-8 cannot encode.
bool HasOnlyWritableChars(std::wstring_view name) {
    for (wchar_t c : name) {
        if (c == L'\0' || c == L'\r' || c == L'\n' || !IsScalarValue(static_cast<std::uint32_t>(c))) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring_view> SplitAtBackslashes(std::wstring_view text) {
    std::vector<std::wstring_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'\\', start);
        if (end == std::wstring_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

struct HiveAlias {
    std::wstring_view regName;
    KeyComponents components;
};

const std::vector<HiveAlias>& HiveAliases() {
    static const std::vector<HiveAlias> aliases = {
        {L"HKEY_LOCAL_MACHINE", {std::wstring(kMachineHive)}},
        {L"HKLM", {std::wstring(kMachineHive)}},
        {L"HKEY_USERS", {std::wstring(kUserHive)}},
        {L"HKU", {std::wstring(kUserHive)}},
        {L"HKEY_CURRENT_USER", {std::wstring(kUserHive), L"CurrentUser"}},
        {L"HKCU", {std::wstring(kUserHive), L"CurrentUser"}},
    };
    return aliases;
}

}  // namespace

std::wstring FoldName(std::wstring_view name) {
    std::wstring folded(name);
    for (wchar_t& c : folded) c = FoldChar(c);
    return folded;
}

bool NamesEqual(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldChar(a[i]) != FoldChar(b[i])) return false;
    }
    return true;
}

bool IsValidKeyName(std::wstring_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength &&
           name.find(L'\\') == std::wstring_view::npos && HasOnlyWritableChars(name);
}

bool IsValidValueName(std::wstring_view name) {
    return name.size() <= kMaxValueNameLength && HasOnlyWritableChars(name);
}

bool IsHiveName(std::wstring_view name) {
    return NamesEqual(name, kMachineHive) || NamesEqual(name, kUserHive);
}

std::optional<KeyComponents> ParseKernelPath(std::wstring_view path) {
    constexpr std::wstring_view kRoot = L"\\Registry";
    if (path.size() < kRoot.size() || !NamesEqual(path.substr(0, kRoot.size()), kRoot)) {
        return std::nullopt;
    }
    path.remove_prefix(kRoot.size());
    KeyComponents components;
    if (path.empty()) return components;
    if (path.front() != L'\\') return std::nullopt;
    for (std::wstring_view part : SplitAtBackslashes(path.substr(1))) {
        if (!IsValidKeyName(part)) return std::nullopt;
        components.emplace_back(part);
    }
    if (components.size() > kMaxKeyDepth) return std::nullopt;
    return components;
}

std::wstring KernelPathFromComponents(const KeyComponents& components) {
    std::wstring path = L"\\Registry";
    for (const auto& name : components) {
        path += L'\\';
        path += name;
    }
    return path;
}

std::optional<KeyComponents> ParseRegPath(std::wstring_view path, RegPathProblem* problem) {
    auto fail = [problem](RegPathProblem why) -> std::optional<KeyComponents> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    const std::vector<std::wstring_view> parts = SplitAtBackslashes(path);
    KeyComponents components;
    for (const HiveAlias& alias : HiveAliases()) {
        if (NamesEqual(parts.front(), alias.regName)) components = alias.components;
    }
    if (components.empty()) return fail(RegPathProblem::kUnknownHive);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty()) return fail(RegPathProblem::kEmptyName);
        if (!IsValidKeyName(parts[i])) return fail(RegPathProblem::kBadName);
        components.emplace_back(parts[i]);
    }
    if (components.size() > kMaxKeyDepth) return fail(RegPathProblem::kTooDeep);
    if (problem) *problem = RegPathProblem::kNone;
    return components;
}

std::wstring RegPathFromComponents(const KeyComponents& components) {
    if (components.empty()) return {};
    std::wstring path;
    if (NamesEqual(components.front(), kMachineHive)) {
        path = L"HKEY_LOCAL_MACHINE";
    } else if (NamesEqual(components.front(), kUserHive)) {
        path = L"HKEY_USERS";
    } else {
        return {};
    }
    for (std::size_t i = 1; i < components.size(); ++i) {
        path += L'\\';
        path += components[i];
    }
    return path;
}

}  // namespace hk::registry_detail

namespace hk {

std::optional<std::wstring> KernelPathFromRegPath(const std::wstring& regPath) {
    std::optional<registry_detail::KeyComponents> components = registry_detail::ParseRegPath(regPath, nullptr);
    if (!components) return std::nullopt;
    return registry_detail::KernelPathFromComponents(*components);
}

}  // namespace hk
