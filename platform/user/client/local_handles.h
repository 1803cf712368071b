// Handles whose objects live in the calling process only: access tokens and
// open registry keys. Their values carry kLocalHandleBit, which the
// notebook's handle values never do, so one table can tell them apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace hostuser::client {

constexpr std::uintptr_t kLocalHandleBit = 0x40000000;

enum class LocalKind { Token, RegistryKey };

struct LocalObject {
    LocalKind kind = LocalKind::Token;
    std::wstring keyPath;        // RegistryKey: kernel path, e.g. \Registry\Machine\SOFTWARE
    bool administrator = false;  // Token: the user is in Administrators
};

std::uintptr_t AddLocalHandle(const LocalObject& object);
std::optional<LocalObject> FindLocalHandle(std::uintptr_t value);
bool RemoveLocalHandle(std::uintptr_t value);
inline bool IsLocalHandle(std::uintptr_t value) { return (value & kLocalHandleBit) != 0 && value != UINTPTR_MAX; }

}  // namespace hostuser::client
