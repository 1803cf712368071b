// Win32 object names in the kernel's namespace: "Global\X" is
// \BaseNamedObjects\X; "Local\X" and a plain "X" belong to the logged-on
// user's session, \Sessions\1\BaseNamedObjects\X.
#pragma once

#include <optional>
#include <string>

namespace hostuser {

constexpr unsigned kUserSessionId = 1;

// nullopt for an empty name, a name with a backslash after its prefix, or a
// name longer than MAX_PATH (260) characters.
std::optional<std::wstring> KernelObjectName(const std::wstring& win32Name);

}  // namespace hostuser
