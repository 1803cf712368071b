#include "socket_path.h"

#include <cstdlib>

#include <unistd.h>

namespace hostuser {

std::string DefaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/zhp-notebook.sock";
    return "/tmp/zhp-notebook-" + std::to_string(getuid()) + "/notebook.sock";
}

std::string ResolveSocketPath(const std::string& explicitPath) {
    if (!explicitPath.empty()) return explicitPath;
    const char* fromEnvironment = std::getenv(kSocketEnvironmentVariable);
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') return fromEnvironment;
    return DefaultSocketPath();
}

}  // namespace hostuser
