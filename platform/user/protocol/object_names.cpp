#include "object_names.h"

#include <cwctype>

namespace hostuser {

namespace {

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::towlower(text[i]) != std::towlower(prefix[i])) return false;
    }
    return true;
}

}  // namespace

std::optional<std::wstring> KernelObjectName(const std::wstring& win32Name) {
    constexpr std::size_t kMaxPath = 260;
    if (win32Name.size() > kMaxPath) return std::nullopt;
    std::wstring directory = L"\\Sessions\\" + std::to_wstring(kUserSessionId) + L"\\BaseNamedObjects\\";
    std::wstring rest = win32Name;
    if (StartsWithNoCase(rest, L"Global\\")) {
        directory = L"\\BaseNamedObjects\\";
        rest = rest.substr(7);
    } else if (StartsWithNoCase(rest, L"Local\\")) {
        rest = rest.substr(6);
    }
    if (rest.empty() || rest.find(L'\\') != std::wstring::npos) return std::nullopt;
    return directory + rest;
}

}  // namespace hostuser
