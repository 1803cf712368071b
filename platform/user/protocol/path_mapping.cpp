#include "path_mapping.h"

#include <cctype>
#include <vector>

namespace hostuser {

MappedPath MapWindowsPath(const std::string& windowsPath, const std::string& driveC) {
    MappedPath result;
    std::string p = windowsPath;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    bool onDriveC = false;
    if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        // Only C:, and only absolute ("C:foo" is relative to C:'s current directory).
        if (std::toupper(static_cast<unsigned char>(p[0])) != 'C' || (p.size() > 2 && p[2] != '/')) {
            result.error = PathMapError::NotMappable;
            return result;
        }
        onDriveC = true;
        p = p.substr(2);
    } else if (!p.empty() && p[0] == '/') {
        // "\\server\share", "\\.\device" and rooted paths without a drive.
        result.error = PathMapError::NotMappable;
        return result;
    }
    // Normalise the components; ".." may not climb above where the path starts.
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= p.size()) {
        std::size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        std::string part = p.substr(start, end - start);
        if (part == "..") {
            if (parts.empty()) {
                result.error = PathMapError::NotMappable;
                return result;
            }
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
    if (!onDriveC) {
        result.path = joined.empty() ? "." : joined;
        return result;
    }
    if (driveC.empty()) {
        result.error = PathMapError::NeedsDriveC;
        return result;
    }
    result.path = joined.empty() ? driveC : driveC + "/" + joined;
    return result;
}

}  // namespace hostuser
