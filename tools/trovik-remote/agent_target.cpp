#include "agent_target.hpp"

#include <chrono>

#include "discovery.hpp"
#include "failure.hpp"
#include "service/messages.hpp"

namespace trovik::remote {
namespace {

// Long enough for mDNS answers on a busy network; a browse ends sooner once the daemon has
// reported what it knows.
constexpr std::chrono::seconds kDiscoveryLimit{4};

Endpoint onlyAgent() {
  const Discovery found = discoverAgents(kDiscoveryLimit);
  if (found.daemonError) {
    throw Failure(kExitUsage, "cannot look for agents, avahi-daemon is not reachable (" +
                                  *found.daemonError + "); give the agent with --to");
  }
  if (found.agents.empty()) {
    throw Failure(kExitTimeout, "no agent found on the network; give its address with --to");
  }
  if (found.agents.size() > 1) {
    std::string names;
    for (const auto& agent : found.agents)
      names += (names.empty() ? "\"" : ", \"") + agent.name + "\"";
    throw Failure(kExitUsage, "several agents found (" + names + "); choose one with --to");
  }
  return found.agents.front().endpoint;
}

}  // namespace

Endpoint findAgent(const std::optional<std::string>& to) {
  if (!to) return onlyAgent();
  if (to->empty()) throw Failure(kExitUsage, "--to needs an agent");
  if (auto literal = parseAddress(*to, messages::kCommandPort)) return *literal;

  // A service name may itself end in ":digits", so the whole text is tried first.
  const HostAndPort split = splitPort(*to);
  const Discovery found = discoverAgents(kDiscoveryLimit);
  for (const auto& agent : found.agents) {
    if (agent.name == *to) return agent.endpoint;
  }
  for (const auto& agent : found.agents) {
    if (split.port && agent.name == split.host) {
      Endpoint endpoint = agent.endpoint;
      endpoint.port = *split.port;
      return endpoint;
    }
  }
  std::string error;
  if (auto host = lookUpHost(split.host, split.port.value_or(messages::kCommandPort), error)) {
    return *host;
  }
  const std::string dnsSd = found.daemonError
                                ? "avahi-daemon is not reachable (" + *found.daemonError + ")"
                                : "no agent of that name";
  throw Failure(kExitUsage,
                "cannot find agent \"" + *to + "\": " + dnsSd + ", and as a host name: " + error);
}

}  // namespace trovik::remote
