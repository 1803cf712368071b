// The notebook's own control client (`notebook ctl`): one request to a
// serving notebook over its user-mode socket.
#pragma once

#include <string>

namespace hostuser {

enum class ControlOutcome { Done, Refused, Unreachable };

// Sends the request text; *reply receives the notebook's answer, or why it
// could not be reached.
ControlOutcome SendControlRequest(const std::string& socketPath, const std::string& request, std::string* reply);

}  // namespace hostuser
