#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "endpoint.hpp"

namespace trovik::remote {

// One agent as DNS-SD resolved it.
struct FoundAgent {
  std::string name;  // the service name, as the agent advertises it
  std::string host;  // the host name, e.g. "studio.local"
  Endpoint endpoint;
};

struct Discovery {
  std::vector<FoundAgent> agents;          // one per service name, sorted by name
  std::optional<std::string> daemonError;  // set when avahi-daemon could not be asked
};

// Browses for agents in "local." through avahi-daemon until it has reported every agent it
// knows of, or `limit` has passed.
Discovery discoverAgents(std::chrono::milliseconds limit);

}  // namespace trovik::remote
