// Host: Windows paths live in the simulated notebook's drive C.
#include "drive_path.h"

#include <windows.h>

#include <hostuser/paths.h>

#include <vector>

bool MapDrivePath(const std::string& windowsPath, std::string* runtimePath) {
    std::vector<char> buffer(windowsPath.size() + 4096);
    if (!HostMapPath(windowsPath.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) return false;
    *runtimePath = buffer.data();
    return true;
}
