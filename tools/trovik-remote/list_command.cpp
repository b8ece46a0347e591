#include "commands.hpp"
#include "discovery.hpp"
#include "failure.hpp"
#include "output.hpp"

namespace trovik::remote {

int runList(std::chrono::milliseconds timeout) {
  const Discovery found = discoverAgents(timeout);
  if (found.daemonError) {
    throw Failure(kExitUsage, "cannot reach avahi-daemon: " + *found.daemonError);
  }
  // Tab-separated, since service names may hold spaces.
  for (const auto& agent : found.agents) {
    emitLine(stdout, agent.name + "\t" + agent.host + "\t" + agent.endpoint.host.description +
                         "\t" + std::to_string(agent.endpoint.port));
  }
  return found.agents.empty() ? kExitNoneFound : kExitOk;
}

}  // namespace trovik::remote
