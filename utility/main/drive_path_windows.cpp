// Windows: the C runtime opens Windows paths as they are.
#include "drive_path.h"

bool MapDrivePath(const std::string& windowsPath, std::string* runtimePath) {
    *runtimePath = windowsPath;
    return true;
}
