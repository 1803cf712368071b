#include "local_handles.h"

#include <map>
#include <mutex>

namespace hostuser::client {

namespace {
std::mutex gMutex;
std::map<std::uintptr_t, LocalObject> gObjects;
std::uintptr_t gNext = kLocalHandleBit | 0x10;
}  // namespace

std::uintptr_t AddLocalHandle(const LocalObject& object) {
    std::lock_guard<std::mutex> lk(gMutex);
    std::uintptr_t value = gNext;
    gNext += 4;
    gObjects[value] = object;
    return value;
}

std::optional<LocalObject> FindLocalHandle(std::uintptr_t value) {
    std::lock_guard<std::mutex> lk(gMutex);
    auto it = gObjects.find(value);
    if (it == gObjects.end()) return std::nullopt;
    return it->second;
}

bool RemoveLocalHandle(std::uintptr_t value) {
    std::lock_guard<std::mutex> lk(gMutex);
    return gObjects.erase(value) != 0;
}

}  // namespace hostuser::client
