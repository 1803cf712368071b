// Where the notebook's user-mode socket lives. The server and every client
// resolve it the same way: an explicit path (--socket PATH), else the
// environment variable ZHP_NOTEBOOK_SOCKET, else $XDG_RUNTIME_DIR/zhp-notebook.sock,
// else /tmp/zhp-notebook-$UID/notebook.sock.
#pragma once

#include <string>

namespace hostuser {

constexpr const char* kSocketEnvironmentVariable = "ZHP_NOTEBOOK_SOCKET";

std::string DefaultSocketPath();
std::string ResolveSocketPath(const std::string& explicitPath = std::string());

}  // namespace hostuser
