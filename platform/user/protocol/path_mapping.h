// The rule that maps a Windows path of the notebook to a host path (see
// hostuser/paths.h for the public description).
#pragma once

#include <optional>
#include <string>

namespace hostuser {

enum class PathMapError { NotMappable, NeedsDriveC };

struct MappedPath {
    std::string path;                 // valid when !error
    std::optional<PathMapError> error;
};

// driveC: the host directory standing for C:\ (may be empty when unknown;
// then a C: path gives NeedsDriveC).
MappedPath MapWindowsPath(const std::string& windowsPath, const std::string& driveC);

}  // namespace hostuser
